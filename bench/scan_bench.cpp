// Times the link scanner over a large made-up page, next to a plain memchr pass over the same
// bytes (what the memory system allows), and checks its result against a straightforward
// byte-by-byte scan written from the scanner's rules.
//
//   scan_bench [--size MB] [--links N] [--runs N] [--address URL] [--distinct] [--no-check]
//   scan_bench --write PATH [--size MB] [--links N] [--address URL] [--distinct]

#include "core/MemoryImageList.h"
#include "discovery/DiscoveryState.h"
#include "discovery/LinkScanner.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Options {
    qint64 sizeBytes = 100LL * 1000 * 1000;
    int links = 200000;
    int runs = 5;
    QByteArray address = "http://127.0.0.1:8080/gallery/";
    QString writePath;
    bool check = true;
    // Draws file numbers from pools this many times larger: nearly every image link is new, and
    // the list reaches its 32,767-entry limit.
    int poolScale = 1;
};

// Small deterministic generator, so every run and every machine sees the same page.
class Random {
public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    int below(int n) { return int(next() % std::uint64_t(n)); }
    template <class T, std::size_t N> const T& pick(const T (&items)[N]) { return items[below(int(N))]; }

private:
    std::uint64_t m_state;
};

// Builds a page of ordinary-looking markup: tags with class, id, style and data attributes (so
// the scan meets many other equals-quote pairs), prose, inline scripts and comments, with about
// `links` src and href values of every kind the scanner tells apart.
class PageMaker {
public:
    PageMaker(const Options& options) : m_options(options), m_random(20240531) {}

    QByteArray make() {
        QByteArray page;
        page.reserve(m_options.sizeBytes + 4096);
        page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                "<title>Gallery</title>\n</head>\n<body class=\"gallery\">\n";
        const qint64 perLink = std::max<qint64>(m_options.sizeBytes / std::max(m_options.links, 1), 64);
        qint64 nextLinkAt = page.size() + perLink / 2;
        while (page.size() < m_options.sizeBytes - 32) {
            if (page.size() >= nextLinkAt && m_placed < m_options.links) {
                addLinkElement(page);
                nextLinkAt += perLink;
            } else {
                addFiller(page);
            }
        }
        page += "\n</body>\n</html>\n";
        return page;
    }

    int placed() const { return m_placed; }

private:
    // A file number for a link; the pool sets how often links repeat.
    QByteArray number(int pool) { return QByteArray::number(m_random.below(pool * m_options.poolScale)); }
    // A number in the filler text.
    QByteArray plain(int below) { return QByteArray::number(m_random.below(below)); }

    QByteArray caseOf(const char* lower) {
        QByteArray name(lower);
        switch (m_random.below(4)) {
        case 0:
            return name;
        case 1:
            return name.toUpper();
        case 2:
            name[0] = char(name[0] - 'a' + 'A');
            return name;
        default:
            for (qsizetype k = 0; k < name.size(); k += 2)
                name[k] = char(name[k] - 'a' + 'A');
            return name;
        }
    }

    // A value for src: mostly images in the filter, some outside it, some that must be dropped.
    QByteArray srcValue() {
        // Pools keep the distinct image links under the list's 32,767-entry limit, with many repeats.
        const int kind = m_random.below(100);
        if (kind < 30)
            return "img/photo" + number(4000) + ".jpg";
        if (kind < 42)
            return "/static/thumbs/t" + number(4000) + ".PNG";
        if (kind < 52)
            return "http://cdn.example.org/media/" + number(4000) + ".gif";
        if (kind < 58)
            return "HTTPS://cdn.example.org/Media/" + number(2000) + ".Jpg";
        if (kind < 64)
            return m_options.address + "full/" + number(3000) + ".jpg";
        if (kind < 72)
            return "js/module" + number(300) + ".js";
        if (kind < 78)
            return "icons/i" + number(500) + ".svg";
        if (kind < 82)
            return "img/photo" + number(4000) + ".jpg?w=320";
        if (kind < 85)
            return "img/avatar" + number(1000) + "@2x.png";
        if (kind < 88)
            return "file:///C:/Pictures/p" + number(1000) + ".jpg";
        if (kind < 91)
            return "//cdn.example.org/x/" + number(2000) + ".gif";
        if (kind < 94)
            return "../shared/" + number(2000) + ".jpeg";
        return "data/chart" + number(500) + ".webp";
    }

