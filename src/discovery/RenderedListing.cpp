#include "discovery/RenderedListing.h"

#include "core/Cancellation.h"
#include "discovery/ChromiumDriver.h"
#include "net/WebPolicy.h"

#include <QFile>
#include <QJsonArray>

namespace {

using namespace Qt::StringLiterals;

// One screen down, at once whatever scroll behaviour the page asks for; then where it stands.
const QString scrollScript = uR"((() => {
  const s = document.scrollingElement || document.documentElement;
  window.scrollBy({top: window.innerHeight, left: 0, behavior: 'instant'});
  return s ? [s.scrollTop, s.scrollHeight] : [0, 0];
})())"_s;

// The tree the browser built, in shadow-including tree order, with the documents of same-origin
// frames right after their frame element: per element its local name, namespace, whether its
// parent is a picture, its attributes in list order, its base URL, for a style element its
// current sheet's rules, and its parent element's place in the answer (-1 for none); then the
// document's title. The contexts themselves are applied by the program, not here.
const QString readScript = uR"((() => {
  const HTML = 'http://www.w3.org/1999/xhtml', SVG = 'http://www.w3.org/2000/svg',
        MATH = 'http://www.w3.org/1998/Math/MathML';
  const origin = self.origin;
  const out = [];
  const places = new Map();
  const stack = [document];
  const pushChildren = (node) => {
    const kids = node.children;
    for (let i = kids.length - 1; i >= 0; --i) stack.push(kids[i]);
  };
  while (stack.length) {
    const node = stack.pop();
    if (node.nodeType !== 1) { pushChildren(node); continue; }
    const uri = node.namespaceURI;
    const space = uri === HTML ? 0 : uri === SVG ? 1 : uri === MATH ? 2 : 3;
    const attrs = [];
    for (const a of node.attributes) attrs.push(a.name, a.value);
    const parent = node.parentElement;
    const inPicture = space === 0 && !!parent && parent.localName === 'picture' && parent.namespaceURI === HTML;
    let sheet = null;
    if (node.localName === 'style' && node.sheet) {
      try { sheet = Array.from(node.sheet.cssRules, (r) => r.cssText).join('\n'); } catch (e) { sheet = null; }
    }
    const parentAt = parent && places.has(parent) ? places.get(parent) : -1;
    places.set(node, out.length);
    out.push([node.localName.toLowerCase(), space, inPicture, attrs, node.baseURI, sheet, parentAt]);
    pushChildren(node);
    if (node.shadowRoot) stack.push(node.shadowRoot);
    if (space === 0 && (node.localName === 'iframe' || node.localName === 'frame')) {
      let doc = null;
      try { doc = node.contentDocument; } catch (e) { doc = null; }
      if (doc && doc.defaultView && doc.defaultView.origin === origin) stack.push(doc);
    }
  }
  return [location.href, out, document.title];
})())"_s;

// The cookies of a Netscape cookie file as the browser takes them; unreadable lines are left out
// (the check of the file has warned of them already).
QJsonArray cookiesOf(const QString& path) {
    QJsonArray cookies;
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return cookies;
    while (!file.atEnd()) {
        QByteArray line = file.readLine(1 << 20).trimmed();
        bool httpOnly = false;
        if (line.startsWith("#HttpOnly_")) {
            httpOnly = true;
            line = line.mid(10);
        } else if (line.isEmpty() || line.startsWith('#')) {
            continue;
        }
        const QList<QByteArray> f = line.split('\t');
        if (f.size() != 7)
            continue;
        QJsonObject cookie{{u"name"_s, QString::fromUtf8(f[5])},    {u"value"_s, QString::fromUtf8(f[6])},
                           {u"domain"_s, QString::fromUtf8(f[0])},  {u"path"_s, QString::fromUtf8(f[2])},
                           {u"secure"_s, f[3].toUpper() == "TRUE"}, {u"httpOnly"_s, httpOnly}};
        if (const qint64 expires = f[4].toLongLong(); expires > 0)
            cookie.insert(u"expires"_s, double(expires));
        cookies.append(cookie);
    }
    return cookies;
}

