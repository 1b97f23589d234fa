#pragma once

#include "download/Transfer.h"

#include <memory>

class ActiveReply;

// The transfer over Qt Network: the thread's shared access manager (so connections are reused
// from one image to the next), TLS for https, the identity encoding, a bounded read buffer so a
// large body never piles up in memory, and the idle time-out and cancellation of ActiveReply.
class NetworkTransfer : public Transfer {
public:
    NetworkTransfer();
    ~NetworkTransfer() override;

    bool start(const QByteArray& address, QString* reason) override;
    void waitForResponse() override;
    QString headerValue(const QByteArray& name) const override;
    QByteArray nextChunk(qint64 size) override;
    void waitForEnd() override;
    void abort() override;
    QString failureReason() const override;
    bool cancelled() const override;

    // What the reply may hold unread: the network is read no faster than the body is written.
    static constexpr qint64 readBufferBytes = 512 * 1024;

private:
    std::unique_ptr<ActiveReply> m_active;
};
