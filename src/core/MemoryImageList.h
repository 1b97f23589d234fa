#pragma once

#include "core/StoredImageList.h"

#include <variant>

// The image list without a window: the command-line mode's list and the tests' list.
class MemoryImageList : public StoredImageList<std::monostate> {
public:
    void clear() override;
    int add(const QByteArray& text) override { return append(text); }
    void setTicked(int entry, bool ticked) override { at(entry).ticked = ticked; }
    void scrollTo(int entry) override { m_scrolledTo = entry; }

    int scrolledTo() const { return m_scrolledTo; }

private:
    int m_scrolledTo = 0;
};
