#include "support/TestServer.h"

#include "support/TestCertificate.h"

#include <QEventLoop>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

#include <algorithm>
#include <memory>

namespace {

// Bounds how much the server queues on a socket, so a reader that stops reading keeps a huge
// generated body out of memory.
constexpr qint64 highWater = 256 * 1024;
constexpr qint64 pieceSize = 64 * 1024;
// A request head larger than this is not a request any test sends on purpose.
constexpr qsizetype maxRequestHead = 1024 * 1024;

QByteArray reasonFor(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool hasHeader(const HeaderList& headers, const QByteArray& name) {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return h.first.compare(name, Qt::CaseInsensitive) == 0; });
}

class Listener : public QTcpServer {
public:
    explicit Listener(std::function<void(qintptr)> onIncoming, QObject* parent)
        : QTcpServer(parent), m_onIncoming(std::move(onIncoming)) {}

protected:
    // Taking the descriptor here, rather than a finished QTcpSocket, lets a TLS socket adopt it.
    void incomingConnection(qintptr descriptor) override { m_onIncoming(descriptor); }

private:
    std::function<void(qintptr)> m_onIncoming;
};

} // namespace

QByteArray RecordedRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QByteArrayList RecordedRequest::cookies() const {
    QByteArrayList sent = header("Cookie").split(';');
    for (QByteArray& cookie : sent)
        cookie = cookie.trimmed();
    std::sort(sent.begin(), sent.end());
    return sent;
}

QList<RecordedRequest> ourRequests(const QList<RecordedRequest>& requests, const QByteArray& path) {
    QList<RecordedRequest> ours;
    for (const RecordedRequest& request : requests)
        if (request.path == path && request.header("User-Agent").startsWith("Varnolux/"))
            ours << request;
    return ours;
}

QByteArray generatedBytes(qint64 offset, qint64 length, const QByteArray& pattern) {
    QByteArray out;
    if (length <= 0)
        return out;
    out.resize(length);
    char* p = out.data();
    if (!pattern.isEmpty()) {
        const qint64 n = pattern.size();
        for (qint64 i = 0; i < length; ++i)
            p[i] = pattern.at((offset + i) % n);
        return out;
    }
    static const char hex[] = "0123456789abcdef";
    char line[16];
    qint64 lineStart = -1;
    for (qint64 i = 0; i < length; ++i) {
        const qint64 at = offset + i;
        const qint64 start = at - at % 16;
        if (start != lineStart) {
            lineStart = start;
            for (int d = 14; d >= 0; --d)
                line[14 - d] = hex[(start >> (4 * d)) & 0xF];
            line[15] = '\n';
        }
        p[i] = line[at % 16];
    }
    return out;
}

Behaviour Behaviour::withHeader(const QByteArray& name, const QByteArray& value) const {
    Behaviour b = *this;
    b.headers.append({name, value});
    return b;
}

Behaviour Behaviour::withoutLength() const {
    Behaviour b = *this;
    b.framing = Framing::CloseDelimited;
    return b;
}

Behaviour Behaviour::chunked(const QList<qint64>& sizes) const {
    Behaviour b = *this;
    b.framing = Framing::Chunked;
    b.chunkSizes = sizes;
    return b;
}

Behaviour Behaviour::withDeclaredLength(qint64 length) const {
    Behaviour b = *this;
    b.framing = Framing::ContentLength;
    b.declaredLength = length;
    return b;
}

Behaviour Behaviour::sendingOnly(qint64 bytesAfterHead) const {
    Behaviour b = *this;
    b.sendLimit = bytesAfterHead;
    return b;
}

Behaviour Behaviour::trickled(int intervalMs) const {
    Behaviour b = *this;
    b.trickleMs = intervalMs;
    return b;
}

Behaviour Behaviour::delayed(int ms) const {
    Behaviour b = *this;
    b.delayMs = ms;
    return b;
}

Behaviour Behaviour::pausedAfter(qint64 bytesAfterHead, int ms) const {
    Behaviour b = *this;
    b.pauseAfter = bytesAfterHead;
    b.pauseMs = ms;
    return b;
}

Behaviour Behaviour::thenEnd(End how) const {
    Behaviour b = *this;
    b.end = how;
    return b;
}

qint64 Behaviour::bodySize() const {
    return generatedSize >= 0 ? generatedSize : body.size();
}

