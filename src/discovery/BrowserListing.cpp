#include "discovery/BrowserListing.h"

#include "core/Bytes.h"
#include "core/Cancellation.h"
#include "core/Ui.h"
#include "discovery/DiscoveryState.h"
#include "web/Chars.h"
#include "web/PageEncoding.h"
#include "web/WebUrl.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstring>
#include <optional>

namespace {

// The list holds no more than this many entries, as in the classic run.
constexpr int listCapacity = 32767;
// How long the walk may keep the event loop waiting.
constexpr qint64 yieldEveryMs = 15;

bool isKnownImageType(QByteArrayView extension) {
    static constexpr const char* known[] = {"jpg", "jpeg", "jpe",  "jfif", "pjpeg", "pjp",  "gif",
                                            "png", "apng", "webp", "avif", "svg",   "svgz", "bmp",
                                            "ico", "cur",  "tif",  "tiff", "heic",  "heif", "jxl"};
    if (extension.size() > 5)
        return false;
    for (const char* k : known)
        if (bytes::equalsNoCase(extension, QByteArrayView(k)))
            return true;
    return false;
}

// Resolves and lists the references the walk reports.
class Lister : public MarkupWalker::Handler {
public:
    Lister(ImageList& list, const ImageTypeFilter& filter, std::optional<WebUrl> base,
           const std::function<void()>& yield)
        : m_list(list), m_filter(filter), m_base(std::move(base)), m_yield(yield) {
        m_clock.start();
    }

    void reference(QByteArrayView value, ReferenceContext context) override {
        if (m_full)
            return;
        const QByteArrayView v = chars::trimmedAscii(value);
        if (v.isEmpty() || v.front() == '#')
            return;
        // As the browser resolves it: Chromium escapes "|" in a path, which the URL Standard keeps.
        const std::optional<WebUrl> url = WebUrl::parseAsBrowser(value, m_base ? &*m_base : nullptr);
        if (!url || !url->isHttp())
            return;
        const QByteArray& href = url->href();
        if (!passesBrowserFilter(href, context, m_filter) || m_list.contains(href))
            return;
        const int entry = m_list.add(href);
        m_list.setTicked(entry, true);
        m_list.scrollTo(entry);
        m_full = m_list.count() >= listCapacity;
    }

    void setBase(std::optional<WebUrl> base) { m_base = std::move(base); }
    bool full() const { return m_full; }

    bool keepGoing() override {
        if (m_full)
            return false;
        if (m_clock.elapsed() < yieldEveryMs)
            return true;
        if (m_yield)
            m_yield();
        m_clock.restart();
        return !Cancellation::requested();
    }

private:
    ImageList& m_list;
    const ImageTypeFilter& m_filter;
    std::optional<WebUrl> m_base;
    const std::function<void()>& m_yield;
    QElapsedTimer m_clock;
    bool m_full = false;
};

// A case-blind search for "<base" decides whether the page needs a first walk for its base.
bool mayHaveBase(QByteArrayView page) {
    const char* p = page.data();
    const qsizetype n = page.size();
    qsizetype i = 0;
    while (i + 5 <= n) {
        const void* lt = std::memchr(p + i, '<', size_t(n - i));
        if (!lt)
            return false;
        i = static_cast<const char*>(lt) - p;
        if (i + 5 <= n && bytes::equalsNoCase(page.sliced(i + 1, 4), "base"))
            return true;
        ++i;
    }
    return false;
}

} // namespace

bool urlExtension(QByteArrayView href, QByteArrayView* extension) {
    qsizetype start = href.indexOf("://");
    start = start < 0 ? 0 : start + 3;
    qsizetype end = href.size();
    for (qsizetype i = start; i < href.size(); ++i)
        if (href[i] == '?' || href[i] == '#') {
            end = i;
            break;
        }
    const QByteArrayView rest = href.sliced(start, end - start);
    const qsizetype slash = rest.indexOf('/');
    if (slash < 0)
        return false;
    const QByteArrayView path = rest.sliced(slash);
    const QByteArrayView segment = path.sliced(path.lastIndexOf('/') + 1);
    const qsizetype dot = segment.lastIndexOf('.');
    if (dot < 0)
        return false;
    if (extension)
        *extension = segment.sliced(dot + 1);
    return true;
}

bool passesBrowserFilter(QByteArrayView href, ReferenceContext context, const ImageTypeFilter& filter) {
    QByteArrayView extension;
    const bool has = urlExtension(href, &extension);
    if (has && filter.matchesPiece(extension))
        return true;
    if (context == ReferenceContext::Image)
        return !has || !isKnownImageType(extension);
    return false;
}

BrowserListing::BrowserListing(ImageList& list, const ImageTypeFilter& filter)
    : m_list(list), m_filter(filter), m_yield([] { QCoreApplication::processEvents(); }) {}

void BrowserListing::run(const QByteArray& page, const QByteArray& pageUrl, const QByteArray& contentType) {
    // The window stays responsive through every long step: decoding, the look for a base, the walk.
    QElapsedTimer clock;
    clock.start();
    const std::function<bool()> keepGoing = [this, &clock] {
        if (clock.elapsed() < yieldEveryMs)
            return true;
        if (m_yield)
            m_yield();
        clock.restart();
        return !Cancellation::requested();
    };
    const pageEncoding::Sniffed encoding = pageEncoding::sniff(page, contentType);
    const QByteArray text = pageEncoding::decode(page, encoding, [&keepGoing] { keepGoing(); });
    if (Cancellation::requested())
        return;

    std::optional<WebUrl> base = WebUrl::parseAsBrowser(pageUrl);
    // The first <base href> counts wherever it stands, so it is looked for before anything is
    // listed; few pages have one. A base that does not parse, or a data: or javascript: one,
    // leaves the page's own address, as browsers do.
    QByteArray href;
    if (mayHaveBase(text) && MarkupWalker::findBase(text, href, keepGoing)) {
        std::optional<WebUrl> fromBase = WebUrl::parseAsBrowser(href, base ? &*base : nullptr);
        if (fromBase && !fromBase->protocol().startsWith("data:") &&
            !fromBase->protocol().startsWith("javascript:"))
            base = std::move(fromBase);
    }
    if (Cancellation::requested())
        return;
    Lister lister(m_list, m_filter, std::move(base), m_yield);
    MarkupWalker::walk(text, lister);
}

void BrowserListing::runElements(const QList<RenderedElement>& elements) {
    Lister lister(m_list, m_filter, std::nullopt, m_yield);
    // Most elements share their document's base: it is parsed again only when it changes.
    const QByteArray* lastBase = nullptr;
    for (const RenderedElement& e : elements) {
        if (!lastBase || e.baseUrl != *lastBase) {
            lister.setBase(WebUrl::parseAsBrowser(e.baseUrl));
            lastBase = &e.baseUrl;
        }
        MarkupWalker::element(e.element, lister);
        if (!lister.keepGoing())
            return;
    }
}

void BrowserListing::addImages(const QList<QByteArray>& urls) {
    Lister lister(m_list, m_filter, std::nullopt, m_yield);
    for (const QByteArray& url : urls) {
        lister.reference(url, ReferenceContext::Image);
        if (!lister.keepGoing())
            return;
    }
}
