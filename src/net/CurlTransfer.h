#pragma once

#include "net/Transfer.h"

#include <QString>

#include <memory>

namespace net {

class CurlMulti;

// The version of libcurl the program runs with, e.g. "7.88.1".
QString curlVersion();

// The real transfers: libcurl's multi interface driven by the Qt event loop (socket notifiers
// for its sockets, one single-shot timer for its time-outs), so the window never blocks and the
// command line runs the same code. Transfers made by one factory share one multi handle, and so
// its connections: the page and its images go over the same ones.
class CurlTransferFactory : public TransferFactory {
public:
    // userAgent: what a request without its own User-Agent sends; empty for "Varnolux/VERSION".
    explicit CurlTransferFactory(QByteArray userAgent = {});
    ~CurlTransferFactory() override;

    std::unique_ptr<Transfer> create() override;

    // How many body bytes a transfer holds for its reader before it pauses.
    static constexpr qsizetype bufferBytes = 1 << 20;

private:
    std::shared_ptr<CurlMulti> m_multi;
    QByteArray m_userAgent;
};

} // namespace net