    // A value for href: pages, images, sub-folders under the typed address and elsewhere.
    QByteArray hrefValue() {
        const int kind = m_random.below(100);
        if (kind < 15)
            return "albums/" + number(3000) + "/";
        if (kind < 22)
            return m_options.address + "archive/" + number(2000) + "/";
        if (kind < 27)
            return "?page=" + number(500);
        if (kind < 30)
            return "?C=" + QByteArray(1, "NMSD"[m_random.below(4)]) + ";O=" + (m_random.below(2) ? "A" : "D");
        if (kind < 45)
            return "pages/article" + number(5000) + ".html";
        if (kind < 57)
            return "img/large" + number(4000) + ".JPG";
        if (kind < 62)
            return "/downloads/wall" + number(2000) + ".png";
        if (kind < 68)
            return "css/site" + number(50) + ".css";
        if (kind < 75)
            return "http://other.example.net/section/" + number(500);
        if (kind < 80)
            return "mailto:someone" + number(200) + "@example.org";
        if (kind < 83)
            return "file://server/share/" + number(200) + ".gif";
        if (kind < 88)
            return "#top";
        if (kind < 93)
            return "/";
        return "https://social.example.com/share?u=" + number(1000);
    }

    void addLinkElement(QByteArray& page) {
        ++m_placed;
        switch (m_random.below(7)) {
        case 0:
        case 1:
            page += "<div class=\"thumb\"><img " + caseOf("src") + "=\"" + srcValue() + "\" alt=\"Photo " +
                    plain(9999) + "\" width=\"320\" height=\"240\" loading=\"lazy\"></div>\n";
            break;
        case 2:
            page += "<img class=\"lazy\" data-" + caseOf("src") + "=\"" + srcValue() + "\" alt=\"\">\n";
            break;
        case 3:
            page += "<script " + caseOf("src") + "=\"" + srcValue() + "\" defer></script>\n";
            break;
        case 4:
        case 5:
            page += "<li class=\"nav-item\"><a " + caseOf("href") + "=\"" + hrefValue() +
                    "\" class=\"nav-link\" title=\"Open\">Item " + plain(9999) + "</a></li>\n";
            break;
        default:
            page += "<link rel=\"preload\" " + caseOf("href") + "=\"" + hrefValue() + "\" as=\"image\">\n";
            break;
        }
    }

    void addFiller(QByteArray& page) {
        static const char* const words[] = {"lorem",  "ipsum", "dolor",  "gallery", "photo",   "summer",
                                            "camera", "light", "street", "river",   "morning", "colour",
                                            "people", "city",  "a",      "the",     "of",      "and",
                                            "with",   "from",  "view"};
        static const char* const classes[] = {"row",
                                              "col-md-4",
                                              "card shadow-sm",
                                              "card-body",
                                              "text-muted",
                                              "btn btn-sm btn-outline-secondary",
                                              "d-flex justify-content-between"};
        switch (m_random.below(9)) {
        case 0:
        case 1:
        case 2: {
            page += "<p class=\"";
            page += m_random.pick(classes);
            page += "\">";
            const int n = 8 + m_random.below(40);
            for (int k = 0; k < n; ++k) {
                page += m_random.pick(words);
                page += (k % 11 == 10) ? ". " : " ";
            }
            page += "</p>\n";
            break;
        }
        case 3:
            page += "<div class=\"" + QByteArray(m_random.pick(classes)) + "\" id=\"item-" + plain(100000) +
                    "\" data-index=\"" + plain(1000) + "\" style=\"margin: 0 auto; color:#333\">\n";
            break;
        case 4:
            page += "</div>\n";
            break;
        case 5:
            page += "<button type=\"button\" class=\"btn btn-sm\" aria-label=\"Like\" data-id=\"" +
                    plain(100000) + "\">Like</button>\n";
            break;
        case 6:
            page += "<script>window.cfg = {id: \"" + plain(1000) +
                    "\", mode: \"grid\"}; if (a == b) { c = d; x=\"y\"; }</script>\n";
            break;
        case 7:
            page += "<!-- column " + plain(100) +
                    " = \"wide\" --><input type=\"checkbox\" name=\"sel\" value=\"" + plain(1000) +
                    "\" checked>\n";
            break;
        default:
            if (m_random.below(40) == 0)
                addOddMarkup(page);
            else
                page += "<span title=\"Taken with a " + QByteArray(m_random.pick(words)) +
                        "\">&copy; 2021 a=b, c = d</span>\n";
            break;
        }
    }

