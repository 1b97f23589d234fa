#include "download/Collision.h"

#include "download/FileName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace collision {

QByteArray numbered(const QByteArray& name, int n) {
    const QByteArray suffix = " (" + QByteArray::number(n) + ')';
    const qsizetype dot = name.lastIndexOf('.');
    if (dot <= 0)
        return name + suffix;
    return name.left(dot) + suffix + name.mid(dot);
}

bool reserve(const QString& folder, const QByteArray& name, QString* path, QString* reason) {
    QFile file;
    for (int n = 0; n <= maxNumber; ++n) {
        const QByteArray candidate = n == 0 ? name : numbered(name, n);
        if (!fileName::checkFileName(candidate).isEmpty())
            break; // the number made the name too long
        file.setFileName(fileName::pathInFolder(folder, candidate));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            file.close();
            *path = file.fileName();
            return true;
        }
        const QFileInfo taken(file.fileName());
        if (!taken.exists() && !taken.isSymLink()) {
            *reason = QStringLiteral("Cannot create %1: %2")
                          .arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
            return false;
        }
    }
    *reason = QStringLiteral("no free name is left for %1").arg(QString::fromUtf8(name));
    return false;
}

} // namespace collision
