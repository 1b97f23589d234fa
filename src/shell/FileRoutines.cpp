#include "shell/FileRoutines.h"

#include "core/ErrorTrap.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

bool FileExists(const QString& path) {
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.exists() && info.lastModified().isValid();
}

QString DesktopFolder(const QString& desktopLocation) {
    if (desktopLocation.isEmpty())
        throw StepFailure(QStringLiteral("Invalid procedure call or argument"));
    QString folder = QDir::toNativeSeparators(desktopLocation);
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    return folder;
}

QString firstStartFolder(const QString& desktop, const QString& pictures, const QString& home) {
    if (!desktop.isEmpty() && !QFileInfo(desktop).isDir()) {
        for (const QString& other : {pictures, home})
            if (!other.isEmpty() && QFileInfo(other).isDir())
                return DesktopFolder(other);
    }
    return DesktopFolder(desktop);
}

QString platformDesktopLocation() {
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
}
