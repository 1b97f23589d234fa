#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The four operations the download engine needs from a transfer component: start a GET, wait for
// the response, read a header, read the body in chunks. One transfer runs at a time; starting
// another ends the one before. The real one talks HTTP through Qt Network; tests may wrap it.
class Transfer {
public:
    virtual ~Transfer() = default;

    // Starts a GET of the address and returns at once. False, with a readable reason, when the
    // request cannot even start (not a web address).
    virtual bool start(const QByteArray& address, QString* reason) = 0;
    // The addresses that will probably be started next, the next one first. A transfer may
    // request them early so that one response is on its way while another is written; start()
    // still decides what is fetched and saved, and an early request nobody starts is dropped.
    virtual void expect(const QList<QByteArray>& addresses) { Q_UNUSED(addresses); }
    // Waits, without polling, until the response's status and headers are in or the transfer
    // ended. Other events run meanwhile.
    virtual void waitForResponse() = 0;
    // A header of the response as text; empty when the response has none.
    virtual QString headerValue(const QByteArray& name) const = 0;
    // The next body bytes, at most size of them. Waits until size bytes are there, so fewer come
    // back only when the body ended, the transfer failed or it was cancelled.
    virtual QByteArray nextChunk(qint64 size) = 0;
    // Waits until the transfer has ended.
    virtual void waitForEnd() = 0;
    // Body bytes that arrived and were not read.
    virtual qint64 unreadBytes() const = 0;
    // Stops the transfer; the rest of the body is not wanted.
    virtual void abort() = 0;

    // Why the transfer failed so far, readable by a user; empty while nothing went wrong. A
    // status other than success counts as a failure.
    virtual QString failureReason() const = 0;
    // The response's HTTP status; 0 while there is none.
    virtual int status() const = 0;
    // True when the transfer was cut off because the program is closing.
    virtual bool cancelled() const = 0;
};
