#include "shell/ListOperations.h"

#include "core/ErrorTrap.h"
#include "core/Ui.h"

namespace {

void setEveryTick(ImageList& list, MessageBoxes& boxes, QLatin1StringView tag, bool ticked) {
    ErrorTrap trap(boxes, tag);
    // The count is read once: the walk covers the entries that were there when it started.
    int n = 0;
    trap.step(100, [&] { n = list.count(); });
    int entry = 1;
    while (entry <= n) {
        trap.step(102, [&] { list.setTicked(entry, ticked); });
        trap.step(104, [&] { ++entry; });
    }
}

} // namespace

void checkAllEntries(ImageList& list, MessageBoxes& boxes) {
    setEveryTick(list, boxes, trapTags::pushButton7, true);
}

void uncheckAllEntries(ImageList& list, MessageBoxes& boxes) {
    setEveryTick(list, boxes, trapTags::pushButton8, false);
}

void clearList(ImageList& list, const MousePointer& pointer, MessageBoxes& boxes) {
    ErrorTrap trap(boxes, trapTags::pushButton10);
    trap.step(100, [&] {
        if (pointer.pointer() != Pointer::Busy)
            list.clear();
    });
}
