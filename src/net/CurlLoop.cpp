#include "net/CurlLoop.h"

#include "core/Cancellation.h"
#include "net/Retry.h"
#include "net/WebPolicy.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace net {

namespace {

// A compressed page that grows past this many times its wire size is refused once it is past
// bombFloorBytes: text compresses well, but not that well.
constexpr qint64 bombRatio = 1000;
constexpr qint64 bombFloorBytes = 1 << 20;
// Easy handles kept for the next transfers, so a thousand small images do not each pay for one.
constexpr std::size_t spareHandles = 32;
constexpr qint64 never = std::numeric_limits<qint64>::min() / 2;

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The answers that ask a client to slow down.
bool isRefusal(int status) {
    return status == 429 || status == 503;
}

bool allDigits(QByteArrayView text) {
    if (text.isEmpty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

int timerMs(qint64 ms) {
    return int(qBound(qint64(0), ms, qint64(std::numeric_limits<int>::max())));
}

} // namespace

QByteArray Response::header(QByteArrayView name) const {
    // A transfer coding frames the body itself and overrides any length beside it.
    if (chunked && name.compare("Content-Length", Qt::CaseInsensitive) == 0)
        return {};
    for (const auto& [key, value] : headers)
        if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

QString curlVersion() {
    return QString::fromLatin1(curl_version_info(CURLVERSION_NOW)->version);
}

namespace {

QByteArray hostKey(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    const int port = url.port(scheme == u"https" ? 443 : 80);
    return (scheme + QLatin1StringView("://") + url.host().toLower() + u':' + QString::number(port)).toUtf8();
}

} // namespace

QByteArray CurlLoop::hostOf(const QByteArray& link) {
    return hostKey(QUrl::fromEncoded(wireAddress(link.trimmed()), QUrl::TolerantMode));
}

namespace {

// One request from submit() to finished(): waiting for its turn, then on the wire hop by hop.
struct Job {
    Transfers::Id id = 0;
    void* owner = nullptr; // the loop's private side, for libcurl's callbacks
    Request request;
    TransferHandler* handler = nullptr;
    Purpose purpose = Purpose::Image;
    QByteArray host; // whose turn it took
    int idleMs = 30000;

    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    bool started = false; // counts as in flight
    bool onWire = false;  // in the multi handle
    bool cancelled = false;

    QByteArray url; // the current hop's, as sent
    QUrl target;    // the same, parsed once
    QByteArray proxy;
    QByteArray referer;
    int redirects = 0;
    int replays = 0;

    // The response now arriving; a redirect's is replaced by the next one's.
    Response response;
    bool answered = false; // a byte of this hop's answer arrived
    bool headDone = false;
    bool redirecting = false;
    bool discardBody = false;
    Result result; // a failure noted inside libcurl's callbacks, or the HTTP status

    qint64 bodyBytes = 0;
    // The idle and too-slow clocks, on the loop's clock; stopped while the bytes are held.
    qint64 heardBytes = 0;
    qint64 lastHeardMs = 0;
    qint64 windowStartMs = 0;
    qint64 heardAtWindow = 0;
    bool held = false;         // the handler said Later
    bool throttled = false;    // the run's rate limit is ahead
    bool pausedInCurl = false; // libcurl keeps bytes until told to go on
    bool yielded = false;      // ... because this turn of the event loop has had its share
    std::unique_ptr<QTimer> throttle;

    bool quiet() const { return held || throttled || pausedInCurl; }
};

} // namespace

class CurlLoop::Private {
public:
    struct Watch {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
    };
    struct HostState {
        int inFlight = 0;
        int cap = std::numeric_limits<int>::max();
        int refusals = 0; // consecutive 429 or 503 answers
        qint64 pausedUntilMs = never;
        QDateTime pausedUntil;
        int pauseStatus = 0;
        qint64 lastStartMs = never;
        bool multiplexed = false; // answered over HTTP/2 or later
    };

    explicit Private(CurlDefaults defaultsIn);
    ~Private();

    // libcurl's side.
    static int onSocket(CURL*, curl_socket_t socket, int what, void* self, void*);
    static int onTimer(CURLM*, long timeoutMs, void* self);
    static size_t onHeader(char* data, size_t size, size_t count, void* job);
    static size_t onBody(char* data, size_t size, size_t count, void* job);
    void watch(curl_socket_t socket, int what);
    void act(curl_socket_t socket, int flags);
    void drain();

    Job* find(Id id) const {
        const auto it = jobs.find(id);
        return it == jobs.end() ? nullptr : it->second.get();
    }
    void schedule();
    void start(Job& job, qint64 now);
    void configure(Job& job);
    void begin(Job& job);
    size_t takeHeader(Job& job, QByteArrayView raw);
    bool headComplete(Job& job);
    size_t takeBody(Job& job, const char* data, size_t size);
    void note(Job& job, Status status, const QString& detail = {}, qint64 number = 0) {
        if (job.result.ok())
            job.result = {status, detail, job.response.status, number};
    }
    void done(Job& job, CURLcode code);
    bool replayable(Job& job, CURLcode code) const;
    void follow(Job& job);
    void pauseHost(const QByteArray& host, int status, const QByteArray& retryAfter);
    Result fromCurl(const Job& job, CURLcode code) const;
    void detach(Job& job);
    // Takes the job out of the loop: off the wire, out of the queue, its turn given back.
    std::unique_ptr<Job> take(Id id);
    // The host now answering the job: after a redirect, perhaps another than the one whose turn
    // it took; without one, its own key, not parsed again.
    QByteArray answeringHost(const Job& job) const { return job.redirects > 0 ? hostOf(job.url) : job.host; }
    void finish(Id id, const Result& result);
    void drop(Id id);
    void cancelAll();
    void unpause(Job& job);
    void restartClocks(Job& job);
    void armWatchdog(int idleMs);
    void checkClocks();
    QByteArray credentialsFor(const Job& job) const;
    void recycle(CURL* easy);

    CurlDefaults defaults;
    QByteArray defaultAgent;
    QByteArray firstAddress;
    CURLM* multi = nullptr;
    QObject context;
    QTimer curlTimer;
    QTimer kick; // the queue's next chance: a pause or a gap over, or work left from a callback
    // libcurl reads a fast socket many times over within one call; past this many body bytes in
    // one turn of the event loop, a transfer waits for the next turn, so timers and the window
    // are never held up for long.
    static constexpr qint64 turnBytes = 1 << 20;
    qint64 turnTaken = 0;
    QTimer nextTurn;
    QTimer watchdog; // the earliest idle or too-slow deadline
    QHash<curl_socket_t, Watch*> watches;
    std::unordered_map<Id, std::unique_ptr<Job>> jobs;
    std::deque<Job*> queue;
    std::vector<CURL*> spare;
    QHash<QByteArray, HostState> hosts;
    std::function<void(const HostPause&)> pauseListener;
    QElapsedTimer clock;
    Id nextId = 1;
    int maxInFlight = 1;
    int imagesInFlight = 0;
    qint64 gapMs = 0;
    // Inside a libcurl call: nothing may be added to or removed from the multi handle, so what a
    // handler asks for meanwhile waits in these until the call returned.
    int depth = 0;
    std::vector<Id> toDrop;
    std::vector<Id> toResume;
    bool cancelPending = false;
    bool scheduling = false;
};

CurlLoop::Private::Private(CurlDefaults defaultsIn) : defaults(std::move(defaultsIn)) {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Q_UNUSED(initialised);
    defaultAgent =
        defaults.userAgent.isEmpty() ? QByteArrayLiteral("Varnolux/" VARNOLUX_VERSION) : defaults.userAgent;
    clock.start();
    multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &Private::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &Private::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, maxHostConnections);
    curlTimer.setSingleShot(true);
    QObject::connect(&curlTimer, &QTimer::timeout, &context, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    nextTurn.setSingleShot(true);
    QObject::connect(&nextTurn, &QTimer::timeout, &context, [this] {
        // One share for all of them: what one resumed transfer leaves, the next may take.
        turnTaken = 0;
        std::vector<Id> waiting;
        for (auto& [id, job] : jobs)
            if (job->yielded)
                waiting.push_back(id);
        for (const Id id : waiting)
            if (Job* job = find(id)) {
                job->yielded = false;
                unpause(*job);
            }
    });
    kick.setSingleShot(true);
    QObject::connect(&kick, &QTimer::timeout, &context, [this] {
        drain();
        schedule();
    });
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, &context, [this] { checkClocks(); });
    // Through the context object, so a loop on another thread hears the request in its own.
    QObject::connect(&Cancellation::instance(), &Cancellation::cancelled, &context, [this] { cancelAll(); });
}

CurlLoop::Private::~Private() {
    for (auto& [id, job] : jobs) {
        if (job->onWire)
            curl_multi_remove_handle(multi, job->easy);
        if (job->easy)
            curl_easy_cleanup(job->easy);
        curl_slist_free_all(job->headerList);
    }
    jobs.clear();
    // Closing its connections, the cleanup may still ask to stop watching their sockets.
    qDeleteAll(watches);
    watches.clear();
    curl_multi_cleanup(multi);
    for (CURL* easy : spare)
        curl_easy_cleanup(easy);
    curlTimer.stop();
}

int CurlLoop::Private::onSocket(CURL*, curl_socket_t socket, int what, void* self, void*) {
    static_cast<Private*>(self)->watch(socket, what);
    return 0;
}

int CurlLoop::Private::onTimer(CURLM*, long timeoutMs, void* self) {
    auto* loop = static_cast<Private*>(self);
    if (timeoutMs < 0)
        loop->curlTimer.stop();
    else
        loop->curlTimer.start(int(qMin<long>(timeoutMs, std::numeric_limits<int>::max())));
    return 0;
}

void CurlLoop::Private::watch(curl_socket_t socket, int what) {
    if (what == CURL_POLL_REMOVE) {
        if (Watch* watch = watches.take(socket)) {
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
    Watch*& watch = watches[socket];
    if (!watch)
        watch = new Watch;
    auto ensure = [&](std::unique_ptr<QSocketNotifier>& notifier, QSocketNotifier::Type type, int flag) {
        if (!notifier) {
            notifier = std::make_unique<QSocketNotifier>(qintptr(socket), type);
            QObject::connect(notifier.get(), &QSocketNotifier::activated, &context,
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

void CurlLoop::Private::act(curl_socket_t socket, int flags) {
    int running = 0;
    if (depth == 0)
        turnTaken = 0;
    ++depth;
    curl_multi_socket_action(multi, socket, flags, &running);
    --depth;
    drain();
    schedule();
}

// What libcurl finished, then what handlers asked for while libcurl was busy.
void CurlLoop::Private::drain() {
    if (depth > 0)
        return;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        Job* job = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &job);
        const CURLcode code = message->data.result;
        if (job)
            done(*job, code);
    }
    while (!toDrop.empty() || !toResume.empty() || cancelPending) {
        if (cancelPending) {
            cancelPending = false;
            cancelAll();
        }
        for (const Id id : std::exchange(toDrop, {}))
            drop(id);
        for (const Id id : std::exchange(toResume, {}))
            if (Job* job = find(id)) {
                job->held = false;
                unpause(*job);
            }
    }
}

void CurlLoop::Private::schedule() {
    if (depth > 0) {
        kick.start(0);
        return;
    }
    if (scheduling)
        return;
    scheduling = true;
    const qint64 now = clock.elapsed();
    qint64 wake = std::numeric_limits<qint64>::max();
    for (auto it = queue.begin(); it != queue.end();) {
        Job& job = **it;
        if (job.purpose == Purpose::Image && imagesInFlight >= maxInFlight) {
            ++it;
            continue;
        }
        HostState& host = hosts[job.host];
        if (host.pausedUntilMs > now) {
            wake = qMin(wake, host.pausedUntilMs);
            ++it;
            continue;
        }
        // Without multiplexing, no more than libcurl's connections to the host: a request kept
        // waiting inside libcurl for one would run down its idle time.
        if (host.inFlight >= (host.multiplexed ? host.cap : qMin(host.cap, int(maxHostConnections)))) {
            ++it;
            continue;
        }
        if (gapMs > 0 && host.lastStartMs != never && now - host.lastStartMs < gapMs) {
            wake = qMin(wake, host.lastStartMs + gapMs);
            ++it;
            continue;
        }
        it = queue.erase(it);
        start(job, now);
    }
    scheduling = false;
    if (wake != std::numeric_limits<qint64>::max() &&
        !(kick.isActive() && kick.remainingTime() <= wake - now))
        kick.start(timerMs(wake - now));
}

void CurlLoop::Private::start(Job& job, qint64 now) {
    HostState& host = hosts[job.host];
    ++host.inFlight;
    host.lastStartMs = now;
    if (job.purpose == Purpose::Image)
        ++imagesInFlight;
    job.started = true;
    if (!spare.empty()) {
        job.easy = spare.back();
        spare.pop_back();
    } else {
        job.easy = curl_easy_init();
    }
    configure(job);
    begin(job);
}

void CurlLoop::Private::configure(Job& job) {
    CURL* easy = job.easy;
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &job);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, job.error);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed here, one by one, so each target is checked before it is asked for.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    // Under a rate limit the bytes are taken in smaller reads, so the pauses between them stay
    // short and even.
    const qint64 rate = defaults.rateLimit ? defaults.rateLimit->bytesPerSecond() : 0;
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE,
                     long(rate > 0 ? qBound(qint64(1024), rate / 8, qint64(256 * 1024)) : 256 * 1024));
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Private::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &job);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Private::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &job);
    // A proxy's answer to CONNECT is not the server's response.
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT,
                     (job.request.userAgent.isEmpty() ? defaultAgent : job.request.userAgent).constData());
    if (job.request.identityEncoding) {
        curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    } else {
        // Every coding this libcurl decodes: gzip, deflate, br, zstd as built.
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    }
    // Read for every request and never written back: no cookie jar is set.
    if (!defaults.cookieFile.isEmpty())
        curl_easy_setopt(easy, CURLOPT_COOKIEFILE, defaults.cookieFile.constData());
    // libcurl reads neither of these itself.
    static const QByteArray caFile = qgetenv("SSL_CERT_FILE");
    static const QByteArray caDir = qgetenv("SSL_CERT_DIR");
    if (!caFile.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());
    if (!caDir.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAPATH, caDir.constData());
}

