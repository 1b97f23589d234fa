#include "shell/LinkListFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace linkfile {

QList<QByteArray> parse(const QByteArray& text) {
    QList<QByteArray> links;
    qsizetype from = 0;
    while (from <= text.size()) {
        qsizetype end = text.indexOf('\n', from);
        if (end < 0)
            end = text.size();
        const QByteArrayView line = QByteArrayView(text).sliced(from, end - from).trimmed();
        from = end + 1;
        if (!line.isEmpty() && !line.startsWith('#'))
            links << line.toByteArray();
    }
    return links;
}

ReadResult read(const QString& path) {
    const QString shown = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return net::Result::localFile(
            QStringLiteral("The link list %1 cannot be opened: %2").arg(shown, file.errorString()));
    if (file.size() > maxBytes)
        return net::Result::localFile(
            QStringLiteral("The file %1 is too large to be a link list (more than %2 MB).")
                .arg(shown)
                .arg(maxBytes / (1024 * 1024)));
    // One byte more than allowed, so a file that grows while it is read is caught too.
    const QByteArray text = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return net::Result::localFile(
            QStringLiteral("The link list %1 cannot be read: %2").arg(shown, file.errorString()));
    if (text.size() > maxBytes)
        return net::Result::localFile(
            QStringLiteral("The file %1 is too large to be a link list (more than %2 MB).")
                .arg(shown)
                .arg(maxBytes / (1024 * 1024)));
    if (text.contains('\0'))
        return net::Result::localFile(QStringLiteral("The file %1 is not a text file of links.").arg(shown));
    return parse(text);
}

net::Result write(const QString& path, const QList<QByteArray>& links) {
    const QString shown = QDir::toNativeSeparators(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return net::Result::localFile(
            QStringLiteral("The list cannot be saved as %1: %2").arg(shown, file.errorString()));
    for (const QByteArray& link : links) {
        if (file.write(link) != link.size() || file.write("\n", 1) != 1) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return net::Result::localFile(
                QStringLiteral("The list cannot be saved as %1: %2").arg(shown, reason));
        }
    }
    if (!file.commit())
        return net::Result::localFile(
            QStringLiteral("The list cannot be saved as %1: %2").arg(shown, file.errorString()));
    return {};
}

} // namespace linkfile
