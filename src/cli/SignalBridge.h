#pragma once

#include <memory>

// Turns a request to stop from outside into a cancelled run while it lives: SIGINT, SIGTERM and
// SIGHUP on POSIX systems; Ctrl+C, Ctrl+Break and closing the console on Windows. The run ends
// as a cancelled one does (part files removed, a summary), not by the default action.
// One bridge at a time: a second one made while the first lives stays inactive.
class SignalBridge {
public:
    SignalBridge();
    ~SignalBridge();
    SignalBridge(const SignalBridge&) = delete;
    SignalBridge& operator=(const SignalBridge&) = delete;

    // The exit status after a stop request: 128 plus the signal's number (SIGINT 130, SIGTERM
    // 143, SIGHUP 129); 0 when none came.
    static int exitStatus();

private:
    struct Platform;
    std::unique_ptr<Platform> m_platform;
};