namespace serve {

Behaviour ok(const QByteArray& body, const QByteArray& contentType) {
    return response(200, "OK", {{"Content-Type", contentType}}, body);
}

Behaviour response(int status, const QByteArray& reason, const HeaderList& headers, const QByteArray& body) {
    Behaviour b;
    b.status = status;
    b.reason = reason;
    b.headers = headers;
    b.body = body;
    return b;
}

Behaviour generated(qint64 size, const QByteArray& contentType, const QByteArray& pattern) {
    Behaviour b = response(200, "OK", {{"Content-Type", contentType}});
    b.generatedSize = size;
    b.pattern = pattern;
    return b;
}

Behaviour redirect(const QByteArray& location, int status) {
    return response(status, reasonFor(status), {{"Location", location}});
}

Behaviour rawHeaders(const QByteArray& headerLines, const QByteArray& body, int status, End end) {
    Behaviour b = response(status, reasonFor(status), {}, body);
    b.framing = Behaviour::Framing::None;
    b.rawHeaderBlock = headerLines;
    b.end = end;
    return b;
}

Behaviour raw(const QByteArray& bytes, End end) {
    Behaviour b;
    b.rawResponse = bytes;
    b.end = end;
    return b;
}

Behaviour cutShort(qint64 promised, qint64 sent) {
    return generated(promised).sendingOnly(sent).thenEnd(End::Close);
}

Behaviour reset(qint64 length, qint64 sentBeforeReset) {
    return generated(length).sendingOnly(sentBeforeReset).thenEnd(End::Reset);
}

Behaviour stall() {
    Behaviour b;
    b.sendHead = false;
    b.end = End::Stall;
    return b;
}

Behaviour headersThenStall(qint64 promised) {
    return generated(promised).sendingOnly(0).thenEnd(End::Stall);
}

Behaviour trickle(const QByteArray& body, int intervalMs) {
    return ok(body).trickled(intervalMs);
}

std::function<Behaviour(const RecordedRequest&)>
inTurn(QList<std::function<Behaviour(const RecordedRequest&)>> answers) {
    auto next = std::make_shared<qsizetype>(0);
    return [answers, next](const RecordedRequest& request) {
        const qsizetype at = qMin(*next, answers.size() - 1);
        ++*next;
        return answers.at(at)(request);
    };
}

Behaviour ranged(const RecordedRequest& request, qint64 size, const QByteArray& etag,
                 const QByteArray& lastModified) {
    Behaviour b = generated(size, "image/jpeg");
    b = b.withHeader("Accept-Ranges", "bytes");
    if (!etag.isEmpty())
        b = b.withHeader("ETag", etag);
    if (!lastModified.isEmpty())
        b = b.withHeader("Last-Modified", lastModified);
    const QByteArray range = request.header("Range");
    if (!range.startsWith("bytes=") || !range.endsWith('-'))
        return b;
    const qint64 from = range.mid(6, range.size() - 7).toLongLong();
    if (from <= 0 || from >= size)
        return b;
    b.status = 206;
    b.reason = "Partial Content";
    b.generatedSize = -1;
    b.body = generatedBytes(from, size - from);
    return b.withHeader("Content-Range", "bytes " + QByteArray::number(from) + '-' +
                                             QByteArray::number(size - 1) + '/' + QByteArray::number(size));
}

} // namespace serve

// One accepted connection: reads requests one after another and plays each one's behaviour.
class TestServerConnection : public QObject {
public:
    TestServerConnection(TestServer* server, QTcpSocket* socket, int number)
        : QObject(server), m_server(server), m_socket(socket), m_number(number) {
        socket->setParent(this);
        m_trickle = new QTimer(this);
        connect(m_trickle, &QTimer::timeout, this, &TestServerConnection::trickleOne);
        connect(socket, &QIODevice::readyRead, this, &TestServerConnection::onReadyRead);
        connect(socket, &QIODevice::bytesWritten, this, &TestServerConnection::pump);
        if (auto* ssl = qobject_cast<QSslSocket*>(socket))
            connect(ssl, &QSslSocket::encryptedBytesWritten, this, &TestServerConnection::pump);
        connect(socket, &QAbstractSocket::disconnected, this, [this] {
            m_state = State::Gone;
            m_trickle->stop();
            deleteLater();
        });
    }

private:
    enum class State { Idle, Sending, Resetting, Closing, Stalled, Gone };

    void onReadyRead() {
        const QByteArray data = m_socket->readAll();
        if (m_state == State::Stalled || m_state == State::Closing || m_state == State::Gone)
            return;
        m_in += data;
        if (m_state == State::Idle)
            processNext();
    }

