#pragma once

#include "download/Transfer.h"

#include <QMetaObject>

#include <memory>
#include <vector>

class ActiveReply;
class QNetworkReply;

// The transfer over Qt Network: the thread's shared access manager (so connections are reused
// from one image to the next), TLS for https, the identity encoding, a bounded read buffer so a
// large body never piles up in memory, and the idle time-out and cancellation of ActiveReply.
// Expected addresses are requested a few ahead on parallel connections, which hides the cost of
// each request behind the writing of the one before.
class NetworkTransfer : public Transfer {
public:
    NetworkTransfer();
    ~NetworkTransfer() override;

    bool start(const QByteArray& address, QString* reason) override;
    void expect(const QList<QByteArray>& addresses) override;
    void waitForResponse() override;
    QString headerValue(const QByteArray& name) const override;
    QByteArray nextChunk(qint64 size) override;
    void waitForEnd() override;
    qint64 unreadBytes() const override;
    void abort() override;
    QString failureReason() const override;
    int status() const override;
    bool cancelled() const override;

    // What a reply may hold unread: the network is read no faster than the body is written.
    static constexpr qint64 readBufferBytes = 512 * 1024;
    // How many expected addresses are requested ahead of time.
    static constexpr int maxEarly = 4;

private:
    struct Early {
        QByteArray address;
        QNetworkReply* reply;
    };
    QNetworkReply* request(const QByteArray& address, QString* reason);
    static void stop(QNetworkReply* reply);
    static void drop(QNetworkReply* reply);
    void dropEarly();

    std::unique_ptr<ActiveReply> m_active;
    std::vector<Early> m_early;
    QMetaObject::Connection m_cancelled;
};
