#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace net {

// What to fetch and how. The link goes on the wire as the page wrote it, with blanks, control
// bytes and bytes outside ASCII percent-encoded.
struct Request {
    QByteArray link;
    // Images are asked for as they are stored, so a length counts the bytes that arrive and a
    // compressed body is saved as sent. A page may come compressed and is decompressed.
    bool identityEncoding = true;
    // The address of the page the request comes from; empty: no Referer header. The Referer
    // each request on the way sends (the first and every redirect's) is worked out from it for
    // that request's own target, as browsers do by default (see refererFor()).
    QByteArray referer;
    QByteArray userAgent; // empty: "Varnolux/VERSION"
    // The most body bytes accepted (after decompression); -1 for no limit.
    qint64 maxBodyBytes = -1;
    // More header lines, each "Name: value" without its line break.
    QList<QByteArray> headers;

    bool operator==(const Request&) const = default;

    // An image request of the link, with the defaults above.
    static Request of(QByteArray link) {
        Request request;
        request.link = std::move(link);
        return request;
    }
};

// How a transfer ended. Ok while it runs or once it ended well.
enum class Status {
    Ok,
    HttpStatus,       // the server answered with something other than success
    CutShort,         // the connection ended before the announced length
    ChunkCut,         // a chunked body without its terminating chunk
    InvalidChunk,     // a chunk size that is not hex or does not fit
    InvalidLength,    // a length that is no number or beyond 63 bits
    TwoLengths,       // two different lengths for one body
    Idle,             // nothing arrived for the idle time
    TooSlow,          // less than lowSpeedBytes within twice the idle time
    TooManyRedirects, //
    InsecureRedirect, // from https to plain http
    NotWebRedirect,   // to a scheme other than http or https
    RefusedRedirect,  // to an address the request's handler does not go to; the detail names it
    NotWebAddress,    // the request itself is no http or https address
    TooBig,           // more body than maxBodyBytes
    Bomb,             // a compressed body that expands beyond reason
    Tls,              // the secure connection could not be made or trusted
    NameLookup,       // the host name is unknown
    Connect,          // the server could not be reached
    Proxy,            // the proxy could not be reached or refused
    NoAnswer,         // the server took the connection and closed it without a word
    Cancelled,        // the program is closing
    LocalFile,        // a file or folder on this machine could not be used; the detail is the system's reason
    Failed,           // anything else; the detail says what
};

struct Result {
    Result(Status status = Status::Ok, QString detail = {}, int httpStatus = 0, qint64 number = 0)
        : status(status), detail(std::move(detail)), httpStatus(httpStatus), number(number) {}

    Status status = Status::Ok;
    // What the table below words in: the reason phrase, the host, the redirect target, the
    // library's own words.
    QString detail;
    int httpStatus = 0;
    qint64 number = 0; // a count the wording needs (the redirect limit, the byte cap)

    bool ok() const { return status == Status::Ok; }

    // A file or folder on this machine that could not be used, in words naming it and the
    // system's reason.
    static Result localFile(QString words) { return {Status::LocalFile, std::move(words)}; }
};

// The user's words for a result; empty for Ok.
QString reasonText(const Result& result);

// How long a transfer may go without receiving anything before it fails; 30 s unless the
// environment variable VARNOLUX_IDLE_TIMEOUT_MS says otherwise (tests shorten it). A transfer
// paused because its reader is behind is not idle.
int idleTimeoutMs();
// A server that keeps a transfer alive with a byte now and then fails it too: fewer than
// lowSpeedBytes arriving within twice the idle time-out is too slow.
inline constexpr qint64 lowSpeedBytes = 1024;
inline constexpr int maxRedirects = 20;

// Link bytes as they go on the wire: blanks, control bytes and bytes outside ASCII
// percent-encoded, everything else as it is.
QByteArray wireAddress(const QByteArray& link);

} // namespace net