    void processNext() {
        while (m_state == State::Idle) {
            const qsizetype headEnd = m_in.indexOf("\r\n\r\n");
            if (headEnd < 0) {
                if (m_in.size() > maxRequestHead)
                    m_socket->abort();
                return;
            }
            RecordedRequest request;
            request.connection = m_number;
            const QList<QByteArray> lines = m_in.left(headEnd).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.path = first.value(1);
            request.version = first.value(2);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines.at(i).trimmed();
                const qsizetype colon = line.indexOf(':');
                if (colon > 0)
                    request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
            }
            const qint64 bodyLength = request.header("Content-Length").toLongLong();
            if (m_in.size() < headEnd + 4 + bodyLength)
                return;
            request.body = m_in.mid(headEnd + 4, bodyLength);
            m_in.remove(0, headEnd + 4 + bodyLength);

            const Behaviour behaviour = m_server->behaviourFor(request);
            m_server->record(request);
            if (m_state == State::Gone)
                return;
            if (behaviour.delayMs > 0) {
                // Busy meanwhile, so a request arriving now waits its turn.
                m_state = State::Sending;
                QTimer::singleShot(behaviour.delayMs, this, [this, behaviour, request] {
                    if (m_state != State::Gone)
                        start(behaviour, request);
                });
                return;
            }
            start(behaviour, request);
        }
    }

    void start(const Behaviour& b, const RecordedRequest& request) {
        m_b = b;
        m_stash.clear();
        m_head.clear();
        m_bodyPos = 0;
        m_afterHeadSent = 0;
        m_pause = Pause::Before;
        m_chunkIndex = 0;
        m_chunkLeft = 0;
        m_terminated = false;
        const bool headRequest = request.method == "HEAD";
        m_bodyEnd = headRequest || b.rawResponse || !b.sendHead ? 0 : b.bodySize();
        m_chunked = b.framing == Behaviour::Framing::Chunked && !headRequest && !b.rawResponse && b.sendHead;
        m_sourceDone = m_bodyEnd == 0 && !m_chunked;

        if (b.rawResponse) {
            m_head = *b.rawResponse;
        } else if (b.sendHead) {
            m_head = "HTTP/1.1 " + QByteArray::number(b.status) + ' ' + b.reason + "\r\n";
            if (b.rawHeaderBlock) {
                m_head += *b.rawHeaderBlock;
            } else {
                for (const auto& [name, value] : b.headers)
                    m_head += name + ": " + value + "\r\n";
                if (b.framing == Behaviour::Framing::ContentLength && !hasHeader(b.headers, "Content-Length"))
                    m_head +=
                        "Content-Length: " + QByteArray::number(b.declaredLength.value_or(b.bodySize())) +
                        "\r\n";
                if (b.framing == Behaviour::Framing::Chunked && !hasHeader(b.headers, "Transfer-Encoding"))
                    m_head += "Transfer-Encoding: chunked\r\n";
            }
            m_head += "\r\n";
        }

        m_end = b.end;
        if (m_end == Behaviour::End::Auto) {
            const bool selfDelimiting =
                !b.rawResponse && !b.rawHeaderBlock && b.sendHead &&
                (b.framing == Behaviour::Framing::ContentLength || b.framing == Behaviour::Framing::Chunked);
            const bool complete = b.sendLimit < 0 && (!b.declaredLength || *b.declaredLength == b.bodySize());
            const bool clientStays =
                request.header("Connection").compare("close", Qt::CaseInsensitive) != 0 &&
                request.version != "HTTP/1.0";
            bool serverStays = true;
            for (const auto& [name, value] : b.headers) {
                if (name.compare("Connection", Qt::CaseInsensitive) == 0 &&
                    value.compare("close", Qt::CaseInsensitive) == 0)
                    serverStays = false;
            }
            m_end = selfDelimiting && complete && clientStays && serverStays ? Behaviour::End::KeepAlive
                                                                             : Behaviour::End::Close;
        }
        m_state = State::Sending;
        pump();
    }

    // The next bytes of the body as it goes on the wire (chunk framing included), unlimited.
    QByteArray produce() {
        if (!m_chunked) {
            if (m_bodyPos >= m_bodyEnd) {
                m_sourceDone = true;
                return {};
            }
            const qint64 n = std::min(pieceSize, m_bodyEnd - m_bodyPos);
            return bodyBytes(n);
        }
        if (m_chunkLeft > 0) {
            const qint64 n = std::min(pieceSize, m_chunkLeft);
            QByteArray piece = bodyBytes(n);
            m_chunkLeft -= n;
            if (m_chunkLeft == 0)
                piece += "\r\n";
            return piece;
        }
        if (m_bodyPos < m_bodyEnd) {
            const QList<qint64>& sizes = m_b.chunkSizes;
            qint64 size = sizes.isEmpty() ? 0 : sizes.at(std::min<qsizetype>(m_chunkIndex, sizes.size() - 1));
            ++m_chunkIndex;
            if (size <= 0 || size > m_bodyEnd - m_bodyPos)
                size = m_bodyEnd - m_bodyPos;
            m_chunkLeft = size;
            return QByteArray::number(size, 16) + "\r\n";
        }
        if (!m_terminated) {
            m_terminated = true;
            return "0\r\n\r\n";
        }
        m_sourceDone = true;
        return {};
    }

    QByteArray bodyBytes(qint64 n) {
        QByteArray bytes =
            m_b.generatedSize >= 0 ? generatedBytes(m_bodyPos, n, m_b.pattern) : m_b.body.mid(m_bodyPos, n);
        m_bodyPos += n;
        return bytes;
    }

    // Up to max bytes after the head, within the behaviour's send limit; empty when all is sent.
    QByteArray take(qint64 max) {
        if (m_b.sendLimit >= 0)
            max = std::min(max, m_b.sendLimit - m_afterHeadSent);
        if (max <= 0)
            return {};
        while (m_stash.size() < max && !m_sourceDone)
            m_stash += produce();
        QByteArray out = m_stash.left(max);
        m_stash.remove(0, out.size());
        m_afterHeadSent += out.size();
        return out;
    }

    void pump() {
        if (m_state == State::Resetting) {
            resetWhenFlushed();
            return;
        }
        if (m_state != State::Sending || m_socket->state() != QAbstractSocket::ConnectedState)
            return;
        if (!m_head.isEmpty()) {
            m_socket->write(m_head);
            m_head.clear();
        }
        if (m_b.trickleMs > 0) {
            if (!m_trickle->isActive())
                m_trickle->start(m_b.trickleMs);
            return;
        }
        while (m_state == State::Sending && m_socket->bytesToWrite() < highWater) {
            qint64 max = pieceSize;
            if (m_b.pauseAfter >= 0 && m_pause != Pause::Over) {
                if (m_pause == Pause::Waiting)
                    return;
                if (m_afterHeadSent >= m_b.pauseAfter) {
                    m_pause = Pause::Waiting;
                    QTimer::singleShot(m_b.pauseMs, this, [this] {
                        m_pause = Pause::Over;
                        pump();
                    });
                    return;
                }
                max = std::min(max, m_b.pauseAfter - m_afterHeadSent);
            }
            const QByteArray piece = take(max);
            if (piece.isEmpty()) {
                finish();
                return;
            }
            if (m_socket->write(piece) < 0)
                return;
        }
    }

    void trickleOne() {
        if (m_state != State::Sending)
            return;
        const QByteArray piece = take(1);
        if (piece.isEmpty()) {
            m_trickle->stop();
            finish();
            return;
        }
        m_socket->write(piece);
    }

    void finish() {
        switch (m_end) {
        case Behaviour::End::Auto:
        case Behaviour::End::KeepAlive:
            m_state = State::Idle;
            processNext();
            break;
        case Behaviour::End::Close:
            m_state = State::Closing;
            m_socket->disconnectFromHost();
            break;
        case Behaviour::End::Reset:
            m_state = State::Resetting;
            resetWhenFlushed();
            break;
        case Behaviour::End::Stall:
            m_state = State::Stalled;
            m_in.clear();
            break;
        }
    }

    // The reset must come after the partial body, or the peer might never see those bytes.
    void resetWhenFlushed() {
        auto pending = [this] {
            qint64 bytes = m_socket->bytesToWrite();
            if (auto* ssl = qobject_cast<QSslSocket*>(m_socket))
                bytes += ssl->encryptedBytesToWrite();
            return bytes;
        };
        // One flush() writes one buffered block, and inside a bytesWritten() handler it announces
        // nothing, so no later signal would come for the rest: flush until the kernel takes no
        // more, and wait for bytesWritten() only then.
        while (pending() > 0 && m_socket->flush()) {
        }
        if (pending() > 0)
            return;
#ifdef Q_OS_UNIX
        // A zero linger time turns close() into an abortive close: the kernel sends RST.
        const struct linger hard = {1, 0};
        ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
#endif
        m_state = State::Gone;
        m_socket->abort();
    }

    TestServer* m_server;
    QTcpSocket* m_socket;
    const int m_number;
    QTimer* m_trickle = nullptr;
    State m_state = State::Idle;
    QByteArray m_in;

    Behaviour m_b;
    Behaviour::End m_end = Behaviour::End::Auto;
    QByteArray m_head;
    QByteArray m_stash;
    qint64 m_bodyPos = 0;
    qint64 m_bodyEnd = 0;
    qint64 m_afterHeadSent = 0;
    enum class Pause { Before, Waiting, Over } m_pause = Pause::Before;
    bool m_chunked = false;
    qsizetype m_chunkIndex = 0;
    qint64 m_chunkLeft = 0;
    bool m_terminated = false;
    bool m_sourceDone = true;
};

