#pragma once

#include "net/CurlLoop.h"
#include "net/Transfer.h"

#include <QByteArray>
#include <QList>

#include <memory>

// A test's sequential view of the transfer loop: a request started, then its response read step
// by step, each wait running the event loop. The program itself never reads a transfer this way;
// the tests of the loop's rules (redirects, lengths, credentials, the body's bound) read with it.
namespace net {

// One GET, read by sequential code: each wait runs the event loop until what it waits for is
// there, so the window keeps painting meanwhile. Never polls. The body is buffered only up to a
// bound; beyond it the transfer pauses until the reader catches up.
class Transfer {
public:
    virtual ~Transfer() = default;

    // Starts the request and returns at once. False, with the result set, when it cannot even
    // start (not a web address).
    virtual bool start(const Request& request) = 0;
    // The requests that will probably be started next, the next one first. A transfer may send
    // them early, on connections of their own, so that one response is on its way while another
    // is read; start() still decides what is fetched, and an early request nobody starts is
    // dropped.
    virtual void expect(const QList<Request>& next) { Q_UNUSED(next); }
    // Waits until the final response's status and headers are in (redirects followed) or the
    // transfer ended.
    virtual void waitForResponse() = 0;
    // A header of the final response as sent; empty when it has none.
    virtual QByteArray header(const QByteArray& name) const = 0;
    // The next body bytes, at most size of them. Waits until size bytes are there, so fewer come
    // back only when the body ended, the transfer failed or it was cancelled. The bytes stay
    // valid until the next call on the transfer: they are not copied out of its buffer.
    virtual QByteArrayView nextChunk(qint64 size) = 0;
    // Whatever body bytes are there, at most size; waits for at least one. Empty at the end.
    // Valid until the next call, as for nextChunk.
    virtual QByteArrayView nextPiece(qint64 size) = 0;
    // Waits until the transfer has ended.
    virtual void waitForEnd() = 0;
    // Stops the transfer; the rest of the body is not wanted.
    virtual void abort() = 0;

    // How it went so far. An HTTP status other than success counts as a failure.
    virtual Result result() const = 0;
    // The final response's HTTP status; 0 while there is none.
    virtual int status() const = 0;
    // The address the final response came from, as sent on the wire.
    virtual QByteArray finalAddress() const = 0;

    bool cancelled() const { return result().status == Status::Cancelled; }
};

// Makes the transfers of one run. Transfers made by one factory share its connections.
class TransferFactory {
public:
    virtual ~TransferFactory() = default;
    virtual std::unique_ptr<Transfer> create() = 0;
};

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
