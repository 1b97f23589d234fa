#include "core/Network.h"

#include "core/Cancellation.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QThreadStorage>
#include <QTimer>

namespace network {

namespace {
void trustExtraCertificates() {
    const QByteArray bundle = qgetenv("SSL_CERT_FILE");
    if (bundle.isEmpty())
        return;
    // Many systems point SSL_CERT_FILE at their own bundle, which is trusted already; parsing it
    // again would cost every start tens of milliseconds.
    const QString path = QFileInfo(QFile::decodeName(bundle)).canonicalFilePath();
    for (const char* system : {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
                               "/etc/ssl/cert.pem", "/etc/ssl/ca-bundle.pem"})
        if (path == QFileInfo(QString::fromLatin1(system)).canonicalFilePath())
            return;
    const QList<QSslCertificate> certs = QSslCertificate::fromPath(QFile::decodeName(bundle), QSsl::Pem);
    if (certs.isEmpty())
        return;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificates(certs);
    QSslConfiguration::setDefaultConfiguration(config);
}
} // namespace

QThreadStorage<QNetworkAccessManager*>& managers() {
    static QThreadStorage<QNetworkAccessManager*> perThread;
    return perThread;
}

QNetworkAccessManager& manager() {
    QThreadStorage<QNetworkAccessManager*>& managers = network::managers();
    if (!managers.hasLocalData()) {
        static const bool trusted = (trustExtraCertificates(), true);
        Q_UNUSED(trusted);
        auto* nam = new QNetworkAccessManager;
        nam->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
        managers.setLocalData(nam);
    }
    return *managers.localData();
}

QUrl requestUrl(const QByteArray& link) {
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
    return QUrl::fromEncoded(encoded, QUrl::TolerantMode);
}

QNetworkRequest getRequest(const QUrl& url, bool identityEncoding) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("Varnolux/" VARNOLUX_VERSION));
    // Setting the header ourselves also stops Qt from decompressing behind our back.
    if (identityEncoding)
        request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    return request;
}

void releaseManager() {
    // Replies handed to deleteLater and the manager's own queued calls are settled first, so
    // nothing of the network is left behind when the program ends.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (managers().hasLocalData())
        managers().setLocalData(nullptr);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int idleTimeoutMs() {
    bool ok = false;
    const int fromEnv = qEnvironmentVariableIntValue("VARNOLUX_IDLE_TIMEOUT_MS", &ok);
    return ok && fromEnv > 0 ? fromEnv : 30000;
}

} // namespace network

