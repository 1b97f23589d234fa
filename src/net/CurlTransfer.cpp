#include "net/CurlTransfer.h"

#include "core/Cancellation.h"
#include "net/WebPolicy.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QList>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace net {

namespace {

// A compressed page that grows past this many times its wire size is refused once it is past
// bombFloorBytes: text compresses well, but not that well.
constexpr qint64 bombRatio = 1000;
constexpr qint64 bombFloorBytes = 1 << 20;

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool allDigits(QByteArrayView text) {
    if (text.isEmpty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

} // namespace

// One multi handle and the event-loop wiring libcurl asks for.
class CurlMulti {
public:
    CurlMulti() {
        static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        Q_UNUSED(initialised);
        m_multi = curl_multi_init();
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &CurlMulti::onSocket);
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &CurlMulti::onTimer);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    }
    ~CurlMulti() {
        // Closing its connections, the cleanup may still ask to stop watching their sockets.
        qDeleteAll(m_watches);
        m_watches.clear();
        curl_multi_cleanup(m_multi);
        m_timer.stop();
    }
    CurlMulti(const CurlMulti&) = delete;
    CurlMulti& operator=(const CurlMulti&) = delete;

    CURLM* handle() const { return m_multi; }
    // The link of the first request made here: the address the user named, whose origin alone
    // gets the credentials among the extra headers unless the defaults say otherwise.
    QByteArray firstAddress;
    // Called for each transfer that ended, with libcurl's code.
    void add(CURL* easy) { curl_multi_add_handle(m_multi, easy); }
    void remove(CURL* easy) { curl_multi_remove_handle(m_multi, easy); }

private:
    struct Watch {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
    };

    static int onSocket(CURL*, curl_socket_t socket, int what, void* self, void*) {
        static_cast<CurlMulti*>(self)->watch(socket, what);
        return 0;
    }
    static int onTimer(CURLM*, long timeoutMs, void* self) {
        auto* multi = static_cast<CurlMulti*>(self);
        if (timeoutMs < 0)
            multi->m_timer.stop();
        else
            multi->m_timer.start(int(qMin<long>(timeoutMs, std::numeric_limits<int>::max())));
        return 0;
    }

    void watch(curl_socket_t socket, int what) {
        if (what == CURL_POLL_REMOVE) {
            if (Watch* watch = m_watches.take(socket)) {
                // The notifier may be the one whose signal is being handled right now.
                for (auto* notifier : {watch->read.release(), watch->write.release()})
                    if (notifier) {
                        notifier->setEnabled(false);
                        notifier->deleteLater();
                    }
                delete watch;
            }
            return;
        }
        Watch*& watch = m_watches[socket];
        if (!watch)
            watch = new Watch;
        auto ensure = [&](std::unique_ptr<QSocketNotifier>& notifier, QSocketNotifier::Type type, int flag) {
            if (!notifier) {
                notifier = std::make_unique<QSocketNotifier>(qintptr(socket), type);
                QObject::connect(notifier.get(), &QSocketNotifier::activated,
                                 [this, socket, flag] { act(socket, flag); });
            }
        };
        const bool wantRead = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
        const bool wantWrite = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
        if (wantRead)
            ensure(watch->read, QSocketNotifier::Read, CURL_CSELECT_IN);
        if (wantWrite)
            ensure(watch->write, QSocketNotifier::Write, CURL_CSELECT_OUT);
        if (watch->read)
            watch->read->setEnabled(wantRead);
        if (watch->write)
            watch->write->setEnabled(wantWrite);
    }

    void act(curl_socket_t socket, int flags);

    CURLM* m_multi = nullptr;
    QTimer m_timer;
    QHash<curl_socket_t, Watch*> m_watches;
};

class CurlTransfer : public Transfer {
public:
    CurlTransfer(std::shared_ptr<CurlMulti> multi, CurlDefaults defaults);
    ~CurlTransfer() override;

    bool start(const Request& request) override;
    void waitForResponse() override;
    QByteArray header(const QByteArray& name) const override;
    QByteArrayView nextChunk(qint64 size) override;
    QByteArrayView nextPiece(qint64 size) override;
    void waitForEnd() override;
    void abort() override;
    Result result() const override { return m_result; }
    int status() const override { return m_headDone ? m_status : 0; }
    QByteArray finalAddress() const override { return m_url; }

