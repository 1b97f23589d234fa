#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QUrl>

#include <functional>
#include <optional>
#include <utility>

class QTcpServer;
class TestCertificate;

// A scriptable HTTP/1.1 server on 127.0.0.1 for network tests. It runs on the calling thread's
// event loop, so it keeps answering while the code under test waits in a nested QEventLoop.
// Each route maps a raw request path (the bytes after the method, as sent, query included) to
// a Behaviour: a well-formed answer, a lying one, a slow one or a broken one.
//
//     TestServer server;
//     server.route("/page", serve::ok("<img src=a.png>"));
//     server.route("/a.png", serve::generated(100000).chunked({1000}));
//     ... run the code under test against server.url("/page") ...
//     QCOMPARE(server.requests().at(1).header("Accept-Encoding"), "identity");
//
// Requests on one connection are answered in turn (keep-alive and pipelining work); a HEAD
// request gets the head alone. Unknown paths get a 404 unless setFallback() says otherwise.
// For HTTPS call useTls() with a TestCertificate before the first request.

using HeaderList = QList<std::pair<QByteArray, QByteArray>>;

// One request as it arrived.
struct RecordedRequest {
    QByteArray method;
    QByteArray path; // the request target exactly as sent on the wire
    QByteArray version;
    HeaderList headers; // in arrival order, names as sent
    QByteArray body;    // only bodies framed by Content-Length are read
    int connection = 0; // 1 for the first connection the server accepted, 2 for the next, ...

    // The first header of that name (any case), or a null array.
    QByteArray header(const QByteArray& name) const;
    // The cookies its Cookie header names, trimmed and sorted, for comparing regardless of order.
    QByteArrayList cookies() const;
};

// The requests for path that varnolux made itself (its own User-Agent), not a browser it drove.
QList<RecordedRequest> ourRequests(const QList<RecordedRequest>& requests, const QByteArray& path);

// What the server does with one request. Made by the serve:: functions below and adjusted
// with the chainable modifiers; every field may also be set directly.
struct Behaviour {
    enum class Framing {
        ContentLength,  // "Content-Length: <declaredLength or body size>"
        CloseDelimited, // no length; the body ends when the server closes
        Chunked,        // "Transfer-Encoding: chunked" with chunkSizes
        None,           // no framing header added (raw header blocks say their own)
    };
    enum class End {
        Auto,      // keep-alive when the body is self-delimiting and fully sent, else close
        KeepAlive, // read the next request on the same connection
        Close,     // flush, then close normally (FIN)
        Reset,     // flush, then abort with a TCP reset (RST)
        Stall,     // keep the connection open and never answer again
    };

    int status = 200;
    QByteArray reason = "OK";
    HeaderList headers;
    QByteArray body;
    // When >= 0 the body is this many bytes of the pattern, made piece by piece while sending,
    // so even gigabytes never sit in memory. See generatedBytes().
    qint64 generatedSize = -1;
    QByteArray pattern;
    Framing framing = Framing::ContentLength;
    // Announced length; unset means the real body size. A larger value makes a lying server.
    std::optional<qint64> declaredLength;
    // Chunk sizes used in turn, the last one repeated; empty means the whole body as one chunk.
    QList<qint64> chunkSizes;
    // Header lines written verbatim between the status line and the blank line that ends the
    // head, instead of headers and the framing header. Include each line's "\r\n".
    std::optional<QByteArray> rawHeaderBlock;
    // The whole response written verbatim; every other field but end is ignored.
    std::optional<QByteArray> rawResponse;
    // Nothing at all is written when false (the server accepts and stays silent).
    bool sendHead = true;
    // How many bytes after the head to send at most (body bytes as on the wire, so chunk size
    // lines count); -1 sends everything.
    qint64 sendLimit = -1;
    // When > 0, the bytes after the head go out one at a time, one every trickleMs.
    int trickleMs = 0;
    // When > 0, the answer starts this long after the request arrived.
    int delayMs = 0;
    // When >= 0, the first pauseAfter bytes after the head go out at once, the rest pauseMs later.
    qint64 pauseAfter = -1;
    int pauseMs = 0;
    End end = End::Auto;

    // Chainable modifiers, each returning a changed copy.
    Behaviour withHeader(const QByteArray& name, const QByteArray& value) const;
    Behaviour withoutLength() const;
    Behaviour chunked(const QList<qint64>& sizes = {}) const;
    Behaviour withDeclaredLength(qint64 length) const;
    Behaviour sendingOnly(qint64 bytesAfterHead) const;
    Behaviour trickled(int intervalMs) const;
    Behaviour thenEnd(End end) const;
    Behaviour delayed(int ms) const;
    Behaviour pausedAfter(qint64 bytesAfterHead, int ms) const;

    // The body's size in bytes, explicit or generated.
    qint64 bodySize() const;
};

// The bytes [offset, offset + length) of a generated body. With an empty pattern the body is a
// run of 16-byte lines, each the line's own offset in 15 hex digits plus "\n", so a lost,
// doubled or shifted piece shows in the bytes; otherwise the pattern repeats.
QByteArray generatedBytes(qint64 offset, qint64 length, const QByteArray& pattern = {});

