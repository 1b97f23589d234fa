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
#include <QHash>
#include <QSet>

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

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

// Resolves and lists the references the walk reports. Until the page's base is known (its first
// <base href>, or the end of a page without one) the references are held, each resolved against
// the page's own address meanwhile: a page without a base, the common case, then costs only the
// listing of what was resolved once the end is there.
class Lister : public MarkupWalker::Handler {
public:
    Lister(ImageList& list, const ImageTypeFilter& filter, std::optional<WebUrl> pageUrl,
           const std::function<void()>& yield, bool largest = false, bool imagesOnly = false)
        : m_list(list), m_filter(filter), m_base(std::move(pageUrl)), m_yield(yield), m_largest(largest),
          m_imagesOnly(imagesOnly) {
        m_clock.start();
    }

    void base(QByteArrayView href) override {
        if (m_settled)
            return;
        // A base that does not parse, or a data: or javascript: one, leaves the page's own
        // address, as browsers do.
        std::optional<WebUrl> fromBase = WebUrl::parseAsBrowser(href, m_base ? &*m_base : nullptr);
        if (fromBase && !fromBase->protocol().startsWith("data:") &&
            !fromBase->protocol().startsWith("javascript:")) {
            m_base = std::move(fromBase);
            m_baseChanged = true;
        }
        settle();
    }

    void reference(QByteArrayView value, ReferenceContext context) override {
        if (m_imagesOnly && context == ReferenceContext::Link)
            return;
        if (m_largest) {
            sized(value, context, {}, false);
            return;
        }
        if (m_full)
            return;
        const QByteArrayView v = chars::trimmedAscii(value);
        if (v.isEmpty() || v.front() == '#')
            return;
        if (m_settled) {
            list(resolve(value, context));
            return;
        }
        m_held.push_back({value.toByteArray(), context, {}});
        QByteArray href = resolve(value, context);
        if (!href.isEmpty() && !m_heldHrefs.contains(href) && !m_list.contains(href)) {
            m_heldHrefs.insert(href);
            m_held.back().href = std::move(href);
        }
    }

    void candidate(QByteArrayView value, Size size) override {
        if (m_largest)
            sized(value, ReferenceContext::Image, size, true);
        else
            reference(value, ReferenceContext::Image);
    }
    void groupStart() override {
        if (m_largest)
            m_groups.push_back(++m_lastGroup);
    }
    void groupEnd() override {
        if (!m_largest || m_groups.empty())
            return;
        m_groups.pop_back();
        if (m_groups.empty() && m_settled)
            flush();
    }

    // The page ended without a base: the page's own address was the base all along.
    void settle() {
        if (m_settled)
            return;
        if (m_largest) {
            m_settled = true;
            for (Held& held : m_held) {
                if (m_baseChanged)
                    held.href = resolve(held.value, held.context);
                held.value = {};
                m_pending.push_back(std::move(held));
            }
            m_held = {};
            if (m_groups.empty())
                flush();
            return;
        }
        m_settled = true;
        for (const Held& held : m_held) {
            if (m_full)
                break;
            list(m_baseChanged ? resolve(held.value, held.context) : held.href);
        }
        m_held = {};
        m_heldHrefs = {};
    }

    // Held, the page's address as the base, are as many new links as the list has room for: the
    // rest of the page can add nothing unless it has a base.
    bool saturated() const {
        // Of the sizes of one picture only one is listed: the held links tell nothing of room.
        return !m_largest && !m_settled && qsizetype(m_heldHrefs.size()) >= listCapacity - m_list.count();
    }

    void setBase(std::optional<WebUrl> base) { m_base = std::move(base); }
    // Largest sizes only: the candidates a larger size beat are noted in smaller; with
    // skipSmaller, such an address is not listed (a browser's own request of a smaller size).
    void setSmaller(QSet<QByteArray>* smaller, bool skipSmaller) {
        m_smaller = smaller;
        m_skipSmaller = skipSmaller;
    }
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
    struct Held {
        QByteArray value;
        ReferenceContext context;
        QByteArray href; // against the page's address; empty when it is not listed or listed before
        // Only the largest size of a picture is kept: the group (0 for none) and the size.
        Size size = {};
        int group = 0;
    };

    // A reference when only the largest size of each picture is kept. Until the base is known
    // it is held, resolved (with sizes, duplicates too: which size wins needs them all); then,
    // while a picture is open, it waits for the picture's end, so what is kept stands in its
    // place.
    void sized(QByteArrayView value, ReferenceContext context, Size size, bool isCandidate) {
        if (m_full)
            return;
        const QByteArrayView v = chars::trimmedAscii(value);
        if (v.isEmpty() || v.front() == '#')
            return;
        const int group = isCandidate && !m_groups.empty() ? m_groups.back() : 0;
        if (!m_settled) {
            m_held.push_back({value.toByteArray(), context, resolve(value, context), size, group});
            return;
        }
        if (m_groups.empty() && m_pending.empty()) {
            QByteArray href = resolve(value, context);
            if (m_skipSmaller && m_smaller && m_smaller->contains(href))
                return;
            list(href);
            return;
        }
        m_pending.push_back({{}, context, resolve(value, context), size, group});
    }