    // libcurl's report that the transfer on the wire ended.
    void ended(CURLcode code);
    // The reader takes over a transfer that was started early: the idle time counts from now.
    void adopt() {
        if (m_onWire && !m_paused)
            startTimers();
    }
    const Request& request() const { return m_request; }

private:
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onBody(char* data, size_t size, size_t count, void* self);
    size_t takeHeader(QByteArrayView line);
    size_t takeBody(const char* data, size_t size);
    bool headComplete();
    void begin();
    void follow();
    void stopWire();
    void fail(Status status, const QString& detail = {}, qint64 number = 0);
    // Inside libcurl's callbacks nothing may leave the multi handle: the failure is noted and the
    // callback's refusal ends the transfer, which ended() then reports.
    void note(Status status, const QString& detail = {}, qint64 number = 0) {
        if (m_result.ok())
            m_result = {status, detail, m_status, number};
    }
    void finish();
    void heard();
    void startTimers();
    void setPaused(bool paused);
    void resumeIfRoom();
    // Holds the connection for ms: the run's rate limit is ahead of what arrived.
    void throttle(qint64 ms);
    // The origin the credentials among the extra headers were given for.
    QByteArray credentialsFor() const;
    Result fromCurl(CURLcode code) const;
    qsizetype buffered() const { return m_buffer.size() - m_readFrom; }
    QByteArrayView take(qint64 size);
    void compact();
    template <typename Done> void waitUntil(Done done);
    // Quits the wait once: each quit wakes the event loop with a system call.
    void wake() {
        if (m_loop) {
            m_loop->quit();
            m_loop = nullptr;
        }
    }

    std::shared_ptr<CurlMulti> m_multi;
    CurlDefaults m_defaults;
    QByteArray m_defaultAgent;
    CURL* m_easy = nullptr;
    curl_slist* m_extraHeaders = nullptr;
    bool m_onWire = false;
    char m_error[CURL_ERROR_SIZE] = {};

    Request m_request;
    QByteArray m_url;
    QByteArray m_proxy;
    QByteArray m_referer;
    int m_redirects = 0;

    // The response now arriving; a redirect's is replaced by the next one's.
    int m_status = 0;
    QByteArray m_phrase;
    QList<std::pair<QByteArray, QByteArray>> m_headers;
    bool m_headDone = false;
    bool m_redirecting = false;
    bool m_chunked = false;
    bool m_discardBody = false;

    QByteArray m_buffer;
    qsizetype m_readFrom = 0;
    qint64 m_bodyBytes = 0;
    bool m_paused = false;    // libcurl holds the bytes back until told to go on
    bool m_throttled = false; // ... and may not be told before the rate limit allows
    QTimer m_throttle;
    bool m_ended = false;
    Result m_result;

    // The idle timer is not restarted for every piece (that costs more than the piece itself):
    // each piece restarts a clock, and the timer, when it fires, checks how long it has been.
    QTimer m_idle;
    QElapsedTimer m_sinceHeard;
    int m_idleMs = 30000;
    QTimer m_lowSpeed;
    qint64 m_heardBytes = 0;
    qint64 m_heardAtCheck = 0;
    QEventLoop* m_loop = nullptr;
    QMetaObject::Connection m_cancel;
};

void CurlMulti::act(curl_socket_t socket, int flags) {
    int running = 0;
    curl_multi_socket_action(m_multi, socket, flags, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CurlTransfer* transfer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
        const CURLcode code = message->data.result;
        if (transfer)
            transfer->ended(code);
    }
}

QString curlVersion() {
    return QString::fromLatin1(curl_version_info(CURLVERSION_NOW)->version);
}

