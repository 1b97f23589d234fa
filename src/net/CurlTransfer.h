#pragma once

#include "net/RateLimit.h"
#include "net/Transfer.h"

#include <QList>
#include <QString>

#include <memory>

namespace net {

class CurlMulti;

// The version of libcurl the program runs with, e.g. "7.88.1".
QString curlVersion();

// What every request of a factory's transfers carries besides its own.
struct CurlDefaults {
    QByteArray userAgent;      // empty: "Varnolux/VERSION"
    QList<QByteArray> headers; // "Name: value" lines
    QByteArray cookieFile;     // a Netscape cookie file, read and never written; empty: none
    // The budget every transfer of the run shares, across factories and threads; null: no limit.
    std::shared_ptr<RateLimit> rateLimit;
    // Lines of headers (and of each request's own) that carry a credential (Authorization,
    // Cookie, Proxy-Authorization) go only to the scheme, host and port of the address they were
    // given for: this one; when empty, the first request made by the factory's transfers (the
    // page the user named), or, with credentialsForEachLink, each request's own link.
    QByteArray credentialsFor;
    bool credentialsForEachLink = false;
};

// The real transfers: libcurl's multi interface driven by the Qt event loop (socket notifiers
// for its sockets, one single-shot timer for its time-outs), so the window never blocks and the
// command line runs the same code. Transfers made by one factory share one multi handle, and so
// its connections: the page and its images go over the same ones.
class CurlTransferFactory : public TransferFactory {
public:
    // userAgent: what a request without its own User-Agent sends; empty for "Varnolux/VERSION".
    explicit CurlTransferFactory(QByteArray userAgent = {});
    explicit CurlTransferFactory(CurlDefaults defaults);
    ~CurlTransferFactory() override;

    std::unique_ptr<Transfer> create() override;
    // The defaults as the factory's transfers use them by now: credentialsFor filled in once the
    // first request named it. Factories made from them (parallel lanes) keep the same rules.
    CurlDefaults defaults() const;

    // How many body bytes a transfer holds for its reader before it pauses.
    static constexpr qsizetype bufferBytes = 1 << 20;
    // How many expected requests a transfer sends ahead of time.
    static constexpr int maxEarly = 4;

private:
    std::shared_ptr<CurlMulti> m_multi;
    CurlDefaults m_defaults;
};

} // namespace net