QByteArray CurlLoop::Private::credentialsFor(const Job& job) const {
    if (defaults.credentialsForEachLink)
        return wireAddress(job.request.link);
    return defaults.credentialsFor.isEmpty() ? firstAddress : defaults.credentialsFor;
}

// Puts the job's current address on the wire with a fresh response state.
void CurlLoop::Private::begin(Job& job) {
    job.response = Response();
    job.answered = false;
    job.headDone = false;
    job.redirecting = false;
    job.discardBody = false;
    job.error[0] = 0;
    const QUrl& url = job.target;
    // Chosen here rather than by libcurl, so a failure can name the proxy it went through.
    job.proxy = proxyFor(url.scheme().toLatin1(), url.host().toUtf8());
    curl_easy_setopt(job.easy, CURLOPT_PROXY, job.proxy.constData());
    // Each request on the way, a redirect's too, gets what its own target may see: the Referer
    // by the policy, credentials only on the origin they were given for.
    job.referer = refererFor(job.request.referer, url);
    curl_easy_setopt(job.easy, CURLOPT_REFERER, job.referer.isEmpty() ? nullptr : job.referer.constData());
    curl_slist* headers = nullptr;
    if (job.request.identityEncoding)
        headers = curl_slist_append(headers, "Accept-Encoding: identity");
    const QByteArray origin = credentialsFor(job);
    for (const QList<QByteArray>* lines : {&defaults.headers, &job.request.headers})
        for (const QByteArray& line : headersFor(*lines, origin, job.url))
            headers = curl_slist_append(headers, line.constData());
    curl_easy_setopt(job.easy, CURLOPT_HTTPHEADER, headers);
    curl_slist_free_all(job.headerList);
    job.headerList = headers;
    curl_easy_setopt(job.easy, CURLOPT_URL, job.url.constData());
    // Over TLS, a new stream on the connection being made (HTTP/2 may be agreed on) rather than a
    // connection of its own. Plain http stays HTTP/1.1, where waiting would only hold requests
    // back until the first answer.
    curl_easy_setopt(job.easy, CURLOPT_PIPEWAIT,
                     long(url.scheme().compare(u"https", Qt::CaseInsensitive) == 0));
    job.onWire = true;
    job.held = false;
    job.throttled = false;
    job.pausedInCurl = false;
    if (job.throttle)
        job.throttle->stop();
    restartClocks(job);
    curl_multi_add_handle(multi, job.easy);
}