CurlTransfer::CurlTransfer(std::shared_ptr<CurlMulti> multi, CurlDefaults defaults)
    : m_multi(std::move(multi)), m_defaults(std::move(defaults)), m_defaultAgent(m_defaults.userAgent) {
    if (m_defaultAgent.isEmpty())
        m_defaultAgent = QByteArrayLiteral("Varnolux/" VARNOLUX_VERSION);
    m_idle.setSingleShot(true);
    QObject::connect(&m_idle, &QTimer::timeout, [this] {
        const qint64 quiet = m_sinceHeard.elapsed();
        if (quiet >= m_idleMs)
            fail(Status::Idle);
        else
            m_idle.start(int(m_idleMs - quiet));
    });
    m_throttle.setSingleShot(true);
    QObject::connect(&m_throttle, &QTimer::timeout, [this] {
        m_throttled = false;
        resumeIfRoom();
    });
    QObject::connect(&m_lowSpeed, &QTimer::timeout, [this] {
        if (!m_paused && m_heardBytes - m_heardAtCheck < lowSpeedBytes)
            fail(Status::TooSlow);
        m_heardAtCheck = m_heardBytes;
    });
    // Through the timer, so a run on another thread hears the request in its own thread.
    m_cancel = QObject::connect(&Cancellation::instance(), &Cancellation::cancelled, &m_idle,
                                [this] { fail(Status::Cancelled); });
}

CurlTransfer::~CurlTransfer() {
    QObject::disconnect(m_cancel);
    stopWire();
    if (m_easy)
        curl_easy_cleanup(m_easy);
    curl_slist_free_all(m_extraHeaders);
}

bool CurlTransfer::start(const Request& request) {
    stopWire();
    m_request = request;
    m_idleMs = idleTimeoutMs();
    m_url = wireAddress(request.link);
    m_redirects = 0;
    m_result = {};
    m_ended = false;
    m_buffer.resize(0);
    m_buffer.reserve(CurlTransferFactory::bufferBytes + CURL_MAX_WRITE_SIZE);
    m_readFrom = 0;
    m_bodyBytes = 0;
    m_status = 0;
    m_headers.clear();
    m_headDone = false;
    const QUrl url = QUrl::fromEncoded(m_url, QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"http" && scheme != u"https")) {
        m_result = {Status::NotWebAddress, QString::fromUtf8(request.link)};
        m_ended = true;
        return false;
    }
    if (m_multi->firstAddress.isEmpty())
        m_multi->firstAddress = m_url;
    if (Cancellation::requested()) {
        m_result = {Status::Cancelled};
        m_ended = true;
        return true;
    }
    if (!m_easy) {
        m_easy = curl_easy_init();
    } else {
        curl_easy_reset(m_easy);
    }
    curl_easy_setopt(m_easy, CURLOPT_PRIVATE, this);
    curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_error);
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_easy, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed here, one by one, so each target is checked before it is asked for.
    curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    // Under a rate limit the bytes are taken in smaller reads, so the pauses between them stay
    // short and even.
    const qint64 rate = m_defaults.rateLimit ? m_defaults.rateLimit->bytesPerSecond() : 0;
    curl_easy_setopt(m_easy, CURLOPT_BUFFERSIZE,
                     long(rate > 0 ? qBound(qint64(1024), rate / 8, qint64(256 * 1024)) : 256 * 1024));
    curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader);
    curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &CurlTransfer::onBody);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
    // A proxy's answer to CONNECT is not the server's response.
    curl_easy_setopt(m_easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(m_easy, CURLOPT_USERAGENT,
                     (m_request.userAgent.isEmpty() ? m_defaultAgent : m_request.userAgent).constData());
    if (m_request.identityEncoding) {
        curl_easy_setopt(m_easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    } else {
        // Every coding this libcurl decodes: gzip, deflate, br, zstd as built.
        curl_easy_setopt(m_easy, CURLOPT_ACCEPT_ENCODING, "");
    }
    // Read for every request and never written back: no cookie jar is set.
    if (!m_defaults.cookieFile.isEmpty())
        curl_easy_setopt(m_easy, CURLOPT_COOKIEFILE, m_defaults.cookieFile.constData());
    // libcurl reads neither of these itself.
    static const QByteArray caFile = qgetenv("SSL_CERT_FILE");
    static const QByteArray caDir = qgetenv("SSL_CERT_DIR");
    if (!caFile.isEmpty())
        curl_easy_setopt(m_easy, CURLOPT_CAINFO, caFile.constData());
    if (!caDir.isEmpty())
        curl_easy_setopt(m_easy, CURLOPT_CAPATH, caDir.constData());
    begin();
    return true;
}

// Puts the current address on the wire with a fresh response state.
void CurlTransfer::begin() {
    m_status = 0;
    m_phrase.clear();
    m_headers.clear();
    m_headDone = false;
    m_redirecting = false;
    m_chunked = false;
    m_discardBody = false;
    m_error[0] = 0;
    const QUrl url = QUrl::fromEncoded(m_url, QUrl::TolerantMode);
    // Chosen here rather than by libcurl, so a failure can name the proxy it went through.
    m_proxy = proxyFor(url.scheme().toLatin1(), url.host().toUtf8());
    curl_easy_setopt(m_easy, CURLOPT_PROXY, m_proxy.constData());
    // Each request on the way, a redirect's too, gets what its own target may see: the Referer
    // by the policy, credentials only on the origin they were given for.
    m_referer = refererFor(m_request.referer, m_url);
    curl_easy_setopt(m_easy, CURLOPT_REFERER, m_referer.isEmpty() ? nullptr : m_referer.constData());
    curl_slist* headers = nullptr;
    if (m_request.identityEncoding)
        headers = curl_slist_append(headers, "Accept-Encoding: identity");
    for (const QList<QByteArray>* lines : {&m_defaults.headers, &m_request.headers})
        for (const QByteArray& line : headersFor(*lines, credentialsFor(), m_url))
            headers = curl_slist_append(headers, line.constData());
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, headers);
    curl_slist_free_all(m_extraHeaders);
    m_extraHeaders = headers;
    curl_easy_setopt(m_easy, CURLOPT_URL, m_url.constData());
    m_onWire = true;
    m_paused = false;
    m_throttled = false;
    m_throttle.stop();
    startTimers();
    m_multi->add(m_easy);
}

