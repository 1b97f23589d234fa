#include "download/NetworkTransfer.h"

#include "core/Cancellation.h"
#include "core/Network.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>

NetworkTransfer::NetworkTransfer() {
    m_cancelled =
        QObject::connect(&Cancellation::instance(), &Cancellation::cancelled, [this] { dropEarly(); });
}

NetworkTransfer::~NetworkTransfer() {
    QObject::disconnect(m_cancelled);
    dropEarly();
}

QNetworkReply* NetworkTransfer::request(const QByteArray& address, QString* reason) {
    const QUrl url = network::requestUrl(address);
    const QString scheme = url.scheme();
    // https is fetched over TLS as it is; only the two web schemes are fetched at all.
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"http" && scheme != u"https")) {
        if (reason)
            *reason = QStringLiteral("%1 is not a web address").arg(QString::fromUtf8(address));
        return nullptr;
    }
    QNetworkReply* reply = network::manager().get(network::getRequest(url, /*identityEncoding=*/true));
    reply->setReadBufferSize(readBufferBytes);
    return reply;
}

// A reply with an HTTP error status has its failure on the way already: aborting it too makes Qt
// report a second error. Deleting it ends the transfer all the same.
void NetworkTransfer::stop(QNetworkReply* reply) {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!reply->isFinished() && reply->error() == QNetworkReply::NoError && status < 400)
        reply->abort();
}

void NetworkTransfer::drop(QNetworkReply* reply) {
    stop(reply);
    reply->deleteLater();
}

void NetworkTransfer::dropEarly() {
    for (const Early& early : m_early)
        drop(early.reply);
    m_early.clear();
}

void NetworkTransfer::expect(const QList<QByteArray>& addresses) {
    if (Cancellation::requested())
        return;
    const QList<QByteArray> wanted = addresses.mid(0, maxEarly);
    std::erase_if(m_early, [&](const Early& early) {
        if (wanted.contains(early.address))
            return false;
        drop(early.reply);
        return true;
    });
    for (const QByteArray& address : wanted) {
        const bool requested = std::any_of(m_early.begin(), m_early.end(),
                                           [&](const Early& early) { return early.address == address; });
        if (requested)
            continue;
        if (QNetworkReply* reply = request(address, nullptr))
            m_early.push_back({address, reply});
    }
}

bool NetworkTransfer::start(const QByteArray& address, QString* reason) {
    m_active.reset();
    const auto early =
        std::find_if(m_early.begin(), m_early.end(), [&](const Early& e) { return e.address == address; });
    if (early != m_early.end()) {
        QNetworkReply* reply = early->reply;
        m_early.erase(early);
        // An early request lost on the way (say the server closed its idle connection) is only a
        // head start gone: the address is requested afresh. A server's answer counts as it is.
        const bool lost = reply->isFinished() && reply->error() != QNetworkReply::NoError &&
                          reply->error() < QNetworkReply::ContentAccessDenied;
        if (!lost) {
            // The idle time-out counts from here: until now nobody was reading.
            m_active = std::make_unique<ActiveReply>(reply);
            return true;
        }
        drop(reply);
    }
    QNetworkReply* reply = request(address, reason);
    if (!reply)
        return false;
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
    if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
        return QString::fromLatin1(m_active->contentLength());
    return QString::fromLatin1(m_active->reply()->rawHeader(name));
}

QByteArray NetworkTransfer::nextChunk(qint64 size) {
    if (!m_active || !m_active->reply() || size <= 0)
        return {};
    if (!m_active->waitForBytes(size) || !m_active->reply()->isOpen())
        return {};
    return m_active->reply()->read(size);
}

void NetworkTransfer::waitForEnd() {
    if (m_active)
        m_active->waitForFinished();
}

qint64 NetworkTransfer::unreadBytes() const {
    return m_active && m_active->reply() && m_active->reply()->isOpen() ? m_active->reply()->bytesAvailable()
                                                                        : 0;
}

void NetworkTransfer::abort() {
    if (m_active && m_active->reply())
        stop(m_active->reply());
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

int NetworkTransfer::status() const {
    return m_active ? m_active->httpStatus() : 0;
}

bool NetworkTransfer::cancelled() const {
    return m_active && m_active->cancelled();
}
