#include "discovery/FollowLinks.h"

#include "core/Cancellation.h"
#include "discovery/DiscoveryState.h"
#include "net/RunSetup.h"
#include "web/Chars.h"
#include "web/CssUrls.h"
#include "web/MarkupWalker.h"
#include "web/PageEncoding.h"
#include "web/WebUrl.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QTimer>

#include <utility>

namespace {

// A link as a target: without its fragment.
QByteArray withoutFragment(const WebUrl& url) {
    const QByteArray& href = url.href();
    const qsizetype hash = href.indexOf('#');
    return hash < 0 ? href : href.left(hash);
}

// Resolves a link value as the browser listing does; empty when it is no http(s) target or the
// filter lists it itself.
QByteArray targetOf(QByteArrayView value, const WebUrl* base, const ImageTypeFilter& filter) {
    const QByteArrayView v = chars::trimmedAscii(value);
    if (v.isEmpty() || v.front() == '#')
        return {};
    const std::optional<WebUrl> url = WebUrl::parseAsBrowser(value, base);
    if (!url || !url->isHttp() || passesBrowserFilter(url->href(), ReferenceContext::Link, filter))
        return {};
    return withoutFragment(*url);
}

// The links of a page as the walk reports them: the first base, every link reference, and which
// of the a elements hold an image.
class LinkFinder : public MarkupWalker::Handler {
public:
    explicit LinkFinder(FollowMode mode) : m_mode(mode) { m_clock.start(); }

    // A long page is walked in slices, the window getting its turn between them.
    bool keepGoing() override {
        if (m_clock.elapsed() < 15)
            return true;
        QCoreApplication::processEvents();
        m_clock.restart();
        return !Cancellation::requested();
    }

    bool wantsAnchors() const override { return m_mode == FollowMode::Thumbnails; }
    void base(QByteArrayView href) override {
        if (!m_base)
            m_base = href.toByteArray();
    }
    void anchor(qsizetype n) override { m_anchor = n; }
    void imageInAnchor(qsizetype n) override { m_withImage.insert(n); }
    void reference(QByteArrayView value, ReferenceContext context) override {
        if (context != ReferenceContext::Link)
            return;
        // An a element's href is the first link reference after it; an area's has no anchor.
        m_links.push_back({value.toByteArray(), std::exchange(m_anchor, -1)});
    }

    QList<QByteArray> links(const QByteArray& pageUrl, const ImageTypeFilter& filter) const {
        std::optional<WebUrl> base = WebUrl::parseAsBrowser(pageUrl);
        if (m_base) {
            // As the listing takes it: one that does not parse, data: or javascript: leaves the page's.
            std::optional<WebUrl> fromBase = WebUrl::parseAsBrowser(*m_base, base ? &*base : nullptr);
            if (fromBase && !fromBase->protocol().startsWith("data:") &&
                !fromBase->protocol().startsWith("javascript:"))
                base = std::move(fromBase);
        }
        QList<QByteArray> out;
        for (const Link& link : m_links) {
            if (m_mode == FollowMode::Thumbnails && (link.anchor < 0 || !m_withImage.contains(link.anchor)))
                continue;
            if (QByteArray target = targetOf(link.value, base ? &*base : nullptr, filter); !target.isEmpty())
                out << std::move(target);
        }
        return out;
    }

private:
    struct Link {
        QByteArray value;
        qsizetype anchor;
    };
    FollowMode m_mode;
    std::optional<QByteArray> m_base;
    qsizetype m_anchor = -1;
    std::vector<Link> m_links;
    QSet<qsizetype> m_withImage;
    QElapsedTimer m_clock;
};

// One element of a built tree: its link references.
class ElementLinks : public MarkupWalker::Handler {
public:
    void reference(QByteArrayView value, ReferenceContext context) override {
        if (context == ReferenceContext::Link)
            values << value.toByteArray();
    }
    QList<QByteArray> values;
};

const QByteArray* attribute(const MarkupWalker::DomElement& e, QByteArrayView name) {
    for (const MarkupWalker::DomAttribute& a : e.attributes)
        if (a.name == name)
            return &a.value;
    return nullptr;
}

bool isAnchor(const MarkupWalker::DomElement& e) {
    return e.space == MarkupWalker::DomElement::Space::Html && e.name == "a" && attribute(e, "href");
}

// The image-context elements of the thumbnail rule.
bool isImageElement(const MarkupWalker::DomElement& e) {
    using Space = MarkupWalker::DomElement::Space;
    if (e.space == Space::Html) {
        if (e.name == "img" || e.name == "picture")
            return true;
        if (e.name == "input") {
            const QByteArray* type = attribute(e, "type");
            if (type && type->compare("image", Qt::CaseInsensitive) == 0)
                return true;
        }
    }
    if (e.space == Space::Svg && e.name == "image")
        return true;
    if (const QByteArray* style = attribute(e, "style")) {
        QList<QByteArray> urls;
        cssUrlsOfDeclarations(*style, urls);
        return !urls.isEmpty();
    }
    return false;
}

} // namespace

