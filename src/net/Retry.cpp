#include "net/Retry.h"

#include <QLocale>

namespace net {

namespace retry {

bool retryable(const Result& result) {
    switch (result.status) {
    case Status::Connect:
    case Status::CutShort:
    case Status::ChunkCut:
    case Status::Idle:
    case Status::TooSlow:
    case Status::NoAnswer:
        return true;
    case Status::HttpStatus:
        return retryableStatus(result.httpStatus);
    default:
        return false;
    }
}

bool retryableStatus(int httpStatus) {
    switch (httpStatus) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
        return true;
    default:
        return false;
    }
}

qint64 unitMs() {
    bool ok = false;
    const int fromEnv = qEnvironmentVariableIntValue("VARNOLUX_RETRY_UNIT_MS", &ok);
    return ok && fromEnv > 0 ? fromEnv : 1000;
}

qint64 backoffMs(int n) {
    const qint64 seconds = n >= 7 ? maxBackoffSeconds : qMin<qint64>(qint64(1) << (n - 1), maxBackoffSeconds);
    return qMax<qint64>(seconds, 1) * unitMs();
}

std::optional<qint64> retryAfterMs(const QByteArray& value, const QDateTime& now) {
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    bool digits = true;
    for (char c : text)
        digits = digits && c >= '0' && c <= '9';
    if (digits) {
        bool ok = false;
        const qint64 seconds = text.toLongLong(&ok);
        // Beyond any sane wait, but still a wait: it is refused as too long, not taken as 0.
        if (!ok || text.size() > 12)
            return qint64(1) << 50;
        return seconds > 0 ? std::optional<qint64>(seconds * unitMs()) : std::nullopt;
    }
    // IMF-fixdate, as HTTP servers send it: "Wed, 21 Oct 2015 07:28:00 GMT".
    QDateTime when =
        QLocale::c().toDateTime(QString::fromLatin1(text), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!when.isValid())
        return std::nullopt;
    when = QDateTime(when.date(), when.time(), Qt::UTC);
    const qint64 ms = now.msecsTo(when);
    if (ms <= 0)
        return std::nullopt;
    return ms * unitMs() / 1000;
}

} // namespace retry

} // namespace net