    // Forms the scanner must pass over or take in its own way: blanks around "=", other quotes,
    // srcset, and an empty value that runs on to the next quote.
    void addOddMarkup(QByteArray& page) {
        static const char* const odd[] = {
            "<img SRC = \"spaced.jpg\">\n",
            "<img src='single.jpg'>\n",
            "<a href=unquoted.gif>x</a>\n",
            "<img srcset=\"s1.jpg 1x, s2.jpg 2x\" src=\"\" alt=\"empty.png\">\n",
            "<a HREF=\"\" title=\"empty\">x</a>\n",
        };
        page += m_random.pick(odd);
    }

    const Options& m_options;
    Random m_random;
    int m_placed = 0;
};

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double mbPerSecond(qint64 bytes, double seconds) {
    return seconds > 0 ? double(bytes) / 1e6 / seconds : 0;
}

// Peak resident set size of this process in kB; resetPeak() starts a new measuring interval.
long peakKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

bool resetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return bool(clear);
}

struct ScanResult {
    double seconds = 0;
    std::vector<QByteArray> listed;
    std::vector<QByteArray> pending;
};

// One scan of the page as a listing run sets it up: filter JPG,GIF,PNG, an empty stack.
ScanResult scanOnce(DiscoveryState& state, const QByteArray& address, bool keep) {
    state.ImageFilter = ImageTypeFilter({"JPG", "GIF", "PNG"});
    state.PendingPages.emplace();
    MemoryImageList list;
    LinkScanner scanner(state, list, [&address] { return address; });
    scanner.setYield([] {});
    const Clock::time_point start = Clock::now();
    scanner.CollectData();
    ScanResult result;
    result.seconds = secondsSince(start);
    if (keep) {
        for (int entry = 1; entry <= list.count(); ++entry)
            result.listed.push_back(list.text(entry));
        PendingPageStack stack = *state.PendingPages;
        while (stack.count() > 0) {
            result.pending.push_back(stack.last());
            stack.removeLast();
        }
        std::reverse(result.pending.begin(), result.pending.end());
    } else {
        result.listed.resize(size_t(list.count()));
        result.pending.resize(size_t(state.PendingPages->count()));
    }
    state.PendingPages.reset();
    return result;
}

