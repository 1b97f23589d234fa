#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

// Runs a child process to its end while the calling thread's event loop keeps turning, so an
// in-process TestServer goes on answering the child's requests meanwhile.
//
//     CliResult r = runVarnolux({QStringLiteral("list"), QString::fromLatin1(server.address("/"))});
//     QCOMPARE(r.exitCode, 0);
//     QCOMPARE(r.out, "a.png\n");
//
// runVarnolux() exists in test targets declared with varnolux_test(... CLI), which passes the
// built program's path as VARNOLUX_EXECUTABLE and builds the program first.

struct CliOptions {
    // Added to this process's environment, replacing variables of the same name.
    QList<std::pair<QString, QString>> environment;
    // Removed from the inherited environment.
    QStringList unsetEnvironment;
    // Written to the child's standard input, which is then closed. Without it, standard input is
    // closed at once, so a child that reads it sees end-of-file instead of waiting.
    std::optional<QByteArray> input;
    // Empty: this process's current folder.
    QString workingDirectory;
    // After this the child is killed and the result says timedOut.
    int timeLimitMs = 30000;
};

struct CliResult {
    // True when the child ran and exited by itself (whatever its exit code).
    bool finished = false;
    int exitCode = -1;
    bool timedOut = false;
    bool crashed = false;
    QByteArray out;
    QByteArray err;
    // Why finished is false: could not start, crashed, or time limit.
    QString errorString;
};

CliResult runProcess(const QString& program, const QStringList& arguments, const CliOptions& options = {});

#ifdef VARNOLUX_EXECUTABLE
inline QString varnoluxExecutable() {
    return QString::fromUtf8(VARNOLUX_EXECUTABLE);
}

inline CliResult runVarnolux(const QStringList& arguments, const CliOptions& options = {}) {
    return runProcess(varnoluxExecutable(), arguments, options);
}
#endif
