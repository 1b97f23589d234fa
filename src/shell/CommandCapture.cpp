#include "shell/CommandCapture.h"

#include "core/Cancellation.h"
#include "core/ErrorTrap.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#if defined(Q_OS_UNIX)
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif
#if defined(Q_OS_WIN)
#include <qt_windows.h>
#endif

using namespace std::chrono_literals;

namespace {

// The captured bytes are converted once, after the last read, so a multi-byte character that a
// read boundary splits still comes out whole.
QString decode(const QByteArray& bytes, bool convertFromOem) {
#if defined(Q_OS_WIN)
    if (convertFromOem && !bytes.isEmpty()) {
        const int size = static_cast<int>(bytes.size());
        const int length = MultiByteToWideChar(CP_OEMCP, 0, bytes.constData(), size, nullptr, 0);
        QString text(length, Qt::Uninitialized);
        MultiByteToWideChar(CP_OEMCP, 0, bytes.constData(), size, reinterpret_cast<wchar_t*>(text.data()),
                            length);
        return text;
    }
#else
    // Only Windows has an OEM code page; elsewhere a console program writes the locale's text.
    Q_UNUSED(convertFromOem);
#endif
    return QString::fromLocal8Bit(bytes);
}

// What ends a wait besides the end of the output: the program closing, or the caller's limit.
class Interruptions {
public:
    Interruptions(QEventLoop& loop, std::chrono::milliseconds timeLimit) {
        QObject::connect(&Cancellation::instance(), &Cancellation::cancelled, &loop, [this, &loop] {
            m_cancelled = true;
            loop.quit();
        });
        if (timeLimit > 0ms) {
            m_limit.setSingleShot(true);
            QObject::connect(&m_limit, &QTimer::timeout, &loop, [this, &loop] {
                m_timedOut = true;
                loop.quit();
            });
            m_limit.start(timeLimit);
        }
    }

    bool any() const { return m_cancelled || m_timedOut || Cancellation::requested(); }

private:
    QTimer m_limit;
    bool m_cancelled = false;
    bool m_timedOut = false;
};

// Lets go of a child without waiting for it: one cut short is killed, and the QProcess lives on
// until the child has ended, so it is reaped without blocking the window.
void release(QProcess* process, bool kill) {
    if (process->state() == QProcess::NotRunning) {
        delete process;
        return;
    }
    // Owned by the application meanwhile, so a child still running when the program ends is
    // cleaned up with it rather than leaked.
    process->setParent(QCoreApplication::instance());
    QObject::connect(process, &QProcess::stateChanged, process, [process](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning)
            process->deleteLater();
    });
    if (kill)
        process->kill();
}

QProcess* newProcess(const QString& commandLine) {
    QStringList arguments = QProcess::splitCommand(commandLine);
    auto* process = new QProcess;
    if (!arguments.isEmpty())
        process->setProgram(arguments.takeFirst());
    process->setArguments(arguments);
    // The child gets no input, so a program that reads it ends instead of waiting forever.
    process->setStandardInputFile(QProcess::nullDevice());
#if defined(Q_OS_WIN)
    process->setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* args) {
        args->flags |= CREATE_NO_WINDOW;
        args->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        args->startupInfo->wShowWindow = SW_HIDE;
    });
#endif
    return process;
}

#if defined(Q_OS_UNIX)

