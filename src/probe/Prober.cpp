#include "probe/Prober.h"

#include "probe/ImageHeader.h"

#include <QObject>
#include <QTimer>

#include <algorithm>

namespace probe {

namespace {

// "bytes 0-65535/2097152" -> 2097152; "bytes */0" -> 0; -1 when it names no total.
qint64 rangeTotal(const QByteArray& contentRange) {
    const qsizetype slash = contentRange.lastIndexOf('/');
    if (slash < 0)
        return -1;
    bool ok = false;
    const qint64 total = contentRange.mid(slash + 1).trimmed().toLongLong(&ok);
    return ok && total >= 0 ? total : -1;
}

} // namespace

// One link's probe: the request's handler, until its result is known.
class Prober::One : public net::TransferHandler {
public:
    One(Prober& prober, int index) : m_prober(prober), m_index(index) {}
    int index() const { return m_index; }
    ~One() override {
        if (m_id != 0)
            m_prober.m_loop.cancel(m_id);
    }

    void start(const QByteArray& link) {
        net::Request request = net::Request::of(link);
        request.referer = m_prober.m_referer;
        request.headers.append("Range: bytes=0-" + QByteArray::number(probeBytes - 1));
        m_id = m_prober.m_loop.submit(request, *this, net::Purpose::Probe);
    }

    void head(const net::Response& response) override {
        m_result.contentType = response.header("Content-Type");
        if (response.status == 206 || response.status == 416) {
            m_result.bytes = rangeTotal(response.header("Content-Range"));
        } else if (response.status >= 200 && response.status <= 299) {
            bool ok = false;
            const qint64 length = response.header("Content-Length").trimmed().toLongLong(&ok);
            m_result.bytes = ok ? length : -1;
        }
        // An empty image has nothing more to tell.
        if (response.status == 416)
            end(true);
    }

    Take body(QByteArrayView piece) override {
        if (m_ended)
            return Take::Taken;
        piece = piece.first(qMin(piece.size(), probeBytes - m_bytes.size()));
        // The first piece alone mostly holds the whole header: it is read where it lies, and
        // copied only when more must be added to it.
        if (!m_bytes.isEmpty())
            m_bytes += piece;
        const QByteArrayView bytes = m_bytes.isEmpty() ? piece : QByteArrayView(m_bytes);
        if (bytes.size() >= m_nextTry || bytes.size() >= probeBytes) {
            m_nextTry = bytes.size() * 2;
            m_result.dimensions = readDimensions(bytes, false);
        }
        if (m_result.dimensions.state == ImageDimensions::State::NeedMore && m_bytes.isEmpty())
            m_bytes = piece.toByteArray();
        // Enough: what the server sends beyond the range (one that ignores it) is not read.
        if (m_result.dimensions.state != ImageDimensions::State::NeedMore || m_bytes.size() >= probeBytes)
            end(false);
        return Take::Taken;
    }

    void finished(const net::Result& result) override {
        m_id = 0;
        if (m_ended)
            return;
        if (!result.ok() && m_bytes.isEmpty() && result.status != net::Status::Cancelled)
            m_result.failure = result;
        end(result.ok());
    }

private:
    void end(bool complete) {
        if (m_ended)
            return;
        m_ended = true;
        if (m_result.dimensions.state == ImageDimensions::State::NeedMore) {
            m_result.dimensions = readDimensions(m_bytes, complete);
            if (m_result.dimensions.state == ImageDimensions::State::NeedMore)
                m_result.dimensions.state = ImageDimensions::State::Unknown;
        }
        m_bytes = {};
        if (const net::Transfers::Id id = std::exchange(m_id, 0); id != 0)
            m_prober.m_loop.cancel(id);
        // Told from the event loop, never from inside the loop's own report.
        QTimer::singleShot(0, &m_prober.m_context, [prober = &m_prober, index = m_index, result = m_result] {
            prober->ended(index, result);
        });
    }

    Prober& m_prober;
    int m_index;
    net::Transfers::Id m_id = 0;
    QByteArray m_bytes;
    qsizetype m_nextTry = 64;
    bool m_ended = false;
    ProbeResult m_result;
};

Prober::Prober(net::Transfers& loop, QByteArray referer, int parallel)
    : m_loop(loop), m_referer(std::move(referer)), m_parallel(qMax(1, parallel)) {}

Prober::~Prober() = default;

void Prober::start(QList<QByteArray> links, std::function<void(int, const ProbeResult&)> each,
                   std::function<void()> done) {
    m_links = std::move(links);
    m_results.assign(size_t(m_links.size()), std::nullopt);
    m_each = std::move(each);
    m_done = std::move(done);
    m_started = 0;
    m_told = 0;
    next();
}

void Prober::next() {
    while (int(m_active.size()) < m_parallel && m_started < m_links.size()) {
        const int index = m_started++;
        m_active.push_back(std::make_unique<One>(*this, index));
        m_active.back()->start(m_links[index]);
    }
    if (m_active.empty() && m_told == m_links.size() && m_done)
        std::exchange(m_done, {})();
}

void Prober::ended(int index, ProbeResult result) {
    m_results[size_t(index)] = std::move(result);
    // Its handler goes now: its report has returned.
    const auto it = std::find_if(m_active.begin(), m_active.end(),
                                 [&](const auto& one) { return one->index() == index; });
    std::unique_ptr<One> gone;
    if (it != m_active.end()) {
        gone = std::move(*it);
        m_active.erase(it);
    }
    while (m_told < m_links.size() && m_results[size_t(m_told)]) {
        if (m_each)
            m_each(m_told, *m_results[size_t(m_told)]);
        ++m_told;
    }
    next();
}

} // namespace probe
