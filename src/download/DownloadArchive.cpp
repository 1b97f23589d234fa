#include "download/DownloadArchive.h"

#include <QDir>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

constexpr QByteArrayView hashMark = "#sha256 ";

// Every complete line of the bytes, without its line break; blank ones left out.
template <typename Each> void eachLine(const QByteArray& bytes, Each each) {
    qsizetype from = 0;
    for (;;) {
        const qsizetype end = bytes.indexOf('\n', from);
        if (end < 0)
            break; // no line break: cut off while written
        QByteArray line = bytes.mid(from, end - from);
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty())
            each(line);
        from = end + 1;
    }
}

} // namespace

QHash<QByteArray, QByteArray> DownloadArchive::hashesOf(const QByteArray& bytes) {
    QHash<QByteArray, QByteArray> hashes;
    eachLine(bytes, [&](const QByteArray& line) {
        if (!line.startsWith(hashMark))
            return;
        const QByteArray rest = line.mid(hashMark.size());
        const qsizetype blank = rest.indexOf(' ');
        if (blank == 64)
            hashes.insert(rest.left(64).toLower(), rest.mid(65));
    });
    return hashes;
}

QSet<QByteArray> DownloadArchive::linksOf(const QByteArray& bytes) {
    QSet<QByteArray> links;
    eachLine(bytes, [&](const QByteArray& line) {
        if (!line.startsWith(hashMark))
            links.insert(line);
    });
    return links;
}

net::Result DownloadArchive::open(const QString& path) {
    m_path = path;
    m_links.clear();
    m_hashes.clear();
    m_endsInLineBreak = true;
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    QFile file(path);
    if (info.isDir() || !file.open(QIODevice::ReadOnly))
        return net::Result::localFile(
            QStringLiteral("cannot read %1: %2")
                .arg(QDir::toNativeSeparators(path),
                     info.isDir() ? QStringLiteral("it is a folder") : file.errorString()));
    const QByteArray bytes = file.readAll();
    m_links = linksOf(bytes);
    m_hashes = hashesOf(bytes);
    m_endsInLineBreak = bytes.isEmpty() || bytes.endsWith('\n');
    return {};
}

net::Result DownloadArchive::append(const QByteArray& link, const QByteArray& sha256) {
    QFile file(m_path);
    auto unwritable = [&] {
        return net::Result::localFile(
            QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(m_path), file.errorString()));
    };
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return unwritable();
    // A fragment left by a cut-off write is ended, so it cannot run into this link.
    QByteArray line = m_endsInLineBreak ? QByteArray() : QByteArray("\n");
    line += link + '\n';
    if (!sha256.isEmpty())
        line += hashMark.toByteArray() + sha256 + ' ' + link + '\n';
    if (file.write(line) != line.size() || !file.flush())
        return unwritable();
#ifndef Q_OS_WIN
    ::fsync(file.handle());
#endif
    m_endsInLineBreak = true;
    m_links.insert(link);
    if (!sha256.isEmpty())
        m_hashes.insert(sha256, link);
    return {};
}