void CurlLoop::Private::restartClocks(Job& job) {
    const qint64 now = clock.elapsed();
    job.lastHeardMs = now;
    job.windowStartMs = now;
    job.heardAtWindow = job.heardBytes;
    armWatchdog(job.idleMs);
}

void CurlLoop::Private::armWatchdog(int idleMs) {
    // Every deadline is at least idleMs away: a timer due sooner already covers this one.
    if (!watchdog.isActive() || watchdog.remainingTime() > idleMs)
        watchdog.start(idleMs);
}

// The idle and too-slow rules: a transfer that heard nothing for its idle time, or fewer than
// lowSpeedBytes within twice that, fails. Time its bytes were held does not count.
void CurlLoop::Private::checkClocks() {
    const qint64 now = clock.elapsed();
    qint64 next = std::numeric_limits<qint64>::max();
    std::vector<std::pair<Id, Status>> failing;
    for (auto& [id, owned] : jobs) {
        Job& job = *owned;
        if (!job.onWire || job.cancelled)
            continue;
        if (job.quiet())
            continue;
        if (now - job.lastHeardMs >= job.idleMs) {
            failing.emplace_back(id, Status::Idle);
            continue;
        }
        if (now - job.windowStartMs >= 2 * qint64(job.idleMs)) {
            if (job.heardBytes - job.heardAtWindow < lowSpeedBytes) {
                failing.emplace_back(id, Status::TooSlow);
                continue;
            }
            job.windowStartMs = now;
            job.heardAtWindow = job.heardBytes;
        }
        next = qMin(next, qMin(job.lastHeardMs + job.idleMs, job.windowStartMs + 2 * qint64(job.idleMs)));
    }
    if (next != std::numeric_limits<qint64>::max())
        watchdog.start(timerMs(qMax<qint64>(next - now, 1)));
    for (const auto& [id, status] : failing)
        finish(id, Result(status));
}