std::optional<QList<QByteArray>> parseFollowHosts(const QString& text, QString* why) {
    const auto refuse = [&](const QString& reason) -> std::optional<QList<QByteArray>> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    QList<QByteArray> hosts;
    const QStringList entries = text.split(u',');
    for (const QString& entry : entries) {
        if (entry.isEmpty())
            return refuse(QStringLiteral("an empty host"));
        if (entry == QLatin1StringView("any")) {
            hosts << QByteArray("any");
            continue;
        }
        for (QChar c : entry)
            if (c.isSpace() || c == u'/' || c == u'\\' || c == u'?' || c == u'#' || c == u'@')
                return refuse(QStringLiteral("'%1' is not a host name or address").arg(entry));
        // A colon is a port or a scheme, unless the entry is an IPv6 address.
        QString host = entry;
        const bool ipv6 = entry.startsWith(u'[') ? entry.endsWith(u']') : entry.count(u':') >= 2;
        if (!ipv6 && entry.contains(u':'))
            return refuse(QStringLiteral("'%1' is not a host name or address").arg(entry));
        if (ipv6 && !entry.startsWith(u'['))
            host = u'[' + entry + u']';
        const std::optional<WebUrl> url = WebUrl::parse(QByteArray("http://") + host.toUtf8() + '/');
        if (!url || url->hostname().isEmpty() || !url->port().isEmpty())
            return refuse(QStringLiteral("'%1' is not a host name or address").arg(entry));
        hosts << url->hostname();
    }
    return hosts;
}

QList<QByteArray> followLinksOfPage(const QByteArray& page, const QByteArray& pageUrl,
                                    const QByteArray& contentType, FollowMode mode,
                                    const ImageTypeFilter& filter) {
    if (mode == FollowMode::None)
        return {};
    const QByteArray text = pageEncoding::decode(page, pageEncoding::sniff(page, contentType),
                                                 [] { QCoreApplication::processEvents(); });
    LinkFinder finder(mode);
    MarkupWalker::walk(text, finder);
    return finder.links(pageUrl, filter);
}

QList<QByteArray> followLinksOfElements(const QList<BrowserListing::RenderedElement>& elements,
                                        FollowMode mode, const ImageTypeFilter& filter) {
    if (mode == FollowMode::None)
        return {};
    // Which a elements hold an image: every a above an image-context element.
    QSet<qsizetype> withImage;
    if (mode == FollowMode::Thumbnails) {
        for (qsizetype i = 0; i < elements.size(); ++i) {
            if (!isImageElement(elements[i].element))
                continue;
            for (qsizetype up = elements[i].parent; up >= 0; up = elements[up].parent)
                if (isAnchor(elements[up].element))
                    withImage.insert(up);
        }
    }
    QList<QByteArray> out;
    const QByteArray* lastBase = nullptr;
    std::optional<WebUrl> base;
    for (qsizetype i = 0; i < elements.size(); ++i) {
        const BrowserListing::RenderedElement& e = elements[i];
        if (mode == FollowMode::Thumbnails && !withImage.contains(i))
            continue;
        ElementLinks links;
        MarkupWalker::element(e.element, links);
        if (links.values.isEmpty())
            continue;
        if (!lastBase || e.baseUrl != *lastBase) {
            base = WebUrl::parseAsBrowser(e.baseUrl);
            lastBase = &e.baseUrl;
        }
        for (const QByteArray& value : std::as_const(links.values))
            if (QByteArray target = targetOf(value, base ? &*base : nullptr, filter); !target.isEmpty())
                out << std::move(target);
    }
    return out;
}

