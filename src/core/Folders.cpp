#include "core/Folders.h"

#include <QFileDevice>
#include <QFileInfo>
#include <QThreadPool>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

bool FolderExists(const QString& path) {
    if (path.isEmpty())
        return false;
    return QFileInfo(path).isDir();
}

void closeWithoutWaiting(QFileDevice& file) {
#ifndef Q_OS_WIN
    const int handle = file.isOpen() ? file.handle() : -1;
    const int kept = handle >= 0 ? ::dup(handle) : -1;
    file.close();
    if (kept >= 0)
        QThreadPool::globalInstance()->start([kept] { ::close(kept); });
#else
    file.close();
#endif
}
