#pragma once

#include "net/CurlLoop.h"
#include "net/Transfer.h"

#include <memory>

namespace net {

// Sequential transfers over a CurlLoop, for the code that still reads a response step by step:
// each one submits its request to the loop, keeps up to bufferBytes of the body for its reader
// (holding the rest back with Take::Later) and waits in a local event loop, so the window keeps
// painting meanwhile. Transfers made by one factory share its loop, and so its connections, the
// origin credentials go to and the hosts' pauses.
class CurlTransferFactory : public TransferFactory {
public:
    // userAgent: what a request without its own User-Agent sends; empty for "Varnolux/VERSION".
    explicit CurlTransferFactory(QByteArray userAgent = {});
    explicit CurlTransferFactory(CurlDefaults defaults);
    // Transfers on a loop someone else owns (the run's), submitted for that purpose.
    explicit CurlTransferFactory(std::shared_ptr<CurlLoop> loop, Purpose purpose = Purpose::Page);
    ~CurlTransferFactory() override;

    std::unique_ptr<Transfer> create() override;
    // The defaults as the loop uses them by now: credentialsFor filled in once the first request
    // named it. Factories made from them (parallel lanes) keep the same rules.
    CurlDefaults defaults() const;
    CurlLoop& loop() const { return *m_loop; }

    // How many body bytes a transfer holds for its reader before it holds the rest back.
    static constexpr qsizetype bufferBytes = 1 << 20;

private:
    std::shared_ptr<CurlLoop> m_loop;
    Purpose m_purpose = Purpose::Page;
};

} // namespace net
