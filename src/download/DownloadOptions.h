#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// What to do when the file an entry is saved as exists already.
enum class OnExists {
    Replace, // the new file replaces it once it has arrived whole
    Skip,    // the existing file stays and the link is not fetched
    Rename,  // the new file is saved as "name (1).ext", "name (2).ext", ...
};

std::optional<OnExists> onExistsFromText(const QString& text);
QLatin1StringView onExistsText(OnExists onExists);

// How a download run fetches: the defaults are one image after another, replacing, no retry.
struct DownloadOptions {
    int parallel = 1;
    OnExists onExists = OnExists::Replace;
    int retries = 0;
    // Extra request header lines, "Name: value", sent with every image request.
    QList<QByteArray> headers;
    // Read by the window's run from its settings; the command line takes them as options.
    qint64 limitRate = 0; // bytes per second for the whole run; 0: none
    qint64 waitMs = 0;    // between two requests to one host
    QString cookieFile;   // a Netscape cookie file; empty: none
    QString archive;      // the download archive; empty: none

    static constexpr int maxParallel = 16;
    static constexpr int maxPerHost = 6;
    static constexpr int maxRetries = 100;
};

// A rate as curl takes it: bytes per second, or with k, M or G (powers of 1024, either case);
// nullopt when malformed or below one byte per second.
std::optional<qint64> parseRate(const QString& value);

// The timing of retries. A transfer that failed in a way a later try may mend waits 1 s, 2 s,
// 4 s, ... (at most 60 s) before the next try, or as long as the server's Retry-After says (at
// most 120 s).
namespace retry {

// Whether a failure with that HTTP status is worth another try.
bool retryableStatus(int httpStatus);
// The wait before retry number n (1 for the first retry), in milliseconds.
qint64 backoffMs(int n);
// A Retry-After value (seconds, or an HTTP date) as milliseconds from now; nullopt when it is
// missing, malformed or in the past, so that the ordinary back-off applies.
std::optional<qint64> retryAfterMs(const QByteArray& value, const QDateTime& now);
inline constexpr qint64 maxBackoffSeconds = 60;
inline constexpr qint64 maxRetryAfterSeconds = 120;
// One second of waiting, in milliseconds: 1000 unless the environment variable
// VARNOLUX_RETRY_UNIT_MS says otherwise (tests shorten it).
qint64 unitMs();

} // namespace retry