void CurlTransfer::stopWire() {
    m_idle.stop();
    m_lowSpeed.stop();
    m_throttle.stop();
    m_throttled = false;
    if (m_onWire) {
        m_onWire = false;
        m_multi->remove(m_easy);
    }
}

void CurlTransfer::finish() {
    stopWire();
    m_ended = true;
    wake();
}

void CurlTransfer::fail(Status status, const QString& detail, qint64 number) {
    if (m_ended)
        return;
    note(status, detail, number);
    finish();
}

void CurlTransfer::heard() {
    m_sinceHeard.start();
}

void CurlTransfer::startTimers() {
    m_sinceHeard.start();
    m_heardAtCheck = m_heardBytes;
    m_idle.start(m_idleMs);
    m_lowSpeed.start(2 * m_idleMs);
}

size_t CurlTransfer::onHeader(char* data, size_t size, size_t count, void* self) {
    return static_cast<CurlTransfer*>(self)->takeHeader(QByteArrayView(data, qsizetype(size * count)));
}

size_t CurlTransfer::takeHeader(QByteArrayView raw) {
    m_heardBytes += raw.size();
    heard();
    QByteArrayView line = raw;
    while (!line.isEmpty() && (line.back() == '\n' || line.back() == '\r'))
        line.chop(1);
    if (line.startsWith("HTTP/")) {
        // A new response: an interim one, a redirect's, or the final one.
        m_headers.clear();
        m_headDone = false;
        const QList<QByteArray> parts = line.toByteArray().split(' ');
        m_status = parts.size() > 1 ? parts[1].toInt() : 0;
        const qsizetype phraseAt = line.indexOf(' ', line.indexOf(' ') + 1);
        m_phrase = phraseAt > 0 ? line.sliced(phraseAt + 1).toByteArray().trimmed() : QByteArray();
        return raw.size();
    }
    if (!line.isEmpty()) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            m_headers.append(
                {line.first(colon).toByteArray().trimmed(), line.sliced(colon + 1).toByteArray().trimmed()});
        return raw.size();
    }
    if (m_status >= 100 && m_status < 200)
        return raw.size();
    return headComplete() ? raw.size() : 0;
}

