#include "cli/CommandLine.h"
#include "shell/Shell.h"

#include <QApplication>

#include <cstdio>

namespace {
// Without a display, QApplication would abort; say how to use the command-line mode instead.
bool haveDisplay() {
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}
} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        return runCommandLine(argc, argv);
#ifdef Q_OS_UNIX
    if (!haveDisplay()) {
        std::fputs("varnolux: no display to open the window on.\n", stderr);
        std::fputs(commandLineUsage().toLocal8Bit().constData(), stderr);
        return 2;
    }
#endif
    QApplication app(argc, argv);
    return runWindow();
}
