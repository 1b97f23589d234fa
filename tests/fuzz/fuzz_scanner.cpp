// Fuzz target for the link scanner: arbitrary page bytes, page base and filter.
// Input layout: page base, "\n", filter text, "\n", page bytes (missing parts are empty).
#include "core/MemoryImageList.h"
#include "discovery/LinkScanner.h"
#include "discovery/ListingJob.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype first = input.indexOf('\n');
    const qsizetype second = first < 0 ? -1 : input.indexOf('\n', first + 1);

    DiscoveryState state;
    state.PageBase = first < 0 ? input : input.left(first);
    const QByteArray filter =
        first < 0 ? QByteArray() : input.mid(first + 1, second < 0 ? -1 : second - first - 1);
    state.ImageFilter = cutFilterText(QString::fromUtf8(filter));
    state.PendingPages.emplace();
    state.PageData = second < 0 ? QByteArray() : input.mid(second + 1);
    state.PageLength = qint32(state.PageData.size());

    MemoryImageList list;
    const QByteArray address = state.PageBase.left(8);
    LinkScanner scanner(state, list, [&] { return address; });
    scanner.setYield([] {});
    scanner.CollectData();

    // What the scanner promises whatever the page holds.
    for (int i = 1; i <= list.count(); ++i) {
        const QByteArray link = list.text(i);
        if (link.contains('@') || link.contains("file://") || !state.ImageFilter.passes(link) ||
            !list.ticked(i))
            __builtin_trap();
    }
    if (list.count() > 32767)
        __builtin_trap();
    return 0;
}