QByteArray followHostOf(const QByteArray& url) {
    const std::optional<WebUrl> parsed = WebUrl::parse(url);
    return parsed && parsed->isHttp() ? parsed->hostname() : QByteArray();
}

bool followHostAllowed(const QByteArray& url, const QByteArray& pageHost, const FollowOptions& options) {
    if (options.anyHost || options.hosts.contains("any"))
        return true;
    const QByteArray host = followHostOf(url);
    return !host.isEmpty() && (host == pageHost || options.hosts.contains(host));
}

QList<QByteArray> followTargets(const QList<QByteArray>& links, const QByteArray& pageUrl,
                                const FollowOptions& options) {
    QList<QByteArray> targets;
    QSet<QByteArray> seen;
    // The page itself counts as followed already.
    if (const std::optional<WebUrl> page = WebUrl::parseAsBrowser(pageUrl))
        seen.insert(withoutFragment(*page));
    const QByteArray pageHost = followHostOf(pageUrl);
    for (const QByteArray& link : links) {
        if (targets.size() >= options.max)
            break;
        if (seen.contains(link))
            continue;
        seen.insert(link);
        if (followHostAllowed(link, pageHost, options))
            targets << link;
    }
    return targets;
}

// ---- Fetching ----

namespace {

bool isHtmlType(const QByteArray& contentType) {
    const qsizetype semicolon = contentType.indexOf(';');
    const QByteArray type = (semicolon < 0 ? contentType : contentType.left(semicolon)).trimmed().toLower();
    return type == "text/html" || type == "application/xhtml+xml";
}

} // namespace

// One target's request: its page kept in memory up to the cap, only when it is HTML.
class LinkFollower::Fetch : public net::TransferHandler {
public:
    Fetch(LinkFollower& follower, std::size_t index) : m_follower(follower), m_index(index) {}
    ~Fetch() override { cancel(); }

    void start(const net::Request& request) {
        m_page.target = request.link;
        m_starting = true;
        m_id = m_follower.m_setup.loop().submit(request, *this, net::Purpose::Page);
        m_starting = false;
        if (m_early)
            report(*m_early);
    }
    const FollowedPage& page() const { return m_page; }
    void cancel() {
        if (m_id != 0)
            m_follower.m_setup.loop().cancel(std::exchange(m_id, 0));
    }

private:
    void head(const net::Response& response) override {
        m_head = response;
        if (response.status < 200 || response.status > 299)
            return;
        m_page.finalUrl = response.finalAddress;
        m_page.contentType = response.header("Content-Type");
        // Only a page is read: anything else ends at its headers, and so does a page too long.
        net::Result refused;
        if (!m_page.contentType.isEmpty() && !isHtmlType(m_page.contentType))
            refused = {
                net::Status::Failed,
                QStringLiteral("it is not an HTML page (%1)").arg(QString::fromLatin1(m_page.contentType))};
        else if (response.header("Content-Length").toLongLong() > FollowOptions::maxPageBytes)
            refused = {net::Status::TooBig, {}, 0, FollowOptions::maxPageBytes};
        if (!refused.ok()) {
            cancel();
            report(refused);
        }
    }
    Take body(QByteArrayView piece) override {
        m_page.body.append(piece);
        return Take::Taken;
    }
    void finished(const net::Result& result) override {
        m_id = 0;
        net::Result ended = result;
        if (ended.ok() && (m_head.status < 200 || m_head.status > 299))
            ended = {net::Status::HttpStatus, QString::fromLatin1(m_head.phrase), m_head.status};
        if (m_starting) {
            m_early = ended;
            return;
        }
        report(ended);
    }
    bool redirectAllowed(const QByteArray& target) override {
        return followHostAllowed(target, m_follower.m_pageHost, m_follower.m_options);
    }
    void report(const net::Result& result) {
        if (std::exchange(m_reported, true))
            return;
        // From the event loop, never from inside the loop's report: reading a page takes a while.
        QTimer::singleShot(0, &m_follower, [follower = &m_follower, index = m_index, result] {
            follower->fetched(index, result, follower->m_fetches[index]->page());
        });
    }

    LinkFollower& m_follower;
    const std::size_t m_index;
    net::Transfers::Id m_id = 0;
    net::Response m_head;
    FollowedPage m_page;
    bool m_starting = false;
    bool m_reported = false;
    std::optional<net::Result> m_early;
};

