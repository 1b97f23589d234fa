#pragma once

#include "net/Transfer.h"

#include <QByteArray>
#include <QDateTime>

#include <optional>

namespace net {

// The timing of retries. A transfer that failed in a way a later try may mend waits 1 s, 2 s,
// 4 s, ... (at most 60 s) before the next try, or as long as the server's Retry-After says (at
// most 120 s).
namespace retry {

// Whether a failure with that HTTP status is worth another try.
bool retryableStatus(int httpStatus);
// Whether a transfer that ended so is worth another try: the connection failed or broke off, went
// quiet, or the server answered with a passing trouble. Decided by the status alone.
bool retryable(const Result& result);
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

} // namespace net
