#include "core/Folders.h"

#include <QFileInfo>

bool FolderExists(const QString& path) {
    if (path.isEmpty())
        return false;
    return QFileInfo(path).isDir();
}