// The browser's cookies as a Netscape cookie file's lines, which the download's transfers read:
// a domain cookie (".example.org") for its subdomains too, a host-only one for its host alone.
QByteArray netscapeCookies(const QJsonArray& cookies) {
    QByteArray out;
    for (const QJsonValue& v : cookies) {
        const QJsonObject c = v.toObject();
        const QByteArray domain = c.value(u"domain"_s).toString().toUtf8();
        const QByteArray name = c.value(u"name"_s).toString().toUtf8();
        const QByteArray value = c.value(u"value"_s).toString().toUtf8();
        const QByteArray path = c.value(u"path"_s).toString(u"/"_s).toUtf8();
        // A tab or line break would break the file's lines; no browser cookie has one.
        if (domain.isEmpty() || (domain + name + value + path).contains('\t') ||
            (domain + name + value + path).contains('\n') || (domain + name + value + path).contains('\r'))
            continue;
        const double expires = c.value(u"expires"_s).toDouble(-1);
        if (c.value(u"httpOnly"_s).toBool())
            out += "#HttpOnly_";
        out += domain + '\t' + (domain.startsWith('.') ? "TRUE" : "FALSE") + '\t' + path + '\t' +
               (c.value(u"secure"_s).toBool() ? "TRUE" : "FALSE") + '\t' +
               QByteArray::number(expires > 0 ? qint64(expires) : 0) + '\t' + name + '\t' + value + '\n';
    }
    return out;
}

} // namespace

RenderedListing::RenderedListing(ChromiumDriver& driver, ImageList& list, const ImageTypeFilter& filter,
                                 const net::RunOptions& options, Settings settings)
    : m_driver(driver), m_list(list), m_filter(filter), m_options(options), m_settings(settings) {
    for (QTimer* t : {&m_loadWait, &m_cap, &m_quiet, &m_quietCap})
        t->setSingleShot(true);
    m_scroll.setInterval(int(m_settings.scrollEveryMs));
    connect(&m_loadWait, &QTimer::timeout, this, [this] { beginSettling(); });
    connect(&m_cap, &QTimer::timeout, this, [this] {
        if (m_phase == Phase::Reading)
            finish({net::Status::Failed, u"the page stopped answering the browser"_s});
        else
            read();
    });
    connect(&m_scroll, &QTimer::timeout, this, [this] { scrollStep(); });
    connect(&m_quiet, &QTimer::timeout, this, [this] { read(); });
    connect(&m_quietCap, &QTimer::timeout, this, [this] { read(); });
    connect(&m_driver, &ChromiumDriver::ready, this, [this] { prepare(); });
    connect(&m_driver, &ChromiumDriver::pageEvent, this, &RenderedListing::onEvent);
    connect(&m_driver, &ChromiumDriver::failed, this, [this](const QString& reason) {
        finish({net::Status::Failed, reason});
    });
    connect(&Cancellation::instance(), &Cancellation::cancelled, this,
            [this] { finish({net::Status::Cancelled}); });
}

RenderedListing::~RenderedListing() {
    if (m_phase != Phase::Done)
        m_driver.stop();
}

void RenderedListing::start(const QByteArray& address, End end) {
    m_address = address;
    m_end = std::move(end);
    m_phase = Phase::Starting;
    if (Cancellation::requested())
        return finish({net::Status::Cancelled});
    m_driver.start();
}

