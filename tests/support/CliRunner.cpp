#include "support/CliRunner.h"

#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

CliResult runProcess(const QString& program, const QStringList& arguments, const CliOptions& options) {
    CliResult result;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : options.unsetEnvironment)
        environment.remove(name);
    for (const auto& [name, value] : options.environment)
        environment.insert(name, value);
    process.setProcessEnvironment(environment);
#ifdef Q_OS_LINUX
    // Should the test process die, its child must not outlive it.
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
#endif
    if (!options.workingDirectory.isEmpty())
        process.setWorkingDirectory(options.workingDirectory);

    QEventLoop loop;
    bool failedToStart = false;
    QObject::connect(&process, &QProcess::started, &loop, [&] {
        if (options.input)
            process.write(*options.input);
        process.closeWriteChannel();
    });
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            failedToStart = true;
            loop.quit();
        }
    });
    // On the limit, kill and keep waiting: SIGKILL ends the child promptly, and its output up
    // to then is still worth reporting.
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
        result.timedOut = true;
        process.kill();
    });

    process.start(program, arguments);
    limit.start(options.timeLimitMs);
    if (!failedToStart)
        loop.exec();
    limit.stop();

    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    if (failedToStart) {
        result.errorString = QStringLiteral("could not start %1: %2").arg(program, process.errorString());
    } else if (result.timedOut) {
        result.errorString = QStringLiteral("killed after %1 ms").arg(options.timeLimitMs);
    } else if (process.exitStatus() == QProcess::CrashExit) {
        result.crashed = true;
        result.errorString = QStringLiteral("crashed: ") + process.errorString();
    } else {
        result.finished = true;
        result.exitCode = process.exitCode();
    }
    return result;
}
