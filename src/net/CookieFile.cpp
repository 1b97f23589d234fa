#include "net/CookieFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

namespace net {

CookieFileCheck checkCookieFile(const QString& path) {
    CookieFileCheck check;
    QFile file(path);
    const QFileInfo info(path);
    // Only a plain file: reading a pipe or a device to its end could wait for ever.
    const bool special = info.exists() && !info.isFile() && !info.isDir();
    if (info.isDir() || special || !file.open(QIODevice::ReadOnly)) {
        check.problem =
            QStringLiteral("cannot read %1: %2")
                .arg(QDir::toNativeSeparators(path), info.isDir() ? QStringLiteral("it is a folder")
                                                     : special    ? QStringLiteral("it is not a plain file")
                                                                  : file.errorString());
        return check;
    }
    check.readable = true;
    for (QByteArray line : file.readAll().split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith("#HttpOnly_"))
            line = line.mid(10);
        else if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split('\t');
        bool ok = fields.size() == 7 && !fields[0].isEmpty() && !fields[5].isEmpty();
        if (ok) {
            fields[4].toLongLong(&ok);
            ok = ok && (fields[1] == "TRUE" || fields[1] == "FALSE") &&
                 (fields[3] == "TRUE" || fields[3] == "FALSE");
        }
        if (!ok)
            ++check.malformedLines;
    }
    return check;
}

HeldCookies::HeldCookies(const QString& folder)
    : m_file(QDir(folder).filePath(QStringLiteral("varnolux-cookies-XXXXXX"))) {}

Expected<std::unique_ptr<HeldCookies>, Result> HeldCookies::write(const QByteArray& lines) {
    // A TMPDIR that does not exist reads as no folder at all, which would put the file into the
    // current folder.
    const QString folder = QDir::tempPath();
    if (folder.isEmpty())
        return Result::localFile(
            QStringLiteral("the browser's cookies could not be kept: the temporary folder %1 does not exist")
                .arg(QDir::toNativeSeparators(qEnvironmentVariable("TMPDIR"))));
    std::unique_ptr<HeldCookies> held(new HeldCookies(folder));
    QTemporaryFile& file = held->m_file;
    // QTemporaryFile creates it for its owner alone: the cookies may be session secrets.
    if (!file.open() || file.write(lines) != lines.size() || !file.flush())
        return Result::localFile(QStringLiteral("the browser's cookies could not be kept in %1: %2")
                                     .arg(QDir::toNativeSeparators(file.fileName()), file.errorString()));
    file.close();
    return held;
}

} // namespace net
