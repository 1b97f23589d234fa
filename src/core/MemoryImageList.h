#pragma once

#include "core/Ui.h"

#include <QSet>

#include <vector>

// The image list without a window: the command-line mode's list and the tests' list.
class MemoryImageList : public ImageList {
public:
    int count() const override { return int(m_entries.size()); }
    void clear() override;
    int add(const QByteArray& text) override;
    QByteArray text(int entry) const override;
    bool ticked(int entry) const override;
    void setTicked(int entry, bool ticked) override;
    void scrollTo(int entry) override { m_scrolledTo = entry; }
    bool contains(const QByteArray& text) const override { return m_texts.contains(text); }

    int scrolledTo() const { return m_scrolledTo; }

private:
    struct Entry {
        QByteArray text;
        bool ticked = false;
    };
    const Entry& at(int entry) const;

    std::vector<Entry> m_entries;
    QSet<QByteArray> m_texts;
    int m_scrolledTo = 0;
};