void RenderedListing::prepare() {
    const auto failed = [this](const QJsonObject&, const QString& error) {
        if (!error.isEmpty())
            finish({net::Status::Failed, u"the browser refused to prepare the page (%1)"_s.arg(error)});
    };
    m_driver.command(u"Page.enable"_s, {}, failed);
    m_driver.command(u"Network.enable"_s, {}, failed);
    // 1280x800 CSS pixels at a device pixel ratio of 1, scrollbars taking no room.
    m_driver.command(
        u"Emulation.setDeviceMetricsOverride"_s,
        {{u"width"_s, 1280}, {u"height"_s, 800}, {u"deviceScaleFactor"_s, 1}, {u"mobile"_s, false}}, failed);
    m_driver.command(u"Emulation.setScrollbarsHidden"_s, {{u"hidden"_s, true}}, failed);
    if (!m_options.userAgent.isEmpty())
        m_driver.command(u"Network.setUserAgentOverride"_s,
                         {{u"userAgent"_s, QString::fromUtf8(m_options.userAgent)}}, failed);
    // Credential lines would go to every host the page touches: they are not given to the browser.
    QJsonObject headers;
    for (const QByteArray& line : m_options.headers) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && !net::carriesCredential(line))
            headers.insert(QString::fromUtf8(line.left(colon)).trimmed(),
                           QString::fromUtf8(line.mid(colon + 1)).trimmed());
    }
    if (!headers.isEmpty())
        m_driver.command(u"Network.setExtraHTTPHeaders"_s, {{u"headers"_s, headers}}, failed);
    if (m_hasDocument)
        m_driver.command(u"Fetch.enable"_s,
                         {{u"patterns"_s, QJsonArray{QJsonObject{{u"urlPattern"_s, u"*"_s},
                                                                 {u"resourceType"_s, u"Document"_s},
                                                                 {u"requestStage"_s, u"Request"_s}}}}},
                         failed);
    const QJsonArray cookies = cookiesOf(m_options.cookieFile);
    if (!cookies.isEmpty())
        m_driver.command(u"Network.setCookies"_s, {{u"cookies"_s, cookies}}, failed);
    m_driver.command(u"Runtime.enable"_s, {}, [this](const QJsonObject&, const QString&) { navigate(); });
}

void RenderedListing::navigate() {
    if (m_phase != Phase::Starting)
        return;
    m_phase = Phase::Navigating;
    m_loadWait.start(int(m_settings.loadWaitMs));
    m_driver.command(
        u"Page.navigate"_s, {{u"url"_s, QString::fromUtf8(m_address)}},
        [this](const QJsonObject& result, const QString& error) {
            if (m_phase == Phase::Done)
                return;
            const QString text = error.isEmpty() ? result.value(u"errorText"_s).toString() : error;
            if (!text.isEmpty())
                return finish({net::Status::Failed, u"the browser could not open it (%1)"_s.arg(text)});
            m_mainFrame = result.value(u"frameId"_s).toString();
            m_loaderId = result.value(u"loaderId"_s).toString();
            if (m_phase == Phase::Navigating)
                m_phase = Phase::Loading;
            checkOwnAnswer();
        });
}

void RenderedListing::checkOwnAnswer() {
    const auto it = m_documentAnswers.find(m_loaderId);
    if (m_loaderId.isEmpty() || it == m_documentAnswers.end() || m_phase == Phase::Done)
        return;
    const int status = it->second.first;
    if (status >= 400)
        finish({net::Status::HttpStatus, it->second.second, status});
}

bool RenderedListing::countsForImages(const QString& frameId) const {
    if (frameId == m_mainFrame)
        return true;
    const QString main = m_frameOrigins.value(m_mainFrame);
    return !main.isEmpty() && main != u"null"_s && m_frameOrigins.value(frameId) == main;
}

