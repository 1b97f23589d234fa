#include "core/MemoryImageList.h"

void MemoryImageList::clear() {
    removeAll();
    m_scrolledTo = 0;
}
