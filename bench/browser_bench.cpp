// Times the browser-mode listing (decode, parse, extract, resolve, list) in process over a page,
// next to a plain memchr pass and the classic link scan over the same bytes, and measures the
// longest wait of the event loop during a browser-mode listing.
//
//   browser_bench [--runs N] [--address URL] PAGE...     each page file on its own
//   browser_bench [--runs N] --concat DIR                every DIR/*/index.html as one page

#include "core/MemoryImageList.h"
#include "discovery/BrowserListing.h"
#include "discovery/DiscoveryState.h"
#include "discovery/LinkScanner.h"
#include "discovery/ListingJob.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double mbPerSecond(qint64 bytes, double seconds) {
    return seconds > 0 ? double(bytes) / 1e6 / seconds : 0;
}

double memchrPass(const QByteArray& page, qint64* sink) {
    const Clock::time_point start = Clock::now();
    // A byte the page never holds, so memchr reads every byte.
    const void* hit = std::memchr(page.constData(), '\x01', size_t(page.size()));
    // Keeps the compiler from moving the call out of the timed interval.
    asm volatile("" : : "g"(hit) : "memory");
    const double seconds = secondsSince(start);
    *sink += hit ? 1 : 0;
    return seconds;
}

double classicPass(const QByteArray& page, const QByteArray& address, int* listed) {
    DiscoveryState state;
    state.PageData = page;
    state.PageLength = qint32(page.size());
    state.PageBase = address.left(address.lastIndexOf('/'));
    state.ImageFilter = cutFilterText(QStringLiteral("JPG,GIF,PNG"));
    state.PendingPages.emplace();
    MemoryImageList list;
    LinkScanner scanner(state, list, [&address] { return address; });
    scanner.setYield([] {});
    const Clock::time_point start = Clock::now();
    scanner.CollectData();
    const double s = secondsSince(start);
    *listed = list.count();
    return s;
}

double browserPass(const QByteArray& page, const QByteArray& address, int* listed, bool events,
                   qint64* longestWait) {
    const ImageTypeFilter filter = cutFilterText(QStringLiteral("JPG,GIF,PNG"));
    MemoryImageList list;
    BrowserListing listing(list, filter);
    QTimer tick;
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    if (events) {
        QObject::connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });
        tick.start(5);
        sinceTick.start();
    } else {
        listing.setYield([] {});
    }
    const Clock::time_point start = Clock::now();
    listing.run(page, address, "text/html");
    const double s = secondsSince(start);
    if (events)
        *longestWait = std::max(longest, sinceTick.elapsed());
    *listed = list.count();
    return s;
}

void measure(const QString& name, const QByteArray& page, const QByteArray& address, int runs) {
    const qint64 size = page.size();
    std::printf("%s: %.1f MB\n", qPrintable(name), double(size) / 1e6);
    qint64 sink = 0;
    double bestMemchr = 1e9, bestClassic = 1e9, bestBrowser = 1e9;
    int classicListed = 0, browserListed = 0;
    for (int run = 0; run < runs; ++run) {
        bestMemchr = std::min(bestMemchr, memchrPass(page, &sink));
        bestClassic = std::min(bestClassic, classicPass(page, address, &classicListed));
        qint64 unused = 0;
        bestBrowser = std::min(bestBrowser, browserPass(page, address, &browserListed, false, &unused));
    }
    qint64 longestWait = 0;
    int unused = 0;
    browserPass(page, address, &unused, true, &longestWait);
    std::printf("  memchr pass:        %8.0f MB/s  (best of %d, %.1f ms)\n", mbPerSecond(size, bestMemchr),
                runs, bestMemchr * 1e3);
    std::printf("  classic scan:       %8.0f MB/s  (best of %d, %.1f ms), %d listed\n",
                mbPerSecond(size, bestClassic), runs, bestClassic * 1e3, classicListed);
    std::printf(
        "  browser listing:    %8.0f MB/s  (best of %d, %.1f ms), %d listed  (target: 300 MB/s or more)\n",
        mbPerSecond(size, bestBrowser), runs, bestBrowser * 1e3, browserListed);
    std::printf(
        "  event loop:         longest wait %lld ms during a browser listing  (target: under 100 ms)\n",
        static_cast<long long>(longestWait));
    if (sink < 0)
        std::printf("?\n");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    int runs = 5;
    QByteArray address = "http://127.0.0.1:8080/gallery/";
    QString concat;
    QStringList files;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == u"--runs" && i + 1 < args.size())
            runs = std::max(1, args[++i].toInt());
        else if (args[i] == u"--address" && i + 1 < args.size())
            address = args[++i].toUtf8();
        else if (args[i] == u"--concat" && i + 1 < args.size())
            concat = args[++i];
        else
            files << args[i];
    }
    if (concat.isEmpty() && files.isEmpty()) {
        std::fprintf(stderr, "usage: browser_bench [--runs N] [--address URL] (--concat DIR | PAGE...)\n");
        return 2;
    }
    if (!concat.isEmpty()) {
        QByteArray all;
        int pages = 0;
        const QDir dir(concat);
        for (const QString& sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            QFile f(dir.filePath(sub + QStringLiteral("/index.html")));
            if (f.open(QIODevice::ReadOnly)) {
                all += f.readAll();
                ++pages;
            }
        }
        measure(QStringLiteral("%1 pages of %2 concatenated").arg(pages).arg(concat), all, address, runs);
    }
    for (const QString& file : files) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "browser_bench: cannot read %s\n", qPrintable(file));
            return 1;
        }
        measure(file, f.readAll(), address, runs);
    }
    return 0;
}
