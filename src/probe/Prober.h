#pragma once

#include "core/ImageDimensions.h"
#include "net/TransferLoop.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace probe {

// What the start of one image says of it.
struct ProbeResult {
    qint64 bytes = -1; // the whole image's length (Content-Range total or Content-Length); -1: unknown
    QByteArray contentType;
    ImageDimensions dimensions;
    net::Result failure; // the probe could not be made; what it tells is unknown then
};

// Probes the listed links through the run's loop (its per-host limits and pauses) with a Range
// request for their first probeBytes; a server that ignores the range is read only as far and cut
// off. At most `parallel` probes are on the wire at once. Each link is probed once per run: the
// results are kept. Nothing waits; the reports come from the event loop.
class Prober {
public:
    Prober(net::Transfers& loop, QByteArray referer, int parallel);
    ~Prober();
    Prober(const Prober&) = delete;
    Prober& operator=(const Prober&) = delete;

    // Probes the links; each is told in list order as soon as it and those before it are known,
    // then done.
    void start(QList<QByteArray> links, std::function<void(int index, const ProbeResult& result)> each,
               std::function<void()> done);

    static constexpr qint64 probeBytes = 64 * 1024;

private:
    class One;
    void next();
    void ended(int index, ProbeResult result);

    QObject m_context; // what the probes report comes through it
    net::Transfers& m_loop;
    QByteArray m_referer;
    int m_parallel;
    QList<QByteArray> m_links;
    std::vector<std::unique_ptr<One>> m_active;
    std::vector<std::optional<ProbeResult>> m_results;
    std::function<void(int, const ProbeResult&)> m_each;
    std::function<void()> m_done;
    int m_started = 0;
    int m_told = 0;
};

} // namespace probe
