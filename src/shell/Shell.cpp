#include "shell/Shell.h"

#include "shell/Form1.h"

#include <QApplication>

int runWindow() {
    Form1 window;
    window.Form_Load();
    window.show();
    return QApplication::exec();
}
