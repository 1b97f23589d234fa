#include "net/Transfer.h"

namespace net {

QString reasonText(const Result& r) {
    const QString seconds = QString::number(idleTimeoutMs() / 1000.0);
    switch (r.status) {
    case Status::Ok:
        return {};
    case Status::HttpStatus:
        return QStringLiteral("the server answered HTTP %1%2")
            .arg(r.httpStatus)
            .arg(r.detail.isEmpty() ? QString() : u' ' + r.detail);
    case Status::CutShort:
        return QStringLiteral("the server closed the connection before its answer was complete");
    case Status::ChunkCut:
        return QStringLiteral("the server closed the connection before the last chunk");
    case Status::InvalidChunk:
        return QStringLiteral("the server sent an invalid chunk size");
    case Status::InvalidLength:
        return r.detail.isEmpty() ? QStringLiteral("the server sent an invalid length")
                                  : QStringLiteral("the server sent an invalid length (%1)").arg(r.detail);
    case Status::TwoLengths:
        return QStringLiteral("the server sent two different lengths");
    case Status::Idle:
        return QStringLiteral("no data arrived for %1 seconds").arg(seconds);
    case Status::TooSlow:
        return QStringLiteral("the server sent less than %1 bytes in %2 seconds")
            .arg(lowSpeedBytes)
            .arg(2 * idleTimeoutMs() / 1000.0);
    case Status::TooManyRedirects:
        return QStringLiteral("the server redirected more than %1 times").arg(maxRedirects);
    case Status::InsecureRedirect:
        return QStringLiteral("the server redirected from https to plain http (%1)").arg(r.detail);
    case Status::NotWebRedirect:
        return QStringLiteral("the server redirected to %1, which is not a web address").arg(r.detail);
    case Status::RefusedRedirect:
        return QStringLiteral("the server redirected to %1, a host that is not followed").arg(r.detail);
    case Status::NotWebAddress:
        return QStringLiteral("%1 is not a web address").arg(r.detail);
    case Status::TooBig:
        return QStringLiteral("the page is larger than %1 bytes, the most a page may hold").arg(r.number);
    case Status::Bomb:
        return QStringLiteral("the compressed page expands to more than %1 times its size").arg(r.number);
    case Status::Tls:
        return QStringLiteral("the secure connection failed (%1)").arg(r.detail);
    case Status::NameLookup:
        return QStringLiteral("the server name %1 could not be found").arg(r.detail);
    case Status::Connect:
        return QStringLiteral("the server could not be reached (%1)").arg(r.detail);
    case Status::Proxy:
        return QStringLiteral("the proxy %1").arg(r.detail);
    case Status::NoAnswer:
        return QStringLiteral("the server closed the connection without answering");
    case Status::Cancelled:
        return QStringLiteral("the transfer was cancelled");
    case Status::LocalFile:
        return r.detail;
    case Status::Failed:
        return r.detail.isEmpty() ? QStringLiteral("the transfer failed") : r.detail;
    }
    return r.detail;
}

int idleTimeoutMs() {
    bool ok = false;
    const int fromEnv = qEnvironmentVariableIntValue("VARNOLUX_IDLE_TIMEOUT_MS", &ok);
    return ok && fromEnv > 0 ? fromEnv : 30000;
}

QByteArray wireAddress(const QByteArray& link) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray encoded;
    encoded.reserve(link.size());
    for (char c : link) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F) {
            encoded += '%';
            encoded += hex[b >> 4];
            encoded += hex[b & 0xF];
        } else {
            encoded += c;
        }
    }
    return encoded;
}

} // namespace net
