#include "shell/Shell.h"

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
    return exitCode;
}