// One pipe of our own whose write end becomes the child's standard output and/or standard error.
// Sharing one pipe keeps the two streams in the order the child wrote them, and the output ends
// when the last writer (the child or any child of its own) has closed it.
QString capture(const QString& commandLine, bool wantOutput, bool wantErrors, bool convertFromOem,
                std::chrono::milliseconds timeLimit) {
    int ends[2];
    if (::pipe(ends) != 0)
        return {};
    const int readEnd = ends[0];
    const int writeEnd = ends[1];
    // Neither end passes to the child as itself; the write end gets there only as a standard handle.
    ::fcntl(readEnd, F_SETFD, FD_CLOEXEC);
    ::fcntl(writeEnd, F_SETFD, FD_CLOEXEC);
    ::fcntl(readEnd, F_SETFL, ::fcntl(readEnd, F_GETFL) | O_NONBLOCK);

    QProcess* process = newProcess(commandLine);
    // An unwanted stream goes nowhere.
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->setChildProcessModifier([writeEnd, wantOutput, wantErrors] {
        if (wantOutput)
            ::dup2(writeEnd, STDOUT_FILENO);
        if (wantErrors)
            ::dup2(writeEnd, STDERR_FILENO);
    });

    QEventLoop loop;
    Interruptions interruptions(loop, timeLimit);
    QByteArray captured;
    QByteArray buffer(commandCapture::readSize, Qt::Uninitialized);
    bool pipeClosed = false;
    bool failedToStart = false;

    // One read per wake-up, so the window gets its turn between reads.
    QSocketNotifier notifier(readEnd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
        const ssize_t got = ::read(readEnd, buffer.data(), commandCapture::readSize);
        if (got > 0) {
            captured.append(buffer.constData(), got);
            return;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        pipeClosed = true;
        notifier.setEnabled(false);
        loop.quit();
    });
    QObject::connect(process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            failedToStart = true;
        loop.quit();
    });
    QObject::connect(process, &QProcess::stateChanged, &loop, &QEventLoop::quit);

    process->start();
    ::close(writeEnd);
    // A closed pipe may be seen before QProcess learns whether the program could be started.
    while (!interruptions.any() && !(pipeClosed && process->state() != QProcess::Starting))
        loop.exec();

    notifier.setEnabled(false);
    ::close(readEnd);
    release(process, interruptions.any());
    if (failedToStart)
        return commandCapture::failedToStart;
    return decode(captured, convertFromOem);
}

#else

// QProcess's own pipes; with merged channels both streams share one pipe in the child.
QString capture(const QString& commandLine, bool wantOutput, bool wantErrors, bool convertFromOem,
                std::chrono::milliseconds timeLimit) {
    QProcess* process = newProcess(commandLine);
    if (wantOutput && wantErrors) {
        process->setProcessChannelMode(QProcess::MergedChannels);
    } else if (wantOutput) {
        process->setStandardErrorFile(QProcess::nullDevice());
    } else {
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setReadChannel(QProcess::StandardError);
    }

    QEventLoop loop;
    Interruptions interruptions(loop, timeLimit);
    QByteArray captured;
    QByteArray buffer(commandCapture::readSize, Qt::Uninitialized);
    bool pipeClosed = false;
    bool failedToStart = false;
    auto readAll = [&] {
        qint64 got = 0;
        while ((got = process->read(buffer.data(), commandCapture::readSize)) > 0)
            captured.append(buffer.constData(), got);
    };

    QObject::connect(process, &QProcess::readyRead, &loop, readAll);
    QObject::connect(process, &QProcess::readChannelFinished, &loop, [&] {
        pipeClosed = true;
        loop.quit();
    });
    QObject::connect(process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            failedToStart = true;
        loop.quit();
    });
    QObject::connect(process, &QProcess::stateChanged, &loop, &QEventLoop::quit);

    process->start();
    while (!interruptions.any() && !failedToStart && !pipeClosed && process->state() != QProcess::NotRunning)
        loop.exec();

    if (!interruptions.any() && !failedToStart)
        readAll();
    release(process, interruptions.any());
    if (failedToStart)
        return commandCapture::failedToStart;
    return decode(captured, convertFromOem);
}

#endif

} // namespace

QString RunCommand(const QString& commandLine, bool wantOutput, bool wantErrors, bool convertFromOem,
                   std::chrono::milliseconds timeLimit) {
    if (!wantOutput && !wantErrors)
        throw StepFailure(QStringLiteral("Invalid procedure call or argument"));
    if (Cancellation::requested())
        return {};
    return capture(commandLine, wantOutput, wantErrors, convertFromOem, timeLimit);
}
