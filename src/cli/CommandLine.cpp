#include "cli/CommandLine.h"

#include "cli/Commands.h"
#include "cli/Describe.h"
#include "cli/Options.h"
#include "core/Product.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace cli {

void printErr(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stderr);
}

int usageError(const QString& problem) {
    printErr(QStringLiteral("varnolux: %1\n").arg(problem));
    printErr(QStringLiteral("Try 'varnolux --help' for more information.\n"));
    return ExitUsage;
}

namespace {

void printOut(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
}

// For the build and its tests, not for users: the manual's OPTIONS section and the shells'
// completion scripts, printed from the option table. -1 when the arguments ask for neither.
int printDescription(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--print-man-options") == 0) {
        printOut(manualOptions());
        return ExitOk;
    }
    if (argc == 3 && std::strcmp(argv[1], "--print-completion") == 0) {
        const QLatin1StringView shell(argv[2]);
        if (shell == QLatin1StringView("bash"))
            printOut(completion(Shell::Bash));
        else if (shell == QLatin1StringView("zsh"))
            printOut(completion(Shell::Zsh));
        else if (shell == QLatin1StringView("fish"))
            printOut(completion(Shell::Fish));
        else
            return usageError(QStringLiteral("no completion for the shell '%1'").arg(shell));
        return ExitOk;
    }
    return -1;
}

} // namespace
} // namespace cli

QString commandLineUsage() {
    return cli::usageText();
}

int runCommandLine(int argc, char** argv) {
    using namespace cli;
    // Before the application object: the build runs this and needs nothing else.
    if (const int described = printDescription(argc, argv); described >= 0)
        return described;
    // Without a window there is nothing to share GLib's main loop with, and Qt's own event
    // dispatcher wakes and polls with fewer system calls: a run of many small files is faster.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(product::name);
    QCoreApplication::setApplicationVersion(QStringLiteral(VARNOLUX_VERSION));
    QStringList args = QCoreApplication::arguments().mid(1);
    const QString command = args.isEmpty() ? QString() : args.takeFirst();

    if (command == QLatin1StringView("--help") || command == QLatin1StringView("-h") ||
        command == QLatin1StringView("help")) {
        printOut(usageText());
        return ExitOk;
    }
    if (command == QLatin1StringView("--version") || command == QLatin1StringView("-V")) {
        std::printf("varnolux %s\n", VARNOLUX_VERSION);
        return ExitOk;
    }
    if (args.contains(QLatin1StringView("--help")) && !args.contains(QLatin1StringView("--"))) {
        printOut(usageText());
        return ExitOk;
    }
    if (command == QLatin1StringView("list") || command == QLatin1StringView("download")) {
        // The one event loop of the command: the run goes on through it and ends it.
        const bool list = command == QLatin1StringView("list");
        std::unique_ptr<RunningCommand> running;
        QTimer::singleShot(0, &app, [&] {
            const auto done = [](int exitCode) { QCoreApplication::exit(exitCode); };
            running = list ? startList(args, done) : startDownload(args, done);
        });
        const int exitCode = QCoreApplication::exec();
        running.reset();
        return exitCode;
    }
    return usageError(QStringLiteral("unknown command '%1'").arg(command));
}