TestServer::TestServer(QObject* parent) : TestServer("127.0.0.1", parent) {}

TestServer::TestServer(const QByteArray& host, QObject* parent) : QObject(parent), m_host(host) {
    m_listener = new Listener([this](qintptr descriptor) { accept(descriptor); }, this);
    m_listener->listen(QHostAddress(QString::fromLatin1(host)), 0);
}

TestServer::~TestServer() = default;

void TestServer::useTls(const TestCertificate& certificate) {
    m_tls = true;
    m_certificate = certificate.serverCertificate();
    m_key = certificate.serverKey();
}

bool TestServer::isListening() const {
    return m_listener->isListening();
}

quint16 TestServer::port() const {
    return m_listener->serverPort();
}

QByteArray TestServer::base() const {
    return QByteArray(m_tls ? "https" : "http") + "://" + m_host + ':' + QByteArray::number(port());
}

QUrl TestServer::url(const QByteArray& rawPath) const {
    return QUrl::fromEncoded(address(rawPath), QUrl::TolerantMode);
}

void TestServer::route(const QByteArray& rawPath, const Behaviour& behaviour) {
    m_routes.insert(rawPath, behaviour);
}

void TestServer::setFallback(std::function<Behaviour(const RecordedRequest&)> fallback) {
    m_fallback = std::move(fallback);
}