size_t CurlLoop::Private::onHeader(char* data, size_t size, size_t count, void* self) {
    Job& job = *static_cast<Job*>(self);
    if (job.cancelled)
        return 0;
    return static_cast<Private*>(job.owner)->takeHeader(job, QByteArrayView(data, qsizetype(size * count)));
}

size_t CurlLoop::Private::takeHeader(Job& job, QByteArrayView raw) {
    job.answered = true;
    job.heardBytes += raw.size();
    job.lastHeardMs = clock.elapsed();
    QByteArrayView line = raw;
    while (!line.isEmpty() && (line.back() == '\n' || line.back() == '\r'))
        line.chop(1);
    Response& response = job.response;
    if (line.startsWith("HTTP/")) {
        // A new response: an interim one, a redirect's, or the final one.
        if (line.startsWith("HTTP/2") || line.startsWith("HTTP/3")) {
            HostState& host = hosts[answeringHost(job)];
            if (!host.multiplexed) {
                host.multiplexed = true;
                schedule(); // more of its requests may go now, once libcurl returned
            }
        }
        response.headers.clear();
        job.headDone = false;
        const QList<QByteArray> parts = line.toByteArray().split(' ');
        response.status = parts.size() > 1 ? parts[1].toInt() : 0;
        const qsizetype phraseAt = line.indexOf(' ', line.indexOf(' ') + 1);
        response.phrase = phraseAt > 0 ? line.sliced(phraseAt + 1).toByteArray().trimmed() : QByteArray();
        return raw.size();
    }
    if (!line.isEmpty()) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            response.headers.append(
                {line.first(colon).toByteArray().trimmed(), line.sliced(colon + 1).toByteArray().trimmed()});
        return raw.size();
    }
    if (response.status >= 100 && response.status < 200)
        return raw.size();
    return headComplete(job) ? raw.size() : 0;
}

