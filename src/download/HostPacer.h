#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QString>

#include <mutex>

// Keeps a pause between two requests to the same host, for every lane of a run at once: each
// request takes the next free moment of its host.
class HostPacer {
public:
    explicit HostPacer(qint64 gapMs);
    // Takes the host's next moment; how many milliseconds to wait for it (0: go now).
    qint64 reserve(const QString& host);
    qint64 gapMs() const { return m_gapMs; }

    // The host part of a link that pacing goes by: scheme, host and port.
    static QString hostOf(const QByteArray& link);

private:
    std::mutex m_lock;
    QElapsedTimer m_clock;
    QHash<QString, qint64> m_next;
    qint64 m_gapMs;
};
