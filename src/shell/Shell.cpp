#include "shell/Shell.h"

#include "core/Network.h"
#include "shell/Form1.h"

#include <QApplication>

int runWindow() {
    int exitCode = 0;
    {
        Form1 window;
        window.Form_Load();
        window.show();
        exitCode = QApplication::exec();
    }
    network::releaseManager();
    return exitCode;
}
