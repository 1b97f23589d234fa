#include "core/MemoryImageList.h"

#include "core/ErrorTrap.h"

void MemoryImageList::clear() {
    m_entries.clear();
    m_texts.clear();
    m_scrolledTo = 0;
}

int MemoryImageList::add(const QByteArray& text) {
    m_entries.push_back({text, false});
    m_texts.insert(text);
    return count();
}

const MemoryImageList::Entry& MemoryImageList::at(int entry) const {
    if (entry < 1 || entry > count())
        throw StepFailure(QStringLiteral("Index out of bounds"));
    return m_entries[size_t(entry - 1)];
}

QByteArray MemoryImageList::text(int entry) const {
    return at(entry).text;
}
bool MemoryImageList::ticked(int entry) const {
    return at(entry).ticked;
}
void MemoryImageList::setTicked(int entry, bool ticked) {
    const_cast<Entry&>(at(entry)).ticked = ticked;
}