namespace serve {

using End = Behaviour::End;

// A complete answer with a correct Content-Length.
Behaviour ok(const QByteArray& body, const QByteArray& contentType = "text/html");
Behaviour response(int status, const QByteArray& reason, const HeaderList& headers = {},
                   const QByteArray& body = {});
// A body of size bytes made on the fly (see generatedBytes()).
Behaviour generated(qint64 size, const QByteArray& contentType = "application/octet-stream",
                    const QByteArray& pattern = {});
// 301, 302, 303, 307 or 308 to location, written as given (any scheme, relative or absolute).
Behaviour redirect(const QByteArray& location, int status = 302);
// Status line, then headerLines verbatim, then "\r\n" and body; closes afterwards unless told.
Behaviour rawHeaders(const QByteArray& headerLines, const QByteArray& body = {}, int status = 200,
                     End end = End::Close);
// Exactly these bytes, then close (or KeepAlive / Stall / Reset).
Behaviour raw(const QByteArray& bytes, End end = End::Close);
// Promises promised bytes of generated body, sends only sent of them, then closes.
Behaviour cutShort(qint64 promised, qint64 sent);
// Promises length bytes of generated body, sends sentBeforeReset of them, then resets.
Behaviour reset(qint64 length, qint64 sentBeforeReset);
// Accepts the request and never writes a byte.
Behaviour stall();
// Sends a 200 head promising promised bytes, then nothing more.
Behaviour headersThenStall(qint64 promised = 1000);
// A complete answer whose body arrives one byte every intervalMs.
Behaviour trickle(const QByteArray& body, int intervalMs);
// Answers in turn: the first request gets the first, the next the second, ...; the last one
// is repeated. Each is made from the request, so it may look at its Range or Cookie header.
std::function<Behaviour(const RecordedRequest&)>
inTurn(QList<std::function<Behaviour(const RecordedRequest&)>> answers);
// A generated body of size bytes that takes ranges: "Accept-Ranges: bytes" and the validators
// given (an empty one is not sent); a "Range: bytes=N-" request gets a 206 with the rest.
Behaviour ranged(const RecordedRequest& request, qint64 size, const QByteArray& etag,
                 const QByteArray& lastModified = {});

} // namespace serve

class TestServer : public QObject {
    Q_OBJECT
public:
    // Starts listening on a free port of 127.0.0.1 right away; plain HTTP until useTls().
    explicit TestServer(QObject* parent = nullptr);
    // The same on another loopback address, such as "127.0.0.2" for a second host; isListening()
    // says whether the machine has it.
    explicit TestServer(const QByteArray& host, QObject* parent = nullptr);
    ~TestServer() override;

    // Serves HTTPS from now on with the certificate's server certificate and key.
    void useTls(const TestCertificate& certificate);

    bool isListening() const;
    quint16 port() const;
    // "http://127.0.0.1:<port>" (or the host given) or "https://..."; path bytes appended as given.
    QByteArray base() const;
    QByteArray address(const QByteArray& rawPath) const { return base() + rawPath; }
    QUrl url(const QByteArray& rawPath) const;

    // Answers requests for exactly rawPath with behaviour; a later call replaces an earlier one.
    void route(const QByteArray& rawPath, const Behaviour& behaviour);
    // Answers every path that has no route; the default is a 404 with a short body.
    void setFallback(std::function<Behaviour(const RecordedRequest&)> fallback);
    // Routes prefix0 -> prefix1 -> ... -> prefix<hops> with redirects of status, and serves
    // last at prefix<hops>. Returns the first path. With last = serve::redirect(first) the chain
    // is a loop.
    QByteArray redirectChain(const QByteArray& prefix, int hops, const Behaviour& last, int status = 302);

    // Every request so far, in arrival order. Qt 6.4's client now and then sends a GET a second
    // time: after following a redirect, and after a body ended by closing the connection (the
    // repeat comes on a fresh connection). Count distinct paths rather than requests where that
    // matters.
    const QList<RecordedRequest>& requests() const { return m_requests; }
    // The requested paths in arrival order; distinctPaths() keeps only each one's first arrival.
    QList<QByteArray> paths() const;
    QList<QByteArray> distinctPaths() const;
    void clearRequests() { m_requests.clear(); }
    int connectionCount() const { return m_connections; }

    // Runs a local event loop until at least count requests arrived in total, or timeoutMs
    // passed. Returns whether they did.
    bool waitForRequests(int count, int timeoutMs = 5000);

signals:
    void requestArrived(const RecordedRequest& request);

private:
    friend class TestServerConnection;
    void accept(qintptr descriptor);
    Behaviour behaviourFor(const RecordedRequest& request) const;
    void record(const RecordedRequest& request);

    QTcpServer* m_listener = nullptr;
    QByteArray m_host = "127.0.0.1";
    QHash<QByteArray, Behaviour> m_routes;
    std::function<Behaviour(const RecordedRequest&)> m_fallback;
    QList<RecordedRequest> m_requests;
    int m_connections = 0;
    bool m_tls = false;
    QSslCertificate m_certificate;
    QSslKey m_key;
};
