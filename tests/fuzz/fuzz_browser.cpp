// Fuzz target for the browser-mode listing: arbitrary page bytes, page address and filter.
// Input layout: page address, "\n", filter text, "\n", page bytes (missing parts are empty).
#include "core/MemoryImageList.h"
#include "discovery/BrowserListing.h"
#include "discovery/DiscoveryState.h"
#include "discovery/ListingJob.h"

#include <QSet>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype first = input.indexOf('\n');
    const qsizetype second = first < 0 ? -1 : input.indexOf('\n', first + 1);
    const QByteArray address = first < 0 ? input : input.left(first);
    const QByteArray filterText =
        first < 0 ? QByteArray() : input.mid(first + 1, second < 0 ? -1 : second - first - 1);
    const QByteArray page = second < 0 ? QByteArray() : input.mid(second + 1);
    const ImageTypeFilter filter = cutFilterText(QString::fromUtf8(filterText));

    MemoryImageList list;
    BrowserListing listing(list, filter);
    listing.setYield([] {});
    // The page's own bytes double as its Content-Type, so charsets of every kind are tried.
    listing.run(page, address, page.left(64));

    // What the listing promises whatever the page holds: http(s) URLs, printable ASCII, each
    // once, ticked, within the cap.
    QSet<QByteArray> seen;
    for (int i = 1; i <= list.count(); ++i) {
        const QByteArray link = list.text(i);
        if (!(link.startsWith("http://") || link.startsWith("https://")) || !list.ticked(i) ||
            seen.contains(link))
            __builtin_trap();
        for (char c : link)
            if (c <= 0x20 || c >= 0x7F)
                __builtin_trap();
        seen.insert(link);
    }
    if (list.count() > 32767)
        __builtin_trap();
    return 0;
}
