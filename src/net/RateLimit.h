#pragma once

#include <QtGlobal>

#include <memory>
#include <mutex>

namespace net {

// One budget of bytes per second for every transfer of a run, whichever factory or thread made
// it: the page, the images read now, those requested early and those of parallel lanes draw on
// it together. A transfer that received more than the budget allows stops reading its connection
// for the time it is ahead, so the run as a whole keeps to the rate from its first bytes on.
class RateLimit {
public:
    explicit RateLimit(qint64 bytesPerSecond);

    // A shared budget of bytesPerSecond; null for 0 (no limit).
    static std::shared_ptr<RateLimit> make(qint64 bytesPerSecond);

    qint64 bytesPerSecond() const { return m_rate; }
    // Counts bytes just received; how many milliseconds their receiver is to wait before it
    // takes more, 0 when it may go on at once. Time unused is not saved up for later.
    qint64 take(qint64 bytes);

private:
    // Milliseconds on a monotonic clock.
    static qint64 nowMs();

    const qint64 m_rate;
    std::mutex m_mutex;
    double m_nextFreeMs = 0; // when the bytes counted so far are paid for
};

} // namespace net
