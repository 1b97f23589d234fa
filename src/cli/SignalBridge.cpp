#include "cli/SignalBridge.h"

#include "core/Cancellation.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <csignal>

namespace {

// The signal that asked the run to stop, 0 for none; written by the handler.
volatile std::sig_atomic_t g_signal = 0;
// Set while a bridge is active, so a second one cannot take over the handlers.
std::atomic<bool> g_active = false;

} // namespace

#ifdef Q_OS_WIN

#include <windows.h>

namespace {

// Runs on a thread the system starts for the event; the cancellation is queued to the
// application's thread.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        g_signal = SIGINT;
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        g_signal = SIGTERM;
        break;
    default:
        return FALSE;
    }
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { Cancellation::request(); }, Qt::QueuedConnection);
    return TRUE;
}

} // namespace

struct SignalBridge::Platform {
    Platform() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }
    ~Platform() { SetConsoleCtrlHandler(onConsoleEvent, FALSE); }
};

#else

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The handler only writes one byte into a pipe that the event loop watches (the self-pipe
// trick): write() is async-signal-safe, Qt's calls are not.
int g_pipe[2] = {-1, -1};
constexpr int g_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void onSignal(int number) {
    const int savedErrno = errno;
    g_signal = number;
    const char byte = char(number);
    if (g_pipe[1] >= 0) [[maybe_unused]]
        const auto written = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

bool closeOnExecNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 && flags >= 0 &&
           ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

struct SignalBridge::Platform {
    Platform() {
        if (::pipe(g_pipe) != 0)
            return;
        // A full pipe must never block the handler (one byte already cancels), nor an empty one
        // the loop that drains it.
        if (!closeOnExecNonBlocking(g_pipe[0]) || !closeOnExecNonBlocking(g_pipe[1])) {
            closePipe();
            return;
        }
        notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [] {
            char bytes[16];
            while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
            }
            Cancellation::request();
        });
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        // A signal that breaks a system call must not fail it: the run reacts through the loop.
        action.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < std::size(g_signals); ++i)
            installed[i] = ::sigaction(g_signals[i], &action, &previous[i]) == 0;
    }
    ~Platform() {
        for (std::size_t i = 0; i < std::size(g_signals); ++i)
            if (installed[i])
                ::sigaction(g_signals[i], &previous[i], nullptr);
        notifier.reset();
        closePipe();
    }
    void closePipe() {
        for (int& fd : g_pipe)
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
    }

    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction previous[std::size(g_signals)] = {};
    bool installed[std::size(g_signals)] = {};
};

#endif

SignalBridge::SignalBridge() {
    bool expected = false;
    if (g_active.compare_exchange_strong(expected, true))
        m_platform = std::make_unique<Platform>();
}

SignalBridge::~SignalBridge() {
    if (m_platform) {
        m_platform.reset();
        g_active = false;
    }
}

int SignalBridge::exitStatus() {
    return g_signal ? 128 + int(g_signal) : 0;
}
