#pragma once

#include "core/ErrorTrap.h"
#include "core/Ui.h"

#include <QSet>

#include <utility>
#include <vector>

// The entries of an image list kept in memory, numbered from 1 as the list's users count them:
// each text with its tick (and whatever else a list keeps beside, Extra), plus the set of texts
// that lets the duplicate test avoid a linear pass. The window's model and the windowless list
// differ only in what they announce when the entries change.
template <typename Extra> class StoredImageList : public ImageList {
public:
    int count() const override { return int(m_entries.size()); }
    bool contains(const QByteArray& text) const override { return m_texts.contains(text); }
    QByteArray text(int entry) const override { return at(entry).text; }
    bool ticked(int entry) const override { return at(entry).ticked; }

protected:
    struct Entry {
        QByteArray text;
        bool ticked = false;
        Extra extra{};
    };

    // An entry by its number; a number outside the list fails the step that asked, as the list
    // control does.
    const Entry& at(int entry) const {
        if (entry < 1 || entry > count())
            throw StepFailure(QStringLiteral("Index out of bounds"));
        return m_entries[size_t(entry - 1)];
    }
    Entry& at(int entry) { return const_cast<Entry&>(std::as_const(*this).at(entry)); }

    int append(const QByteArray& text) {
        m_entries.push_back({text, false, Extra{}});
        m_texts.insert(text);
        return count();
    }
    void removeAll() {
        m_entries.clear();
        m_texts.clear();
    }
    std::vector<Entry>& entries() { return m_entries; }
    const std::vector<Entry>& entries() const { return m_entries; }

private:
    std::vector<Entry> m_entries;
    QSet<QByteArray> m_texts;
};
