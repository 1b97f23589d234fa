#include "shell/Shell.h"

#include <QApplication>
#include <QWidget>

int runWindow() {
    QWidget window;
    window.setWindowTitle(QStringLiteral("Varnolux"));
    window.show();
    return QApplication::exec();
}