QByteArray TestServer::redirectChain(const QByteArray& prefix, int hops, const Behaviour& last, int status) {
    for (int i = 0; i < hops; ++i)
        route(prefix + QByteArray::number(i), serve::redirect(prefix + QByteArray::number(i + 1), status));
    route(prefix + QByteArray::number(hops), last);
    return prefix + '0';
}

QList<QByteArray> TestServer::paths() const {
    QList<QByteArray> out;
    for (const RecordedRequest& r : m_requests)
        out.append(r.path);
    return out;
}

QList<QByteArray> TestServer::distinctPaths() const {
    QList<QByteArray> out;
    for (const RecordedRequest& r : m_requests) {
        if (!out.contains(r.path))
            out.append(r.path);
    }
    return out;
}

bool TestServer::waitForRequests(int count, int timeoutMs) {
    if (m_requests.size() >= count)
        return true;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &TestServer::requestArrived, &loop, [&] {
        if (m_requests.size() >= count)
            loop.quit();
    });
    limit.start(timeoutMs);
    loop.exec();
    return m_requests.size() >= count;
}

void TestServer::accept(qintptr descriptor) {
    QTcpSocket* socket = nullptr;
    if (m_tls) {
        auto* ssl = new QSslSocket;
        if (!ssl->setSocketDescriptor(descriptor)) {
            delete ssl;
            return;
        }
        ssl->setLocalCertificate(m_certificate);
        ssl->setPrivateKey(m_key);
        ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
        ssl->startServerEncryption();
        socket = ssl;
    } else {
        socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
    }
    // An answer leaves in several writes (head, then body pieces); with Nagle's algorithm on, a
    // piece after the first waits for the client's delayed ACK, 40 ms on Linux, on every request
    // but a connection's first.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    new TestServerConnection(this, socket, ++m_connections);
}

Behaviour TestServer::behaviourFor(const RecordedRequest& request) const {
    const auto it = m_routes.constFind(request.path);
    if (it != m_routes.constEnd())
        return *it;
    if (m_fallback)
        return m_fallback(request);
    return serve::response(404, "Not Found", {{"Content-Type", "text/plain"}}, "not found\n");
}

void TestServer::record(const RecordedRequest& request) {
    m_requests.append(request);
    emit requestArrived(request);
}