// The blank line after a response's headers. False fails the transfer.
bool CurlTransfer::headComplete() {
    if (isRedirect(m_status) && !header("Location").isEmpty()) {
        m_redirecting = true;
        m_discardBody = true;
        return true;
    }
    m_chunked = header("Transfer-Encoding").toLower().contains("chunked");
    // Every Content-Length must name one and the same length within 63 bits; anything else
    // leaves no way to know where the body ends.
    QByteArray length;
    for (const auto& [name, value] : std::as_const(m_headers)) {
        if (name.compare("Content-Length", Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray& piece : value.split(',')) {
            const QByteArray one = piece.trimmed();
            bool fits = false;
            one.toLongLong(&fits);
            if (!allDigits(one) || !fits) {
                note(Status::InvalidLength, QString::fromLatin1(one));
                return false;
            }
            if (!length.isEmpty() && one.toLongLong() != length.toLongLong()) {
                note(Status::TwoLengths);
                return false;
            }
            length = one;
        }
    }
    m_headDone = true;
    if (m_status < 200 || m_status > 299) {
        m_result = {Status::HttpStatus, QString::fromLatin1(m_phrase), m_status};
        m_discardBody = true;
    }
    wake();
    return true;
}

size_t CurlTransfer::onBody(char* data, size_t size, size_t count, void* self) {
    return static_cast<CurlTransfer*>(self)->takeBody(data, size * count);
}

size_t CurlTransfer::takeBody(const char* data, size_t size) {
    if (m_ended)
        return 0;
    if (m_discardBody)
        return size;
    // The reader is behind, or the run is ahead of its rate: libcurl keeps these bytes and hands
    // them over again once resumed.
    if (m_throttled || buffered() >= CurlTransferFactory::bufferBytes) {
        setPaused(true);
        return CURL_WRITEFUNC_PAUSE;
    }
    m_heardBytes += qint64(size);
    heard();
    m_bodyBytes += qint64(size);
    if (!m_request.identityEncoding && m_bodyBytes > bombFloorBytes) {
        curl_off_t wire = 0;
        curl_easy_getinfo(m_easy, CURLINFO_SIZE_DOWNLOAD_T, &wire);
        if (m_bodyBytes > bombRatio * qMax<qint64>(wire, 1) && !header("Content-Encoding").isEmpty()) {
            note(Status::Bomb, {}, bombRatio);
            return 0;
        }
    }
    if (m_request.maxBodyBytes >= 0 && m_bodyBytes > m_request.maxBodyBytes) {
        note(Status::TooBig, {}, m_request.maxBodyBytes);
        return 0;
    }
    compact();
    m_buffer.append(data, qsizetype(size));
    if (m_defaults.rateLimit)
        throttle(m_defaults.rateLimit->take(qint64(size)));
    wake();
    return size;
}

void CurlTransfer::throttle(qint64 ms) {
    if (ms <= 0)
        return;
    m_throttled = true;
    m_throttle.start(int(qMin<qint64>(ms, std::numeric_limits<int>::max())));
}

QByteArray CurlTransfer::credentialsFor() const {
    if (m_defaults.credentialsForEachLink)
        return wireAddress(m_request.link);
    return m_defaults.credentialsFor.isEmpty() ? m_multi->firstAddress : m_defaults.credentialsFor;
}

// Drops the bytes already read. Runs only inside the next call on the transfer, so a view that
// nextChunk or nextPiece handed out stays valid until then.
void CurlTransfer::compact() {
    if (m_readFrom == 0)
        return;
    if (m_readFrom == m_buffer.size()) {
        m_buffer.resize(0); // keeps the allocation
        m_readFrom = 0;
    } else if (m_readFrom >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_readFrom);
        m_readFrom = 0;
    }
}

void CurlTransfer::setPaused(bool paused) {
    if (m_paused == paused)
        return;
    m_paused = paused;
    // Time spent waiting for the reader is no silence of the server.
    if (paused) {
        m_idle.stop();
        m_lowSpeed.stop();
    } else if (m_onWire) {
        startTimers();
    }
}

void CurlTransfer::resumeIfRoom() {
    if (!m_paused || !m_onWire || m_throttled || buffered() > CurlTransferFactory::bufferBytes / 2)
        return;
    setPaused(false);
    // May hand over the kept bytes at once, through takeBody.
    curl_easy_pause(m_easy, CURLPAUSE_CONT);
}

void CurlTransfer::ended(CURLcode code) {
    m_onWire = false;
    m_multi->remove(m_easy);
    if (m_ended)
        return;
    if (code == CURLE_OK && m_redirecting) {
        follow();
        return;
    }
    if (m_result.ok() && code != CURLE_OK)
        m_result = fromCurl(code);
    finish();
}

