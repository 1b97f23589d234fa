#pragma once

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
    QByteArray userAgent;         // empty: "Varnolux/VERSION"
    QList<QByteArray> headers;    // "Name: value" lines
    QByteArray cookieFile;        // a Netscape cookie file, read and never written; empty: none
    qint64 maxBytesPerSecond = 0; // 0: no limit
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

    // How many body bytes a transfer holds for its reader before it pauses.
    static constexpr qsizetype bufferBytes = 1 << 20;
    // How many expected requests a transfer sends ahead of time.
    static constexpr int maxEarly = 4;

private:
    std::shared_ptr<CurlMulti> m_multi;
    CurlDefaults m_defaults;
};

} // namespace net
