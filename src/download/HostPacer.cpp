#include "download/HostPacer.h"

#include "net/Transfer.h"

#include <QUrl>

HostPacer::HostPacer(qint64 gapMs) : m_gapMs(gapMs) {
    m_clock.start();
}

qint64 HostPacer::reserve(const QString& host) {
    const std::lock_guard<std::mutex> hold(m_lock);
    const qint64 now = m_clock.elapsed();
    const auto it = m_next.constFind(host);
    const qint64 slot = it == m_next.cend() ? now : qMax(now, *it);
    m_next.insert(host, slot + m_gapMs);
    return slot - now;
}

QString HostPacer::hostOf(const QByteArray& link) {
    const QUrl url = QUrl::fromEncoded(net::wireAddress(link.trimmed()), QUrl::TolerantMode);
    return url.scheme().toLower() + QLatin1StringView("://") + url.host().toLower() + u':' +
           QString::number(url.port(-1));
}
