#pragma once

#include "net/RateLimit.h"
#include "net/TransferLoop.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

namespace net {

// The version of libcurl the program runs with, e.g. "7.88.1".
QString curlVersion();

// What every request of a run carries besides its own.
struct CurlDefaults {
    QByteArray userAgent;      // empty: "Varnolux/VERSION"
    QList<QByteArray> headers; // "Name: value" lines
    QByteArray cookieFile;     // a Netscape cookie file, read and never written; empty: none
    // The budget every transfer of the run shares, across loops and threads; null: no limit.
    std::shared_ptr<RateLimit> rateLimit;
    // Lines of headers (and of each request's own) that carry a credential (Authorization,
    // Cookie, Proxy-Authorization) go only to the scheme, host and port of the address they were
    // given for: this one; when empty, the first request submitted to the loop (the page the
    // user named), or, with credentialsForEachLink, each request's own link.
    QByteArray credentialsFor;
    bool credentialsForEachLink = false;
};

// The real transfer loop: one libcurl multi handle driven by the Qt event loop of the thread
// that made it (a socket notifier per socket, one single-shot timer for libcurl's time-outs).
// HTTP/2 streams share one connection per host; HTTP/1.1 opens at most maxHostConnections.
// Nothing here blocks or runs a nested event loop.
class CurlLoop : public Transfers {
public:
    explicit CurlLoop(CurlDefaults defaults = {});
    ~CurlLoop() override;
    CurlLoop(const CurlLoop&) = delete;
    CurlLoop& operator=(const CurlLoop&) = delete;

    Id submit(const Request& request, TransferHandler& handler, Purpose purpose = Purpose::Image) override;
    void resume(Id id) override;
    void cancel(Id id) override;
    void setMaxInFlight(int count) override;
    void setPauseListener(std::function<void(const HostPause&)> listener) override;
    QList<HostPause> pausedHosts() const override;

    // The run's wait (--wait): at least this long between the starts of two requests to one host.
    void setHostGapMs(qint64 ms);
    // The defaults as the loop uses them by now: credentialsFor filled in once the first request
    // named it, so a loop made from them keeps the same rule.
    CurlDefaults defaults() const;

    // The scheme, host and port a link's requests count against, e.g. "https://example.org:443".
    static QByteArray hostOf(const QByteArray& link);

    // Connections in a pool libcurl opens at most per host (HTTP/1.1; HTTP/2 multiplexes on one).
    static constexpr long maxHostConnections = 6;
    // How often a request whose reused connection went away before any answer (GOAWAY, a refused
    // stream) is put on the wire again, unseen by its handler.
    static constexpr int maxReplays = 3;

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace net