void RenderedListing::onEvent(const QString& method, const QJsonObject& params) {
    if (m_phase == Phase::Done)
        return;
    if (method == u"Network.requestWillBeSent"_s) {
        const QString id = params.value(u"requestId"_s).toString();
        // A redirect goes on under the same id: the chain counts once, from its first request.
        if (!m_order.contains(id))
            m_order.insert(id, m_nextOrder++);
        m_inFlight.insert(id, params.value(u"frameSession"_s).toString());
        m_quiet.stop();
    } else if (method == u"Network.responseReceived"_s) {
        const QString id = params.value(u"requestId"_s).toString();
        const QJsonObject response = params.value(u"response"_s).toObject();
        const int status = response.value(u"status"_s).toInt();
        const QString type = params.value(u"type"_s).toString();
        if (type == u"Document"_s)
            m_documentAnswers[id] = {status, response.value(u"statusText"_s).toString()};
        if (id == m_loaderId)
            checkOwnAnswer();
        // A frame of another site (a process of its own) only counts for the quiet network.
        if (type == u"Image"_s && status >= 200 && status <= 299 && m_phase != Phase::Reading &&
            !params.contains(u"frameSession"_s) && countsForImages(params.value(u"frameId"_s).toString())) {
            const QByteArray url = response.value(u"url"_s).toString().toUtf8();
            if (!url.startsWith("data:") && !url.startsWith("blob:") && m_order.contains(id)) {
                m_images.emplace(m_order.value(id), url);
                if (m_progress)
                    m_progress(m_screens, int(m_images.size()));
            }
        }
    } else if (method == u"Network.loadingFinished"_s || method == u"Network.loadingFailed"_s) {
        if (m_inFlight.remove(params.value(u"requestId"_s).toString()))
            quietIfIdle();
    } else if (method == u"Target.detachedFromTarget"_s) {
        // A frame of another site went away: nothing of its will end any more.
        const QString gone = params.value(u"frameSession"_s).toString();
        if (!gone.isEmpty() &&
            m_inFlight.removeIf([&](QHash<QString, QString>::iterator it) { return it.value() == gone; }))
            quietIfIdle();
    } else if (method == u"Page.frameNavigated"_s) {
        const QJsonObject frame = params.value(u"frame"_s).toObject();
        m_frameOrigins.insert(frame.value(u"id"_s).toString(), frame.value(u"securityOrigin"_s).toString());
    } else if (method == u"Page.loadEventFired"_s) {
        if (m_phase == Phase::Navigating || m_phase == Phase::Loading)
            beginSettling();
    } else if (method == u"Fetch.requestPaused"_s) {
        // The page's own document comes from the bytes given; any other goes on to its server.
        const QString id = params.value(u"requestId"_s).toString();
        const QByteArray url = params.value(u"request"_s).toObject().value(u"url"_s).toString().toUtf8();
        const qsizetype hash = url.indexOf('#');
        if (!m_documentServed && (hash < 0 ? url : url.left(hash)) == m_address) {
            m_documentServed = true;
            m_driver.command(
                u"Fetch.fulfillRequest"_s,
                {{u"requestId"_s, id},
                 {u"responseCode"_s, 200},
                 {u"responseHeaders"_s,
                  QJsonArray{QJsonObject{{u"name"_s, u"Content-Type"_s},
                                         {u"value"_s, m_documentType.isEmpty()
                                                          ? u"text/html"_s
                                                          : QString::fromLatin1(m_documentType)}}}},
                 {u"body"_s, QString::fromLatin1(m_document.toBase64())}});
            m_document.clear();
        } else {
            m_driver.command(u"Fetch.continueRequest"_s, {{u"requestId"_s, id}});
        }
    } else if (method == u"Page.javascriptDialogOpening"_s) {
        // alert, confirm (false), prompt (null), beforeunload: dismissed.
        m_driver.command(u"Page.handleJavaScriptDialog"_s, {{u"accept"_s, false}});
    } else if (method == u"Inspector.targetCrashed"_s) {
        finish({net::Status::Failed, u"the browser's page crashed"_s});
    }
}

void RenderedListing::quietIfIdle() {
    if (!m_inFlight.isEmpty())
        return;
    m_quietClock.restart();
    if (m_phase == Phase::Quiet)
        m_quiet.start(int(m_settings.quietMs));
}

void RenderedListing::beginSettling() {
    if (m_phase != Phase::Navigating && m_phase != Phase::Loading)
        return;
    m_phase = Phase::Scrolling;
    m_loadWait.stop();
    m_cap.start(int(m_settings.renderMs));
    m_scroll.start();
}

void RenderedListing::scrollStep() {
    if (m_phase != Phase::Scrolling || m_scrollPending)
        return;
    m_scrollPending = true;
    m_driver.evaluate(scrollScript, [this](const QJsonObject& value, const QString& error) {
        m_scrollPending = false;
        if (m_phase != Phase::Scrolling || !error.isEmpty())
            return; // a page that is between documents is scrolled at the next step
        const QJsonArray at = value.value(u"value"_s).toArray();
        const double top = at.at(0).toDouble();
        const double height = at.at(1).toDouble();
        ++m_screens;
        if (m_progress)
            m_progress(m_screens, int(m_images.size()));
        if (height != m_lastHeight || !m_heightSince.isValid())
            m_heightSince.restart();
        const bool stopped =
            m_scrolledOnce && top == m_lastTop && m_heightSince.elapsed() >= m_settings.stableHeightMs;
        m_scrolledOnce = true;
        m_lastTop = top;
        m_lastHeight = height;
        if (stopped)
            beginQuiet();
    });
}