ActiveReply::ActiveReply(QNetworkReply* reply) : m_reply(reply) {
    // A reply taken over after it started may have its headers in already.
    m_headersIn = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    m_idle = new QTimer(reply);
    m_idle->setSingleShot(true);
    m_idle->setInterval(network::idleTimeoutMs());
    auto restart = [this] {
        if (m_idle)
            m_idle->start();
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, m_idle, [this, restart] {
        m_headersIn = true;
        const int status = httpStatus();
        if (status >= 300 && status <= 399)
            m_redirectLength = m_reply->rawHeader("Content-Length");
        restart();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, m_idle, restart);
    QObject::connect(reply, &QNetworkReply::downloadProgress, m_idle,
                     [this, restart](qint64 received, qint64) {
                         m_received = received;
                         restart();
                     });
    QObject::connect(reply, &QNetworkReply::redirected, m_idle, [this, restart] {
        m_headersIn = false;
        restart();
    });
    m_lowSpeed = new QTimer(reply);
    m_lowSpeed->setInterval(2 * network::idleTimeoutMs());
    QObject::connect(m_lowSpeed, &QTimer::timeout, reply, [this] {
        if (m_received - m_receivedAtLastCheck < network::lowSpeedBytes && !m_reply->isFinished()) {
            m_tooSlow = true;
            m_reply->abort();
        }
        m_receivedAtLastCheck = m_received;
    });
    QObject::connect(reply, &QNetworkReply::finished, m_idle, [this] {
        m_idle->stop();
        m_lowSpeed->stop();
    });
    QObject::connect(m_idle, &QTimer::timeout, reply, [this] {
        m_timedOut = true;
        m_reply->abort();
    });
    QObject::connect(&Cancellation::instance(), &Cancellation::cancelled, reply, [this] {
        m_cancelled = true;
        m_reply->abort();
    });
    m_idle->start();
    m_lowSpeed->start();
    if (Cancellation::requested()) {
        m_cancelled = true;
        reply->abort();
    }
}

ActiveReply::~ActiveReply() {
    if (m_reply) {
        // The connections below capture this object; none may outlive it.
        m_reply->disconnect();
        m_idle->stop();
        m_idle->disconnect();
        m_lowSpeed->stop();
        m_lowSpeed->disconnect();
        QObject::disconnect(&Cancellation::instance(), nullptr, m_reply, nullptr);
        // A reply with an HTTP error status has its failure on the way already: aborting it
        // too makes Qt report a second error. Deleting it ends the transfer all the same.
        if (!m_reply->isFinished() && m_reply->error() == QNetworkReply::NoError && httpStatus() < 400)
            m_reply->abort();
        m_reply->deleteLater();
    }
}

bool ActiveReply::isFinished() const {
    return !m_reply || m_reply->isFinished();
}

bool ActiveReply::reached(Until until) const {
    if (isFinished())
        return true;
    switch (until) {
    case Until::Headers: {
        if (!m_headersIn)
            return false;
        // A redirect's headers are not the response's: the reply follows it (or fails) and the
        // final headers come later.
        const int status = httpStatus();
        return status >= 100 && (status < 300 || status > 399);
    }
    case Until::Data:
        return m_reply->bytesAvailable() >= m_wantBytes;
    case Until::Finished:
        return false;
    }
    return true;
}

bool ActiveReply::wait(Until until) {
    if (m_cancelled || Cancellation::requested())
        return false;
    if (reached(until))
        return true;
    QEventLoop loop;
    QObject::connect(m_reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&Cancellation::instance(), &Cancellation::cancelled, &loop, &QEventLoop::quit);
    if (until == Until::Headers)
        QObject::connect(m_reply, &QNetworkReply::metaDataChanged, &loop, &QEventLoop::quit);
    if (until == Until::Data)
        QObject::connect(m_reply, &QNetworkReply::readyRead, &loop, &QEventLoop::quit);
    while (!reached(until) && !m_cancelled && !Cancellation::requested())
        loop.exec();
    return !m_cancelled && !Cancellation::requested();
}

bool ActiveReply::waitForHeaders() {
    return wait(Until::Headers);
}
bool ActiveReply::waitForBytes(qint64 count) {
    m_wantBytes = qMax<qint64>(count, 1);
    return wait(Until::Data);
}
bool ActiveReply::waitForFinished() {
    return wait(Until::Finished);
}

int ActiveReply::httpStatus() const {
    return m_reply ? m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

QByteArray ActiveReply::contentLength() const {
    if (!m_reply)
        return {};
    // A transfer coding frames the body itself and overrides any length beside it.
    if (m_reply->hasRawHeader("Transfer-Encoding"))
        return {};
    const QByteArray value = m_reply->rawHeader("Content-Length");
    if (!m_redirectLength.isEmpty() && httpStatus() < 300 && value.startsWith(m_redirectLength + ','))
        return value.sliced(m_redirectLength.size() + 1).trimmed();
    return value;
}

QString ActiveReply::failureReason() const {
    if (m_cancelled)
        return QStringLiteral("the transfer was cancelled");
    if (m_timedOut)
        return QStringLiteral("no data arrived for %1 seconds").arg(network::idleTimeoutMs() / 1000.0);
    if (m_tooSlow)
        return QStringLiteral("the server sent less than %1 bytes in %2 seconds")
            .arg(network::lowSpeedBytes)
            .arg(2 * network::idleTimeoutMs() / 1000.0);
    if (!m_reply)
        return QStringLiteral("the transfer was lost");
    // Two different lengths leave no way to know where the body ends.
    const QList<QByteArray> lengths = contentLength().split(',');
    for (const QByteArray& length : lengths)
        if (length.trimmed() != lengths.first().trimmed())
            return QStringLiteral("the server sent two different lengths");
    const int status = httpStatus();
    if (status >= 400) {
        const QString phrase =
            QString::fromLatin1(m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray());
        return QStringLiteral("the server answered HTTP %1%2")
            .arg(status)
            .arg(phrase.isEmpty() ? QString() : u' ' + phrase);
    }
    if (m_reply->isFinished() && m_reply->error() != QNetworkReply::NoError) {
        // Qt's own words for a redirect it refused leave out where the server pointed.
        const QString target = QString::fromLatin1(m_reply->rawHeader("Location"));
        switch (m_reply->error()) {
        case QNetworkReply::TooManyRedirectsError:
            return QStringLiteral("the server redirected more than %1 times").arg(network::maxRedirects);
        case QNetworkReply::InsecureRedirectError:
            return QStringLiteral("the server redirected from https to plain http (%1)").arg(target);
        case QNetworkReply::RemoteHostClosedError:
            // A reset reads the same; either way the answer was cut off.
            return QStringLiteral("the server closed the connection before its answer was complete");
        case QNetworkReply::ProtocolUnknownError:
            if (status >= 300 && status <= 399)
                return QStringLiteral("the server redirected to %1, which is not a web address").arg(target);
            break;
        default:
            break;
        }
        return m_reply->errorString();
    }
    return {};
}