LinkFollower::LinkFollower(const net::RunSetup& setup, const FollowOptions& options, Hooks hooks)
    : m_setup(setup), m_options(options), m_hooks(std::move(hooks)) {}

LinkFollower::~LinkFollower() {
    // Their ends are not told any more.
    m_ended = true;
    for (const std::unique_ptr<Fetch>& fetch : m_fetches)
        if (fetch)
            fetch->cancel();
}

void LinkFollower::start(const QList<QByteArray>& targets, const QByteArray& referringPage) {
    m_targets = targets;
    m_referer = m_setup.refererFor(referringPage);
    m_pageHost = followHostOf(referringPage);
    m_fetches.resize(std::size_t(targets.size()));
    m_links.resize(std::size_t(targets.size()));
    m_results.resize(std::size_t(targets.size()));
    m_pages.resize(std::size_t(targets.size()));
    if (m_hooks.progress)
        m_hooks.progress(0, int(targets.size()));
    if (targets.isEmpty()) {
        m_ended = true;
        QTimer::singleShot(0, this, [this] { m_hooks.ended({}); });
        return;
    }
    next();
}

void LinkFollower::next() {
    const int parallel = qBound(1, m_setup.options().parallel, net::RunOptions::maxParallel);
    // Pages waiting to be read hold their bytes: no more are fetched than can wait.
    while (!m_ended && m_inFlight < parallel && m_started < std::size_t(m_targets.size()) &&
           int(m_toRead.size()) < parallel) {
        const std::size_t index = m_started++;
        net::Request request;
        request.link = m_targets[qsizetype(index)];
        request.identityEncoding = false;
        request.referer = m_referer;
        request.maxBodyBytes = FollowOptions::maxPageBytes;
        ++m_inFlight;
        m_fetches[index] = std::make_unique<Fetch>(*this, index);
        m_fetches[index]->start(request);
    }
}

void LinkFollower::fetched(std::size_t index, const net::Result& result, const FollowedPage& page) {
    if (m_ended)
        return;
    --m_inFlight;
    if (result.ok())
        m_pages[index] = {page.target, page.finalUrl, page.contentType, {}};
    if (result.ok() && m_hooks.readLater) {
        m_toRead.push_back({index, page});
        m_fetches[index].reset();
        readNext();
        next();
        return;
    }
    const QList<QByteArray> links = result.ok() && m_hooks.read ? m_hooks.read(page) : QList<QByteArray>();
    // Its bytes are read: only what it lists is kept until its turn.
    m_fetches[index].reset();
    targetDone(index, result, links);
}

void LinkFollower::readNext() {
    if (m_readingLater || m_toRead.empty() || m_ended)
        return;
    m_readingLater = true;
    auto [index, page] = std::move(m_toRead.front());
    m_toRead.erase(m_toRead.begin());
    m_hooks.readLater(page, [this, index](const net::Result& result, const QList<QByteArray>& links) {
        m_readingLater = false;
        if (m_ended)
            return;
        targetDone(index, result, links);
        readNext();
    });
}

void LinkFollower::targetDone(std::size_t index, const net::Result& result, const QList<QByteArray>& links) {
    ++m_done;
    m_links[index] = result.ok() ? links : QList<QByteArray>();
    m_results[index] = result;
    if (m_hooks.progress)
        m_hooks.progress(m_done, int(m_targets.size()));
    if (Cancellation::requested()) {
        m_ended = true;
        for (const std::unique_ptr<Fetch>& fetch : m_fetches)
            if (fetch)
                fetch->cancel();
        m_hooks.ended({net::Status::Cancelled});
        return;
    }
    handOn();
    if (m_handedOn == std::size_t(m_targets.size())) {
        m_ended = true;
        m_hooks.ended({});
        return;
    }
    next();
}

void LinkFollower::handOn() {
    while (m_handedOn < m_links.size() && m_links[m_handedOn]) {
        const std::size_t i = m_handedOn++;
        const QByteArray& target = m_targets[qsizetype(i)];
        if (!m_results[i].ok()) {
            if (m_hooks.failed)
                m_hooks.failed(target, m_results[i]);
        } else if (m_hooks.listed) {
            m_hooks.listed(m_pages[i], *m_links[i]);
        }
        m_links[i] = QList<QByteArray>(); // handed on: nothing more to keep
    }
}