// The scanner's rules taken literally: a six-byte window at every position, the value up to the
// next double quote after its first byte, text resolution, and the list and stack tests.
ScanResult referenceScan(const QByteArray& page, const QByteArray& base, const QByteArray& address) {
    const qsizetype n = page.size();
    const char* p = page.constData();
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
    auto lowerAll = [&](QByteArray s) {
        for (char& c : s)
            c = lower(c);
        return s;
    };
    const QByteArray lowAddress = lowerAll(address);
    QSet<QByteArray> listedSet;
    QSet<QByteArray> pendingKeys;
    ScanResult result;
    const Clock::time_point start = Clock::now();

    auto linkAt = [&](qsizetype s, QByteArray* link) {
        if (s >= n)
            return false;
        qsizetype k = s + 1;
        while (k < n && p[k] != '"')
            ++k;
        if (k >= n)
            return false;
        QByteArray value(p + s, k - s);
        if (value.startsWith('/'))
            value.remove(0, 1);
        *link = lowerAll(value.left(4)) == "http" ? value : base + '/' + value;
        return true;
    };
    auto usable = [](const QByteArray& link) { return !link.contains('@') && !link.contains("file://"); };
    auto addImage = [&](const QByteArray& link) {
        const QByteArray ext = link.mid(link.lastIndexOf('.') + 1).toUpper();
        if (ext != "JPG" && ext != "GIF" && ext != "PNG")
            return;
        if (listedSet.contains(link) || listedSet.size() >= 32767)
            return;
        listedSet.insert(link);
        result.listed.push_back(link);
    };

    char window[6];
    for (qsizetype i = 0; i < n; ++i) {
        for (int k = 0; k < 6; ++k)
            window[k] = i + k < n ? lower(p[i + k]) : '\0';
        QByteArray link;
        if (i + 4 < n && std::memcmp(window, "src=\"", 5) == 0) {
            if (linkAt(i + 5, &link) && usable(link))
                addImage(link);
        } else if (i + 5 < n && std::memcmp(window, "href=\"", 6) == 0) {
            if (!linkAt(i + 6, &link))
                continue;
            if (link.mid(link.lastIndexOf('/') + 1).contains('.')) {
                if (usable(link))
                    addImage(link);
            } else {
                const QByteArray low = lowerAll(link);
                const qsizetype sort = low.indexOf("/?c=");
                const bool sortLink = sort >= 0 && low.indexOf(";o=", sort + 4) >= 0;
                if (low.contains(lowAddress) && !sortLink && !pendingKeys.contains(low)) {
                    pendingKeys.insert(low);
                    result.pending.push_back(link);
                }
            }
        }
    }
    result.seconds = secondsSince(start);
    return result;
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

bool parse(const QStringList& args, Options* options) {
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        auto value = [&]() -> QString { return i + 1 < args.size() ? args[++i] : QString(); };
        bool ok = true;
        if (arg == u"--size")
            options->sizeBytes = value().toLongLong(&ok) * 1000 * 1000;
        else if (arg == u"--links")
            options->links = value().toInt(&ok);
        else if (arg == u"--runs")
            options->runs = value().toInt(&ok);
        else if (arg == u"--address")
            options->address = value().toUtf8();
        else if (arg == u"--write")
            options->writePath = value();
        else if (arg == u"--no-check")
            options->check = false;
        else if (arg == u"--distinct")
            options->poolScale = 1000;
        else
            ok = false;
        if (!ok || options->sizeBytes <= 0 || options->sizeBytes > 2000LL * 1000 * 1000 ||
            options->runs < 1 || options->links < 0 || (arg == u"--write" && options->writePath.isEmpty()) ||
            options->address.isEmpty()) {
            std::fprintf(
                stderr,
                "usage: scan_bench [--size MB] [--links N] [--runs N] [--address URL] [--distinct] "
                "[--no-check]\n"
                "       scan_bench --write PATH [--size MB] [--links N] [--address URL] [--distinct]\n");
            return false;
        }
    }
    return true;
}

