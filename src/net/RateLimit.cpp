#include "net/RateLimit.h"

#include <chrono>

namespace net {

RateLimit::RateLimit(qint64 bytesPerSecond) : m_rate(qMax<qint64>(1, bytesPerSecond)) {}

std::shared_ptr<RateLimit> RateLimit::make(qint64 bytesPerSecond) {
    if (bytesPerSecond <= 0)
        return {};
    return std::make_shared<RateLimit>(bytesPerSecond);
}

qint64 RateLimit::nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

qint64 RateLimit::take(qint64 bytes) {
    const std::lock_guard lock(m_mutex);
    const double now = double(nowMs());
    if (m_nextFreeMs < now)
        m_nextFreeMs = now;
    m_nextFreeMs += double(bytes) * 1000.0 / double(m_rate);
    return qint64(m_nextFreeMs - now);
}

} // namespace net