    // Lists what waited, each picture by its largest candidate among those the filter passes:
    // the greatest w when any has one, else the greatest x (none counts as 1x); the first of equals.
    void flush() {
        struct Best {
            qsizetype widthAt = -1;
            double width = -1;
            qsizetype densityAt = -1;
            double density = -1;
        };
        QHash<int, Best> best;
        for (qsizetype i = 0; i < qsizetype(m_pending.size()); ++i) {
            const Held& h = m_pending[std::size_t(i)];
            if (h.group == 0 || h.href.isEmpty())
                continue;
            Best& b = best[h.group];
            if (h.size.kind == Size::Kind::Width) {
                if (h.size.value > b.width) {
                    b.width = h.size.value;
                    b.widthAt = i;
                }
            } else if (h.size.value > b.density) {
                b.density = h.size.value;
                b.densityAt = i;
            }
        }
        const std::vector<Held> pending = std::exchange(m_pending, {});
        for (qsizetype i = 0; i < qsizetype(pending.size()); ++i) {
            const Held& h = pending[std::size_t(i)];
            if (h.group != 0) {
                const Best b = best.value(h.group);
                if (i != (b.widthAt >= 0 ? b.widthAt : b.densityAt)) {
                    if (m_smaller && !h.href.isEmpty())
                        m_smaller->insert(h.href);
                    continue;
                }
            }
            list(h.href);
        }
    }

    // The link a reference is listed as; empty when it is not listed.
    QByteArray resolve(QByteArrayView value, ReferenceContext context) const {
        // As the browser resolves it: Chromium escapes "|" in a path, which the URL Standard keeps.
        const std::optional<WebUrl> url = WebUrl::parseAsBrowser(value, m_base ? &*m_base : nullptr);
        if (!url || !url->isHttp())
            return {};
        if (!passesBrowserFilter(url->href(), context, m_filter))
            return {};
        return url->href();
    }

    void list(const QByteArray& href) {
        if (href.isEmpty() || m_full || m_list.contains(href))
            return;
        const int entry = m_list.add(href);
        m_list.setTicked(entry, true);
        m_list.scrollTo(entry);
        m_full = m_list.count() >= listCapacity;
    }

    ImageList& m_list;
    const ImageTypeFilter& m_filter;
    std::optional<WebUrl> m_base;
    const std::function<void()>& m_yield;
    QElapsedTimer m_clock;
    const bool m_largest;
    const bool m_imagesOnly;
    bool m_full = false;
    bool m_settled = false;
    bool m_baseChanged = false;
    std::vector<Held> m_held;
    QSet<QByteArray> m_heldHrefs;
    // Largest sizes only: the pictures open now, innermost last, and what waits for their end.
    std::vector<int> m_groups;
    int m_lastGroup = 0;
    std::vector<Held> m_pending;
    QSet<QByteArray>* m_smaller = nullptr;
    bool m_skipSmaller = false;
};

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

// A case-blind search for "<base".
static bool mayHaveBase(QByteArrayView text) {
    const char* p = text.data();
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i + 5 <= n) {
        const void* lt = std::memchr(p + i, '<', size_t(n - i));
        if (!lt)
            return false;
        i = static_cast<const char*>(lt) - p;
        if (i + 5 <= n && bytes::equalsNoCase(text.sliced(i + 1, 4), "base"))
            return true;
        ++i;
    }
    return false;
}

class BrowserListing::Reading {
public:
    Reading(ImageList& list, const ImageTypeFilter& filter, const QByteArray& pageUrl,
            const QByteArray& contentType, const std::function<void()>& yield, bool largest, bool imagesOnly)
        : pageUrl(pageUrl), decoder(contentType),
          lister(list, filter, WebUrl::parseAsBrowser(pageUrl), yield, largest, imagesOnly), walk(lister) {}

    const QByteArray pageUrl;
    pageEncoding::StreamDecoder decoder;
    Lister lister;
    MarkupWalker::Stream walk;
    bool over = false;
    // Once the held links fill the list, the walk stops: only a later "<base" could change what
    // is listed, and then the whole page is gone through again with that base, at its end.
    bool saturated = false;
    qsizetype baseLookFrom = 0;
    bool baseLater = false;
};

BrowserListing::BrowserListing(ImageList& list, const ImageTypeFilter& filter)
    : m_list(list), m_filter(filter), m_yield([] { QCoreApplication::processEvents(); }) {}

BrowserListing::~BrowserListing() = default;

