#include "download/NetworkTransfer.h"

#include "core/Network.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

NetworkTransfer::NetworkTransfer() = default;
NetworkTransfer::~NetworkTransfer() = default;

bool NetworkTransfer::start(const QByteArray& address, QString* reason) {
    m_active.reset();
    const QUrl url = network::requestUrl(address);
    const QString scheme = url.scheme();
    // https is fetched over TLS as it is; only the two web schemes are fetched at all.
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"http" && scheme != u"https")) {
        if (reason)
            *reason = QStringLiteral("%1 is not a web address").arg(QString::fromUtf8(address));
        return false;
    }
    QNetworkReply* reply = network::manager().get(network::getRequest(url, /*identityEncoding=*/true));
    reply->setReadBufferSize(readBufferBytes);
    m_active = std::make_unique<ActiveReply>(reply);
    return true;
}

void NetworkTransfer::waitForResponse() {
    if (m_active)
        m_active->waitForHeaders();
}

QString NetworkTransfer::headerValue(const QByteArray& name) const {
    if (!m_active || !m_active->reply())
        return {};
    return QString::fromLatin1(m_active->reply()->rawHeader(name));
}

QByteArray NetworkTransfer::nextChunk(qint64 size) {
    if (!m_active || !m_active->reply() || size <= 0)
        return {};
    if (!m_active->waitForBytes(size))
        return {};
    return m_active->reply()->read(size);
}

void NetworkTransfer::waitForEnd() {
    if (m_active)
        m_active->waitForFinished();
}

void NetworkTransfer::abort() {
    if (m_active && m_active->reply())
        m_active->reply()->abort();
}

QString NetworkTransfer::failureReason() const {
    if (!m_active)
        return QStringLiteral("no request was made");
    if (const QString reason = m_active->failureReason(); !reason.isEmpty())
        return reason;
    // A redirect that was not followed, or anything else that is not a success, is no image.
    const int status = m_active->httpStatus();
    if (status != 0 && (status < 200 || status > 299))
        return QStringLiteral("the server answered HTTP %1").arg(status);
    return {};
}

bool NetworkTransfer::cancelled() const {
    return m_active && m_active->cancelled();
}
