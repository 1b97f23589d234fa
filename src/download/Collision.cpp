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

net::Result reserve(const QString& folder, const QByteArray& name, QString& path) {
    for (int n = 0; n <= maxNumber; ++n) {
        const QByteArray candidate = n == 0 ? name : numbered(name, n);
        if (!fileName::checkFileName(candidate).ok())
            break; // the number made the name too long
        const QString candidatePath = fileName::pathInFolder(folder, candidate);
        const net::Result created = fileName::createNew(candidatePath);
        if (created.ok()) {
            path = candidatePath;
            return {};
        }
        if (!fileName::pathTaken(candidatePath))
            return net::Result::localFile(QStringLiteral("Cannot create %1: %2")
                                              .arg(QDir::toNativeSeparators(candidatePath), created.detail));
    }
    return net::Result::localFile(QStringLiteral("no free name is left for %1").arg(QString::fromUtf8(name)));
}

} // namespace collision
