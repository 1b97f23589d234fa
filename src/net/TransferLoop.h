#pragma once

#include "net/Transfer.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <utility>

namespace net {

// The final response of a transfer, redirects followed.
struct Response {
    int status = 0;
    QByteArray phrase;
    QByteArray finalAddress; // as sent on the wire
    QList<std::pair<QByteArray, QByteArray>> headers;
    bool chunked = false;

    // A header as sent, whatever the letter case of its name; empty when it has none. A chunked
    // body has no Content-Length: the transfer coding frames it and overrides any length beside it.
    QByteArray header(QByteArrayView name) const;
};

// What a transfer tells whoever submitted it, on the loop's thread, in this order: head() once
// for the final response (not when the transfer fails before one), body() for each piece of a
// successful response's body, finished() exactly once. A response other than success ends with
// finished(HttpStatus) after head(); its body is not handed over.
class TransferHandler {
public:
    enum class Take {
        Taken,
        // Not taken now: the loop holds the connection, and hands the same bytes over again once
        // resume() is called. Time held is no silence of the server.
        Later,
    };
    virtual ~TransferHandler() = default;
    virtual void head(const Response& response) { Q_UNUSED(response); }
    // A piece of the body, valid during the call only.
    virtual Take body(QByteArrayView piece) = 0;
    virtual void finished(const Result& result) = 0;
    // Asked before a redirect is followed, with its target as it goes on the wire; false ends
    // the transfer with RefusedRedirect (a followed page may only lead to the hosts allowed).
    virtual bool redirectAllowed(const QByteArray& target) {
        Q_UNUSED(target);
        return true;
    }
};

// What a request is for. Images count against the run's cap of transfers in flight; every kind
// waits for its host's turn.
enum class Purpose { Page, Image, Probe };

// A host that asked the run to slow down (429 or 503): every request to it waits until then.
struct HostPause {
    QByteArray host; // scheme://host:port
    QDateTime until; // UTC
    int httpStatus = 0;
};

// Every transfer of one run: the page, each image, later probes and followed pages. Requests go
// in as values, reports come back to a handler on the thread that made the loop; nothing waits.
// Per-host politeness is kept here, shared by every request to a host:
//  - a 429 or 503 pauses the host for all its queued requests, as long as Retry-After says (at
//    most retry::maxRetryAfterSeconds) or else by the back-off of that host's consecutive refusals;
//  - a 429 halves the host's concurrency for the rest of the run (never below one);
//  - the run's wait (--wait) is kept between two requests to one host.
class Transfers {
public:
    using Id = quint64;

    virtual ~Transfers() = default;

    // Queues the request; it goes on the wire when the run's cap and its host allow. The handler
    // must outlive the transfer, or cancel it first. Returns 0, after calling finished() with
    // the reason, when the request cannot even start (not a web address, the run cancelled).
    virtual Id submit(const Request& request, TransferHandler& handler, Purpose purpose = Purpose::Image) = 0;
    // Hands over the bytes a handler did not take, and goes on reading.
    virtual void resume(Id id) = 0;
    // Ends the transfer; its handler hears nothing more.
    virtual void cancel(Id id) = 0;

    // At most this many image transfers on the wire at once (--parallel); 1 by default.
    virtual void setMaxInFlight(int count) = 0;
    // Told each time a host is paused.
    virtual void setPauseListener(std::function<void(const HostPause&)> listener) = 0;
    // The hosts paused now, with until when.
    virtual QList<HostPause> pausedHosts() const = 0;
};

} // namespace net