void CurlTransfer::follow() {
    const char* target = nullptr;
    curl_easy_getinfo(m_easy, CURLINFO_REDIRECT_URL, &target);
    const QByteArray next = target ? QByteArray(target) : header("Location");
    const QUrl to = QUrl::fromEncoded(next, QUrl::TolerantMode);
    const QString scheme = to.scheme().toLower();
    if (++m_redirects > maxRedirects)
        return fail(Status::TooManyRedirects, {}, maxRedirects);
    if (scheme != u"http" && scheme != u"https")
        return fail(Status::NotWebRedirect, QString::fromUtf8(next));
    if (scheme == u"http" && m_url.startsWith("https:"))
        return fail(Status::InsecureRedirect, QString::fromUtf8(next));
    m_url = next;
    begin();
}

void CurlTransfer::abort() {
    if (!m_ended)
        finish();
}

// The edge with libcurl: its code and state decide the status; where only its error text tells two
// failures apart under one code (a bad chunk under CURLE_RECV_ERROR, a bad length under
// CURLE_WEIRD_SERVER_REPLY), the text is read here, once, and never past this point.
Result CurlTransfer::fromCurl(CURLcode code) const {
    long tunnelCode = 0;
    curl_easy_getinfo(m_easy, CURLINFO_HTTP_CONNECTCODE, &tunnelCode);
    const QString words = QString::fromUtf8(m_error[0] ? m_error : curl_easy_strerror(code));
    const QString host = QUrl::fromEncoded(m_url, QUrl::TolerantMode).host();
    const QString proxy = QString::fromUtf8(m_proxy);
    switch (code) {
    case CURLE_PARTIAL_FILE:
        return {m_chunked ? Status::ChunkCut : Status::CutShort, words};
    case CURLE_RECV_ERROR:
        if (words.contains(QLatin1StringView("chunked-encoding")))
            return {Status::InvalidChunk, words};
        if (tunnelCode >= 300) // the proxy answered the tunnel request with a refusal
            return {Status::Proxy, QStringLiteral("%1 refused the connection (%2)").arg(proxy, words)};
        return {m_chunked ? Status::ChunkCut : Status::CutShort, words};
    case CURLE_WEIRD_SERVER_REPLY:
        if (words.contains(QLatin1StringView("Content-Length"), Qt::CaseInsensitive))
            return {Status::InvalidLength};
        return {Status::Failed, QStringLiteral("the server's answer is not valid HTTP (%1)").arg(words)};
    case CURLE_GOT_NOTHING:
        return {Status::NoAnswer};
    case CURLE_COULDNT_RESOLVE_PROXY:
        return {Status::Proxy, QStringLiteral("%1 could not be found (%2)").arg(proxy, words)};
    case CURLE_COULDNT_RESOLVE_HOST:
        return {Status::NameLookup, host};
    case CURLE_COULDNT_CONNECT:
        if (!m_proxy.isEmpty())
            return {Status::Proxy, QStringLiteral("%1 could not be reached (%2)").arg(proxy, words)};
        return {Status::Connect, words};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
        return {Status::Tls, words};
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return {Status::NotWebAddress, QString::fromUtf8(m_url)};
    case CURLE_BAD_CONTENT_ENCODING:
        return {Status::Failed, QStringLiteral("the compressed body could not be unpacked (%1)").arg(words)};
    default:
        return {Status::Failed, words};
    }
}

template <typename Done> void CurlTransfer::waitUntil(Done done) {
    while (!done() && !m_ended) {
        resumeIfRoom();
        if (done() || m_ended)
            break;
        QEventLoop loop;
        m_loop = &loop;
        loop.exec();
        if (m_loop == &loop)
            m_loop = nullptr;
    }
}

void CurlTransfer::waitForResponse() {
    waitUntil([this] { return m_headDone && !m_redirecting; });
}

