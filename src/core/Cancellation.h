#pragma once

#include <QObject>

#include <atomic>

// The process-wide request to stop whatever run is active, made when the window closes mid-run.
// Every wait on the network or a child process listens for it, so the program ends promptly.
class Cancellation : public QObject {
    Q_OBJECT
public:
    static Cancellation& instance();
    static bool requested();
    static void request();
    // For tests that close a window and then go on in the same process.
    static void reset();

signals:
    void cancelled();

private:
    // Read by the download threads of a parallel run too.
    std::atomic<bool> m_requested = false;
};
