#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkRequest;
class QTimer;

namespace network {

// The calling thread's one access manager, so that connections are reused from one request to
// the next. Honours SSL_CERT_FILE as an extra bundle of trusted CA certificates.
QNetworkAccessManager& manager();
// Ends the calling thread's manager and whatever replies wait for deletion; called once, when the
// program ends.
void releaseManager();

// Link bytes as a request URL. Blanks, control bytes and bytes outside ASCII are percent-encoded,
// so the server is asked for exactly the resource the page named.
QUrl requestUrl(const QByteArray& link);

// A GET request with our limits: redirects followed up to maxRedirects, never from https to
// plain http. identityEncoding asks the server not to compress, so a length counts the bytes
// that arrive.
QNetworkRequest getRequest(const QUrl& url, bool identityEncoding);

inline constexpr int maxRedirects = 20;

// How long a transfer may go without receiving anything before it fails; 30 s unless the
// environment variable VARNOLUX_IDLE_TIMEOUT_MS says otherwise (tests shorten it).
int idleTimeoutMs();

// A server that keeps a transfer alive with a byte now and then fails it too: fewer than
// lowSpeedBytes arriving within twice the idle time-out is too slow.
inline constexpr qint64 lowSpeedBytes = 1024;

} // namespace network

// Owns one reply for its whole life: aborts it on an idle time-out or when the program is closing,
// and lets sequential code wait for it in a local event loop, so the window keeps painting and
// handling clicks meanwhile. Never busy-polls.
class ActiveReply {
public:
    explicit ActiveReply(QNetworkReply* reply);
    ~ActiveReply();
    ActiveReply(const ActiveReply&) = delete;
    ActiveReply& operator=(const ActiveReply&) = delete;

    QNetworkReply* reply() const { return m_reply; }

    // Waits until the response headers are in (or the reply ended). False when cancelled.
    bool waitForHeaders();
    // Waits until body bytes are available or the reply ended. False when cancelled.
    bool waitForData() { return waitForBytes(1); }
    // Waits until at least count body bytes are available or the reply ended. False when
    // cancelled.
    bool waitForBytes(qint64 count);
    // Waits until the reply ended. False when cancelled.
    bool waitForFinished();

    bool isFinished() const;
    bool timedOut() const { return m_timedOut; }
    bool tooSlow() const { return m_tooSlow; }
    bool cancelled() const { return m_cancelled; }
    // The HTTP status code, or 0 before headers or for a non-HTTP failure.
    int httpStatus() const;
    // The response's "Content-Length" value as sent; empty when a Transfer-Encoding frames the
    // body instead, since that overrides the length. After a redirect Qt 6.4 may keep the
    // redirect's own length in front of it ("0, 2000"); that part is left out.
    QByteArray contentLength() const;
    // Why the transfer failed, readable by a user; empty while nothing went wrong. An HTTP error
    // status counts as a failure.
    QString failureReason() const;

private:
    enum class Until { Headers, Data, Finished };
    bool wait(Until until);
    bool reached(Until until) const;

    QPointer<QNetworkReply> m_reply;
    QTimer* m_idle = nullptr;
    QTimer* m_lowSpeed = nullptr;
    qint64 m_received = 0;
    qint64 m_receivedAtLastCheck = 0;
    bool m_timedOut = false;
    bool m_tooSlow = false;
    bool m_cancelled = false;
    bool m_headersIn = false;
    qint64 m_wantBytes = 1;
    QByteArray m_redirectLength;
};