QByteArray CurlTransfer::header(const QByteArray& name) const {
    // A transfer coding frames the body itself and overrides any length beside it.
    if (name.compare("Content-Length", Qt::CaseInsensitive) == 0 && m_chunked)
        return {};
    for (const auto& [key, value] : m_headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

QByteArrayView CurlTransfer::take(qint64 size) {
    if (m_result.status == Status::Cancelled)
        return {};
    const qsizetype count = qsizetype(qMin<qint64>(size, buffered()));
    const QByteArrayView bytes(m_buffer.constData() + m_readFrom, count);
    m_readFrom += count;
    // No resume here: the kept bytes it hands over could move these before the caller has them.
    return bytes;
}

QByteArrayView CurlTransfer::nextChunk(qint64 size) {
    if (size <= 0)
        return {};
    compact();
    resumeIfRoom();
    waitUntil([&] { return buffered() >= size; });
    return take(size);
}

QByteArrayView CurlTransfer::nextPiece(qint64 size) {
    if (size <= 0)
        return {};
    compact();
    resumeIfRoom();
    waitUntil([&] { return buffered() > 0; });
    return take(size);
}

void CurlTransfer::waitForEnd() {
    waitUntil([] { return false; });
}

// What the factory hands out: the transfer being read, and the expected ones sent ahead of it.
class EarlyStartingTransfer : public Transfer {
public:
    EarlyStartingTransfer(std::shared_ptr<CurlMulti> multi, CurlDefaults defaults)
        : m_multi(std::move(multi)), m_defaults(std::move(defaults)) {}

    bool start(const Request& request) override {
        const auto early = std::find_if(m_early.begin(), m_early.end(),
                                        [&](const auto& e) { return e->request() == request; });
        if (early != m_early.end()) {
            // Taken as it went, failure included: the server has seen the request, so sending it
            // again would be a try the caller did not ask for (and count).
            m_active = std::move(*early);
            m_early.erase(early);
            m_active->adopt();
            return true;
        }
        if (!m_active)
            m_active = std::make_unique<CurlTransfer>(m_multi, m_defaults);
        return m_active->start(request);
    }
    void expect(const QList<Request>& next) override {
        if (Cancellation::requested())
            return;
        const QList<Request> wanted = next.mid(0, CurlTransferFactory::maxEarly);
        std::erase_if(m_early, [&](const auto& e) { return !wanted.contains(e->request()); });
        for (const Request& request : wanted) {
            if (std::any_of(m_early.begin(), m_early.end(),
                            [&](const auto& e) { return e->request() == request; }))
                continue;
            auto transfer = std::make_unique<CurlTransfer>(m_multi, m_defaults);
            if (transfer->start(request))
                m_early.push_back(std::move(transfer));
        }
    }
    void waitForResponse() override { active().waitForResponse(); }
    QByteArray header(const QByteArray& name) const override { return active().header(name); }
    QByteArrayView nextChunk(qint64 size) override { return active().nextChunk(size); }
    QByteArrayView nextPiece(qint64 size) override { return active().nextPiece(size); }
    void waitForEnd() override { active().waitForEnd(); }
    void abort() override { active().abort(); }
    Result result() const override { return m_active ? m_active->result() : Result(Status::Failed); }
    int status() const override { return m_active ? m_active->status() : 0; }
    QByteArray finalAddress() const override { return m_active ? m_active->finalAddress() : QByteArray(); }

private:
    CurlTransfer& active() const {
        if (!m_active)
            m_active = std::make_unique<CurlTransfer>(m_multi, m_defaults);
        return *m_active;
    }

    std::shared_ptr<CurlMulti> m_multi;
    CurlDefaults m_defaults;
    mutable std::unique_ptr<CurlTransfer> m_active;
    std::vector<std::unique_ptr<CurlTransfer>> m_early;
};

CurlTransferFactory::CurlTransferFactory(QByteArray userAgent) : m_multi(std::make_shared<CurlMulti>()) {
    m_defaults.userAgent = std::move(userAgent);
}

CurlTransferFactory::CurlTransferFactory(CurlDefaults defaults)
    : m_multi(std::make_shared<CurlMulti>()), m_defaults(std::move(defaults)) {}

CurlTransferFactory::~CurlTransferFactory() = default;

CurlDefaults CurlTransferFactory::defaults() const {
    CurlDefaults defaults = m_defaults;
    if (defaults.credentialsFor.isEmpty() && !defaults.credentialsForEachLink)
        defaults.credentialsFor = m_multi->firstAddress;
    return defaults;
}

std::unique_ptr<Transfer> CurlTransferFactory::create() {
    return std::make_unique<EarlyStartingTransfer>(m_multi, m_defaults);
}

} // namespace net