void BrowserListing::begin(const QByteArray& pageUrl, const QByteArray& contentType) {
    m_reading =
        std::make_unique<Reading>(m_list, m_filter, pageUrl, contentType, m_yield, m_largest, m_imagesOnly);
}

void BrowserListing::feed(QByteArrayView bytes, bool final) {
    if (!m_reading || m_reading->over)
        return;
    Reading& r = *m_reading;
    const QByteArrayView text = r.decoder.feed(bytes, final);
    if (Cancellation::requested()) {
        r.over = true;
        return;
    }
    // Nothing is walked while the encoding is undecided.
    if (!r.decoder.encoding())
        return;
    if (!r.saturated) {
        r.walk.feed(text, final);
        if (final && !Cancellation::requested())
            r.lister.settle();
        r.over = r.walk.over();
        if (r.over || !r.lister.saturated())
            return;
        r.saturated = true;
        r.baseLookFrom = r.walk.position();
    }
    // "<base" may stand across two pieces: the last four bytes are looked at again.
    if (!r.baseLater)
        r.baseLater = mayHaveBase(text.sliced(qMin(r.baseLookFrom, text.size())));
    r.baseLookFrom = qMax<qsizetype>(r.baseLookFrom, text.size() - 4);
    if (!final)
        return;
    r.over = true;
    if (!r.baseLater) {
        r.lister.settle();
        return;
    }
    Lister again(m_list, m_filter, WebUrl::parseAsBrowser(r.pageUrl), m_yield, m_largest, m_imagesOnly);
    QByteArray href;
    if (MarkupWalker::findBase(text, href, [&again] { return again.keepGoing(); }))
        again.base(href);
    else
        again.settle();
    if (!Cancellation::requested())
        MarkupWalker::walk(text, again);
}

void BrowserListing::run(const QByteArray& page, const QByteArray& pageUrl, const QByteArray& contentType) {
    // A page already in memory goes in slices, as if it arrived: the window gets its turn between
    // them, a long legacy-encoded page included.
    constexpr qsizetype slice = 1 << 20;
    begin(pageUrl, contentType);
    QElapsedTimer clock;
    clock.start();
    for (qsizetype at = qMin(slice, page.size());; at = qMin(at + slice, page.size())) {
        const bool final = at == page.size();
        feed(QByteArrayView(page).first(at), final);
        if (final || m_reading->over)
            break;
        if (clock.elapsed() >= yieldEveryMs) {
            if (m_yield)
                m_yield();
            clock.restart();
        }
    }
    m_reading.reset();
}

void BrowserListing::runElements(const QList<RenderedElement>& elements) {
    Lister lister(m_list, m_filter, std::nullopt, m_yield, m_largest, m_imagesOnly);
    lister.setSmaller(&m_smaller, false);
    // Each element comes with the base it resolves against: nothing waits for a later base.
    lister.settle();
    // Most elements share their document's base: it is parsed again only when it changes.
    const QByteArray* lastBase = nullptr;
    // The picture elements open around the element at hand, innermost last: a picture's group
    // of sizes ends with the first element that is not inside it.
    std::vector<qsizetype> pictures;
    for (qsizetype i = 0; i < elements.size(); ++i) {
        const RenderedElement& e = elements[i];
        while (!pictures.empty() && !isInside(elements, i, pictures.back())) {
            pictures.pop_back();
            lister.groupEnd();
        }
        if (!lastBase || e.baseUrl != *lastBase) {
            lister.setBase(WebUrl::parseAsBrowser(e.baseUrl));
            lastBase = &e.baseUrl;
        }
        if (e.element.space == MarkupWalker::DomElement::Space::Html && e.element.name == "picture") {
            lister.groupStart();
            pictures.push_back(i);
        }
        MarkupWalker::element(e.element, lister);
        if (!lister.keepGoing())
            return;
    }
    for (std::size_t n = pictures.size(); n > 0; --n)
        lister.groupEnd();
}

bool BrowserListing::isInside(const QList<RenderedElement>& elements, qsizetype element, qsizetype ancestor) {
    // Parents stand before their children, so the climb ends once it passes the ancestor.
    qsizetype at = elements[element].parent;
    while (at > ancestor)
        at = elements[at].parent;
    return at == ancestor;
}

void BrowserListing::addImages(const QList<QByteArray>& urls) {
    Lister lister(m_list, m_filter, std::nullopt, m_yield, m_largest);
    // Of a picture the tree offers in several sizes, the browser fetched the one it showed: with
    // largest sizes only, that one is no entry when the tree's larger size is listed already.
    lister.setSmaller(&m_smaller, true);
    lister.settle(); // absolute addresses: no base to wait for
    for (const QByteArray& url : urls) {
        lister.reference(url, ReferenceContext::Image);
        if (!lister.keepGoing())
            return;
    }
}