void RenderedListing::beginQuiet() {
    m_phase = Phase::Quiet;
    m_scroll.stop();
    m_quietCap.start(int(m_settings.quietCapMs));
    if (m_inFlight.isEmpty()) {
        const qint64 since = m_quietClock.isValid() ? m_quietClock.elapsed() : m_settings.quietMs;
        m_quiet.start(int(std::max<qint64>(0, m_settings.quietMs - since)));
    }
}

void RenderedListing::read() {
    if (m_phase == Phase::Done || m_phase == Phase::Reading)
        return;
    m_phase = Phase::Reading;
    for (QTimer* t : {&m_loadWait, &m_scroll, &m_quiet, &m_quietCap})
        t->stop();
    // A page whose script never yields cannot be read: it fails instead of hanging.
    m_cap.start(int(m_settings.readCapMs));
    m_driver.evaluate(readScript, [this](const QJsonObject& value, const QString& error) {
        if (m_phase != Phase::Reading)
            return;
        if (!error.isEmpty())
            return finish({net::Status::Failed, u"the page could not be read (%1)"_s.arg(error)});
        const QJsonArray answer = value.value(u"value"_s).toArray();
        m_finalAddress = answer.at(0).toString().toUtf8();
        m_title = answer.at(2).toString().toUtf8();
        QList<BrowserListing::RenderedElement> elements;
        const QJsonArray list = answer.at(1).toArray();
        elements.reserve(list.size());
        for (const QJsonValue& v : list) {
            const QJsonArray e = v.toArray();
            BrowserListing::RenderedElement r;
            r.element.name = e.at(0).toString().toUtf8();
            r.element.space = MarkupWalker::DomElement::Space(std::clamp(e.at(1).toInt(), 0, 3));
            r.element.inPicture = e.at(2).toBool();
            const QJsonArray attrs = e.at(3).toArray();
            for (qsizetype i = 0; i + 1 < attrs.size(); i += 2)
                r.element.attributes.append(
                    {attrs.at(i).toString().toUtf8(), attrs.at(i + 1).toString().toUtf8()});
            r.baseUrl = e.at(4).toString().toUtf8();
            r.element.hasSheet = e.at(5).isString();
            r.element.sheet = e.at(5).toString().toUtf8();
            // A parent stands before its child; anything else is no parent.
            const qsizetype parent = e.at(6).toInteger(-1);
            r.parent = parent >= 0 && parent < elements.size() ? parent : -1;
            elements.append(std::move(r));
        }
        // The cookies the downloads will carry: all of them, not only what scripts may see.
        m_driver.command(
            u"Storage.getCookies"_s, {},
            [this, elements = std::move(elements)](const QJsonObject& result, const QString&) mutable {
                if (m_phase != Phase::Reading)
                    return;
                m_cookies = netscapeCookies(result.value(u"cookies"_s).toArray());
                listFound(std::move(elements));
            });
    });
}

void RenderedListing::listFound(QList<BrowserListing::RenderedElement> elements) {
    QList<QByteArray> images;
    for (const auto& [order, url] : m_images)
        images.append(url);
    // The browser is done with: it ends before the listing, which may let the event loop turn.
    m_cap.stop();
    m_phase = Phase::Done;
    m_driver.stop();
    QTimer::singleShot(0, this, [this, elements = std::move(elements), images = std::move(images)] {
        if (Cancellation::requested())
            return finishListed({net::Status::Cancelled});
        BrowserListing listing(m_list, m_filter);
        listing.setLargestOnly(m_largest);
        listing.setImagesOnly(m_imagesOnly);
        if (m_foundIn)
            m_foundIn(FoundIn::Document);
        listing.runElements(elements);
        if (m_foundIn)
            m_foundIn(FoundIn::Network);
        listing.addImages(images);
        m_elements = elements;
        finishListed(Cancellation::requested() ? net::Result(net::Status::Cancelled) : net::Result());
    });
}

void RenderedListing::finish(const net::Result& result) {
    if (m_phase == Phase::Done)
        return;
    m_phase = Phase::Done;
    m_driver.stop();
    finishListed(result);
}

void RenderedListing::finishListed(const net::Result& result) {
    for (QTimer* t : {&m_loadWait, &m_cap, &m_scroll, &m_quiet, &m_quietCap})
        t->stop();
    if (End end = std::exchange(m_end, {}))
        end(result);
}