// The blank line after a response's headers. False fails the transfer.
bool CurlLoop::Private::headComplete(Job& job) {
    Response& response = job.response;
    if (isRedirect(response.status) && !response.header("Location").isEmpty()) {
        job.redirecting = true;
        job.discardBody = true;
        return true;
    }
    response.chunked = response.header("Transfer-Encoding").toLower().contains("chunked");
    // Every Content-Length must name one and the same length within 63 bits; anything else
    // leaves no way to know where the body ends.
    QByteArray length;
    for (const auto& [name, value] : std::as_const(response.headers)) {
        if (name.compare("Content-Length", Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray& piece : value.split(',')) {
            const QByteArray one = piece.trimmed();
            bool fits = false;
            one.toLongLong(&fits);
            if (!allDigits(one) || !fits) {
                note(job, Status::InvalidLength, QString::fromLatin1(one));
                return false;
            }
            if (!length.isEmpty() && one.toLongLong() != length.toLongLong()) {
                note(job, Status::TwoLengths);
                return false;
            }
            length = one;
        }
    }
    job.headDone = true;
    response.finalAddress = job.url;
    const QByteArray answering = answeringHost(job);
    if (isRefusal(response.status))
        pauseHost(answering, response.status, response.header("Retry-After"));
    else
        hosts[answering].refusals = 0;
    if (response.status < 200 || response.status > 299) {
        job.result = {Status::HttpStatus, QString::fromLatin1(response.phrase), response.status};
        job.discardBody = true;
    }
    if (job.handler)
        job.handler->head(response);
    // The handler may have cancelled the transfer.
    return !job.cancelled;
}

// A host that said 429 or 503: every request to it waits, and after a 429 fewer go at once.
void CurlLoop::Private::pauseHost(const QByteArray& hostName, int status, const QByteArray& retryAfter) {
    HostState& host = hosts[hostName];
    ++host.refusals;
    const std::optional<qint64> asked = retry::retryAfterMs(retryAfter, QDateTime::currentDateTimeUtc());
    const qint64 ms =
        asked ? qMin(*asked, retry::maxRetryAfterSeconds * retry::unitMs()) : retry::backoffMs(host.refusals);
    if (status == 429)
        host.cap = qMax(1, qMin(host.cap, host.inFlight) / 2);
    const qint64 until = clock.elapsed() + ms;
    if (until > host.pausedUntilMs) {
        host.pausedUntilMs = until;
        host.pausedUntil = QDateTime::currentDateTimeUtc().addMSecs(ms);
        host.pauseStatus = status;
    }
    if (pauseListener)
        pauseListener(HostPause{hostName, host.pausedUntil, host.pauseStatus});
}

size_t CurlLoop::Private::onBody(char* data, size_t size, size_t count, void* self) {
    Job& job = *static_cast<Job*>(self);
    if (job.cancelled)
        return 0;
    return static_cast<Private*>(job.owner)->takeBody(job, data, size * count);
}

size_t CurlLoop::Private::takeBody(Job& job, const char* data, size_t size) {
    job.answered = true;
    if (job.discardBody)
        return size;
    // The handler is behind, or the run is ahead of its rate: libcurl keeps these bytes and hands
    // them over again once resumed.
    if (job.held || job.throttled || job.yielded) {
        job.pausedInCurl = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    // Not a body libcurl decompresses: this libcurl may drop the rest of the compressed input
    // when its reader pauses in the middle of it.
    if (turnTaken >= turnBytes &&
        (job.request.identityEncoding || job.response.header("Content-Encoding").isEmpty())) {
        job.yielded = true;
        job.pausedInCurl = true;
        nextTurn.start(0);
        return CURL_WRITEFUNC_PAUSE;
    }
    const qint64 total = job.bodyBytes + qint64(size);
    if (!job.request.identityEncoding && total > bombFloorBytes) {
        curl_off_t wire = 0;
        curl_easy_getinfo(job.easy, CURLINFO_SIZE_DOWNLOAD_T, &wire);
        if (total > bombRatio * qMax<qint64>(wire, 1) && !job.response.header("Content-Encoding").isEmpty()) {
            note(job, Status::Bomb, {}, bombRatio);
            return 0;
        }
    }
    if (job.request.maxBodyBytes >= 0 && total > job.request.maxBodyBytes) {
        note(job, Status::TooBig, {}, job.request.maxBodyBytes);
        return 0;
    }
    const TransferHandler::Take take =
        job.handler ? job.handler->body(QByteArrayView(data, qsizetype(size))) : TransferHandler::Take::Taken;
    if (job.cancelled)
        return 0;
    if (take == TransferHandler::Take::Later) {
        job.held = true;
        job.pausedInCurl = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    job.bodyBytes = total;
    turnTaken += qint64(size);
    job.heardBytes += qint64(size);
    job.lastHeardMs = clock.elapsed();
    if (defaults.rateLimit) {
        const qint64 ms = defaults.rateLimit->take(qint64(size));
        if (ms > 0) {
            job.throttled = true;
            if (!job.throttle) {
                job.throttle = std::make_unique<QTimer>();
                job.throttle->setSingleShot(true);
                const Id id = job.id;
                QObject::connect(job.throttle.get(), &QTimer::timeout, &context, [this, id] {
                    if (Job* throttled = find(id)) {
                        throttled->throttled = false;
                        unpause(*throttled);
                    }
                });
            }
            job.throttle->start(timerMs(ms));
        }
    }
    return size;
}

// Lets libcurl hand over the bytes it kept, once neither the handler nor the rate limit holds them.
void CurlLoop::Private::unpause(Job& job) {
    if (!job.pausedInCurl || job.held || job.throttled || job.yielded || !job.onWire || job.cancelled)
        return;
    if (depth > 0) {
        toResume.push_back(job.id);
        kick.start(0);
        return;
    }
    job.pausedInCurl = false;
    restartClocks(job);
    // May hand the kept bytes over at once, through takeBody and so the handler.
    ++depth;
    curl_easy_pause(job.easy, CURLPAUSE_CONT);
    --depth;
    drain();
    schedule();
}

// What a failed hop means: a connection that went away under a request it had not begun to answer
// (a GOAWAY, a refused stream, a reused connection the server had closed) is no fault of the
// request, which goes out again; anything else is the transfer's end.
bool CurlLoop::Private::replayable(Job& job, CURLcode code) const {
    if (job.answered || job.replays >= maxReplays || Cancellation::requested())
        return false;
    switch (code) {
    case CURLE_HTTP2:
        return true;
    case CURLE_HTTP2_STREAM:
        return QByteArrayView(job.error).contains("REFUSED_STREAM");
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING: {
        long made = 0;
        curl_easy_getinfo(job.easy, CURLINFO_NUM_CONNECTS, &made);
        return made == 0;
    }
    default:
        return false;
    }
}

void CurlLoop::Private::done(Job& job, CURLcode code) {
    if (job.cancelled) {
        drop(job.id);
        return;
    }
    job.onWire = false;
    curl_multi_remove_handle(multi, job.easy);
    if (!job.result.ok())
        return finish(job.id, job.result);
    if (code == CURLE_OK && job.redirecting)
        return follow(job);
    if (code != CURLE_OK && replayable(job, code)) {
        ++job.replays;
        // The first time libcurl picks a sound connection itself; after that, a fresh one.
        curl_easy_setopt(job.easy, CURLOPT_FRESH_CONNECT, long(job.replays > 1));
        begin(job);
        return;
    }
    finish(job.id, code == CURLE_OK ? Result() : fromCurl(job, code));
}

void CurlLoop::Private::follow(Job& job) {
    const char* target = nullptr;
    curl_easy_getinfo(job.easy, CURLINFO_REDIRECT_URL, &target);
    const QByteArray next = target ? QByteArray(target) : job.response.header("Location");
    const QUrl to = QUrl::fromEncoded(next, QUrl::TolerantMode);
    const QString scheme = to.scheme().toLower();
    if (++job.redirects > maxRedirects)
        return finish(job.id, Result(Status::TooManyRedirects, {}, 0, maxRedirects));
    if (scheme != u"http" && scheme != u"https")
        return finish(job.id, Result(Status::NotWebRedirect, QString::fromUtf8(next)));
    if (scheme == u"http" && job.url.startsWith("https:"))
        return finish(job.id, Result(Status::InsecureRedirect, QString::fromUtf8(next)));
    if (job.handler && !job.handler->redirectAllowed(next))
        return finish(job.id, Result(Status::RefusedRedirect, QString::fromUtf8(next)));
    job.url = next;
    job.target = to;
    job.replays = 0;
    curl_easy_setopt(job.easy, CURLOPT_FRESH_CONNECT, 0L);
    begin(job);
}

// The edge with libcurl: its code and state decide the status; where only its error text tells two
// failures apart under one code (a bad chunk under CURLE_RECV_ERROR, a bad length under
// CURLE_WEIRD_SERVER_REPLY), the text is read here, once, and never past this point.
Result CurlLoop::Private::fromCurl(const Job& job, CURLcode code) const {
    long tunnelCode = 0;
    curl_easy_getinfo(job.easy, CURLINFO_HTTP_CONNECTCODE, &tunnelCode);
    const QString words = QString::fromUtf8(job.error[0] ? job.error : curl_easy_strerror(code));
    const QString host = QUrl::fromEncoded(job.url, QUrl::TolerantMode).host();
    const QString proxy = QString::fromUtf8(job.proxy);
    const bool chunked = job.response.chunked;
    switch (code) {
    case CURLE_PARTIAL_FILE:
        return {chunked ? Status::ChunkCut : Status::CutShort, words};
    case CURLE_RECV_ERROR:
        if (words.contains(QLatin1StringView("chunked-encoding")))
            return {Status::InvalidChunk, words};
        if (tunnelCode >= 300) // the proxy answered the tunnel request with a refusal
            return {Status::Proxy, QStringLiteral("%1 refused the connection (%2)").arg(proxy, words)};
        return {chunked ? Status::ChunkCut : Status::CutShort, words};
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
        if (!job.proxy.isEmpty())
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
        return {Status::NotWebAddress, QString::fromUtf8(job.url)};
    case CURLE_BAD_CONTENT_ENCODING:
        return {Status::Failed, QStringLiteral("the compressed body could not be unpacked (%1)").arg(words)};
    default:
        return {Status::Failed, words};
    }
}

void CurlLoop::Private::recycle(CURL* easy) {
    if (!easy)
        return;
    // libcurl keeps the names of cookie files it has not read yet past a reset and loses them
    // there: a handle that was given one is not reused.
    if (spare.size() < spareHandles && defaults.cookieFile.isEmpty()) {
        curl_easy_reset(easy);
        spare.push_back(easy);
    } else {
        curl_easy_cleanup(easy);
    }
}

// Takes the job off the wire and out of the queue, and gives its turn back. Only outside libcurl.
void CurlLoop::Private::detach(Job& job) {
    if (job.onWire) {
        job.onWire = false;
        curl_multi_remove_handle(multi, job.easy);
    }
    recycle(std::exchange(job.easy, nullptr));
    curl_slist_free_all(std::exchange(job.headerList, nullptr));
    if (job.throttle)
        job.throttle->stop();
    if (job.started) {
        job.started = false;
        --hosts[job.host].inFlight;
        if (job.purpose == Purpose::Image)
            --imagesInFlight;
    } else {
        std::erase(queue, &job);
    }
}

std::unique_ptr<Job> CurlLoop::Private::take(Id id) {
    const auto it = jobs.find(id);
    if (it == jobs.end())
        return nullptr;
    std::unique_ptr<Job> job = std::move(it->second);
    jobs.erase(it);
    detach(*job);
    return job;
}

void CurlLoop::Private::finish(Id id, const Result& result) {
    const std::unique_ptr<Job> job = take(id);
    if (!job)
        return;
    // Last, so the handler may submit, cancel or resume anything, itself included.
    if (job->handler && !job->cancelled)
        job->handler->finished(result);
    schedule();
}

void CurlLoop::Private::drop(Id id) {
    if (take(id))
        schedule();
}

void CurlLoop::Private::cancelAll() {
    if (depth > 0) {
        cancelPending = true;
        kick.start(0);
        return;
    }
    std::vector<Id> ids;
    ids.reserve(jobs.size());
    for (const auto& [id, job] : jobs)
        ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    for (const Id id : ids)
        finish(id, Result(Status::Cancelled));
}

CurlLoop::CurlLoop(CurlDefaults defaults) : d(std::make_unique<Private>(std::move(defaults))) {}

CurlLoop::~CurlLoop() = default;

Transfers::Id CurlLoop::submit(const Request& request, TransferHandler& handler, Purpose purpose) {
    const QByteArray url = wireAddress(request.link);
    const QUrl parsed = QUrl::fromEncoded(url, QUrl::TolerantMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || parsed.host().isEmpty() || (scheme != u"http" && scheme != u"https")) {
        handler.finished(Result(Status::NotWebAddress, QString::fromUtf8(request.link)));
        return 0;
    }
    if (d->firstAddress.isEmpty())
        d->firstAddress = url;
    if (Cancellation::requested()) {
        handler.finished(Result(Status::Cancelled));
        return 0;
    }
    auto job = std::make_unique<Job>();
    job->id = d->nextId++;
    job->owner = d.get();
    job->request = request;
    job->handler = &handler;
    job->purpose = purpose;
    job->url = url;
    job->target = parsed;
    // A wire address is its own wire address, trimmed: the key is the one hostOf() gives.
    job->host = hostKey(parsed);
    job->idleMs = idleTimeoutMs();
    const Id id = job->id;
    d->queue.push_back(job.get());
    d->jobs.emplace(id, std::move(job));
    d->schedule();
    return id;
}

void CurlLoop::resume(Id id) {
    Job* job = d->find(id);
    if (!job)
        return;
    if (d->depth > 0) {
        // Asked from inside a handler's report: the Later it is about to return comes first.
        d->toResume.push_back(id);
        d->kick.start(0);
        return;
    }
    job->held = false;
    d->unpause(*job);
}

void CurlLoop::cancel(Id id) {
    Job* job = d->find(id);
    if (!job || job->cancelled)
        return;
    job->cancelled = true;
    job->handler = nullptr;
    if (d->depth > 0) {
        // libcurl may be inside this very transfer: it leaves the multi handle once libcurl returned.
        d->toDrop.push_back(id);
        d->kick.start(0);
        return;
    }
    d->drop(id);
}

void CurlLoop::setMaxInFlight(int count) {
    d->maxInFlight = qMax(1, count);
    d->schedule();
}

void CurlLoop::setPauseListener(std::function<void(const HostPause&)> listener) {
    d->pauseListener = std::move(listener);
}

QList<HostPause> CurlLoop::pausedHosts() const {
    QList<HostPause> paused;
    const qint64 now = d->clock.elapsed();
    for (auto it = d->hosts.cbegin(); it != d->hosts.cend(); ++it)
        if (it->pausedUntilMs > now)
            paused.append(HostPause{it.key(), it->pausedUntil, it->pauseStatus});
    return paused;
}

void CurlLoop::setHostGapMs(qint64 ms) {
    d->gapMs = qMax<qint64>(0, ms);
    d->schedule();
}

CurlDefaults CurlLoop::defaults() const {
    CurlDefaults defaults = d->defaults;
    if (defaults.credentialsFor.isEmpty() && !defaults.credentialsForEachLink)
        defaults.credentialsFor = d->firstAddress;
    return defaults;
}

} // namespace net