// Whether two scans found the same links in the same order; names the first difference.
bool sameResult(const ScanResult& a, const ScanResult& b) {
    auto compare = [](const char* what, const std::vector<QByteArray>& x, const std::vector<QByteArray>& y) {
        const size_t common = std::min(x.size(), y.size());
        for (size_t k = 0; k < common; ++k) {
            if (x[k] != y[k]) {
                std::printf("  %s differ at %zu: scanner '%s', reference '%s'\n", what, k + 1,
                            x[k].constData(), y[k].constData());
                return false;
            }
        }
        if (x.size() != y.size()) {
            std::printf("  %s: scanner %zu, reference %zu\n", what, x.size(), y.size());
            return false;
        }
        return true;
    };
    const bool listed = compare("listed links", a.listed, b.listed);
    const bool pending = compare("pushed pages", a.pending, b.pending);
    return listed && pending;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options options;
    if (!parse(QCoreApplication::arguments().mid(1), &options))
        return 2;
    if (!options.address.endsWith('/'))
        options.address += '/';

    PageMaker maker(options);
    const Clock::time_point made = Clock::now();
    DiscoveryState state;
    state.PageData = maker.make();
    state.PageLength = qint32(state.PageData.size());
    const qint64 size = state.PageData.size();

    if (!options.writePath.isEmpty()) {
        QFile out(options.writePath);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(state.PageData) != size ||
            !out.flush()) {
            std::fprintf(stderr, "scan_bench: cannot write %s: %s\n", qPrintable(options.writePath),
                         qPrintable(out.errorString()));
            return 1;
        }
        std::printf("wrote %s: %lld bytes, %d src/href values\n", qPrintable(options.writePath), size,
                    maker.placed());
        return 0;
    }

    // The base a listing run sets for the typed address: everything before its last "/".
    state.PageBase = options.address.left(options.address.lastIndexOf('/'));
    std::printf("page: %.1f MB, %d src/href values, made in %.2f s\n", double(size) / 1e6, maker.placed(),
                secondsSince(made));

    // The scan works on the page in place: its peak memory must not grow by anything like a copy.
    const char* before = state.PageData.constData();
    const bool peakReset = resetPeak();
    const long peakBefore = peakKb();
    scanOnce(state, options.address, false);
    const long growthKb = peakKb() - peakBefore;
    if (peakReset && peakBefore >= 0)
        std::printf("memory: peak grew by %.1f MB during a scan of the %.1f MB page%s\n",
                    double(growthKb) / 1e3, double(size) / 1e6,
                    state.PageData.constData() == before ? "" : " (page buffer moved!)");

    // The window stays responsive only if the scan lets the event loop run often enough: a timer
    // that wants to fire every 5 ms measures the longest wait it sees during one scan.
    {
        state.ImageFilter = ImageTypeFilter({"JPG", "GIF", "PNG"});
        state.PendingPages.emplace();
        MemoryImageList list;
        LinkScanner scanner(state, list, [&options] { return options.address; });
        QTimer tick;
        QElapsedTimer sinceTick;
        qint64 longestWait = 0;
        QObject::connect(&tick, &QTimer::timeout,
                         [&] { longestWait = std::max(longestWait, sinceTick.restart()); });
        tick.start(5);
        sinceTick.start();
        scanner.CollectData();
        longestWait = std::max(longestWait, sinceTick.elapsed());
        state.PendingPages.reset();
        std::printf("event loop: longest wait during a scan %lld ms  (target: 100 ms or less)\n",
                    static_cast<long long>(longestWait));
    }

    qint64 sink = 0;
    double bestMemchr = 1e9;
    double bestScan = 1e9;
    ScanResult last;
    for (int run = 0; run < options.runs; ++run) {
        bestMemchr = std::min(bestMemchr, memchrPass(state.PageData, &sink));
        last = scanOnce(state, options.address, run + 1 == options.runs);
        bestScan = std::min(bestScan, last.seconds);
    }
    std::printf("memchr pass:  %8.0f MB/s  (best of %d, %.1f ms)\n", mbPerSecond(size, bestMemchr),
                options.runs, bestMemchr * 1e3);
    std::printf("CollectData:  %8.0f MB/s  (best of %d, %.1f ms)  %.0f%% of memchr\n",
                mbPerSecond(size, bestScan), options.runs, bestScan * 1e3, 100.0 * bestMemchr / bestScan);
    std::printf("links listed: %zu, pages pushed: %zu\n", last.listed.size(), last.pending.size());

    int status = 0;
    if (options.check) {
        const ScanResult reference = referenceScan(state.PageData, state.PageBase, options.address);
        std::printf("byte-by-byte reference scan: %.0f MB/s; ", mbPerSecond(size, reference.seconds));
        if (sameResult(last, reference)) {
            std::printf("same links and pages\n");
        } else {
            std::printf("RESULTS DIFFER\n");
            status = 1;
        }
    }
    if (bestScan > 0 && mbPerSecond(size, bestScan) < 1500)
        std::printf("note: below the 1,500 MB/s target\n");
    return sink < 0 ? 3 : status;
}
