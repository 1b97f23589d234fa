#include "download/PartFile.h"

#include "download/FileName.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

std::filesystem::path fsPath(const QString& path) {
#ifdef Q_OS_WIN
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(fileName::nativePath(path).toStdString());
#endif
}

// The folder part of a path, with its final separator; empty for a bare name.
QString folderOf(const QString& path) {
    qsizetype cut = path.lastIndexOf(u'/');
#ifdef Q_OS_WIN
    cut = qMax(cut, path.lastIndexOf(u'\\'));
#endif
    return path.left(cut + 1);
}

QString randomPartName() {
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QString name = QStringLiteral(".varnolux-XXXXXX.part");
    for (qsizetype i = 10; i < 16; ++i)
        name[i] = QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))]);
    return name;
}

PartFile::NameSource& nameSource() {
    static PartFile::NameSource source;
    return source;
}

QString nextPartName() {
    return nameSource() ? nameSource()() : randomPartName();
}

QString native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

} // namespace

PartFile::~PartFile() {
    discard();
}

net::Result PartFile::create(const QString& destinationPath) {
    discard();
    m_written = 0;
    m_destination = destinationPath;
    const QString folder = folderOf(destinationPath);
    // NewOnly is O_CREAT | O_EXCL: an existing name, a planted link included, is never opened.
    // The new file gets the usual permissions of a new file, as the saved image should.
    for (int attempt = 0; attempt < 100; ++attempt) {
        m_file.setFileName(folder + nextPartName());
        // Unbuffered: the bytes are gathered here instead, so that a failed write reports the
        // system's reason (QFile's own buffer loses it when a write is cut short).
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            m_created = true;
            return {};
        }
        // Only a name that is taken is worth another draw; a link counts as taken even when it
        // leads nowhere, since the exclusive create refuses it all the same.
        const QFileInfo taken(m_file.fileName());
        if (!taken.exists() && !taken.isSymLink())
            break;
    }
    return net::Result::localFile(
        QStringLiteral("Cannot create a file in %1: %2")
            .arg(native(folder.isEmpty() ? QDir::currentPath() : folder), m_file.errorString()));
}

net::Result PartFile::write(QByteArrayView bytes) {
    m_pending.append(bytes);
    return m_pending.size() < bufferBytes ? net::Result() : writePending();
}

net::Result PartFile::writePending() {
    // A write cut short (the disk filled up, the file hit its size limit) is followed by one that
    // fails with the reason.
    qsizetype done = 0;
    while (done < m_pending.size()) {
        const qint64 written = m_file.write(m_pending.constData() + done, m_pending.size() - done);
        if (written <= 0) {
            m_pending.resize(0);
            return net::Result::localFile(
                QStringLiteral("Cannot write %1: %2").arg(native(m_file.fileName()), m_file.errorString()));
        }
        done += written;
        m_written += written;
    }
    m_pending.resize(0); // keeps the allocation for the next block
    return {};
}

net::Result PartFile::finishWriting() {
    net::Result written =
        m_created
            ? writePending()
            : net::Result::localFile(QStringLiteral("No file was created for %1").arg(native(m_destination)));
    if (!written.ok()) {
        discard();
        return written;
    }
    m_file.close();
    return {};
}

net::Result PartFile::commitKeeping(bool* existed) {
    *existed = false;
    if (net::Result finished = finishWriting(); !finished.ok())
        return finished;
        // A hard link is made only where no name exists yet: whatever appeared there meanwhile,
        // another run's file included, stays as it is.
#ifdef Q_OS_WIN
    // Windows' rename never replaces.
    if (!QFile::rename(m_file.fileName(), m_destination)) {
        *existed = QFileInfo::exists(m_destination);
        const QString why = m_file.errorString();
        discard();
        return net::Result::localFile(QStringLiteral("Cannot save %1: %2").arg(native(m_destination), why));
    }
#else
    const QByteArray from = QFile::encodeName(m_file.fileName());
    const QByteArray to = fileName::nativePath(m_destination);
    if (::link(from.constData(), to.constData()) != 0) {
        const int error = errno;
        *existed = error == EEXIST;
        discard();
        return net::Result::localFile(
            QStringLiteral("Cannot save %1: %2")
                .arg(native(m_destination), QString::fromLocal8Bit(std::strerror(error))));
    }
    QFile::remove(m_file.fileName());
#endif
    m_created = false;
    return {};
}

net::Result PartFile::commit() {
    if (net::Result finished = finishWriting(); !finished.ok())
        return finished;
    // rename() replaces the destination in one step: readers see the old file or the new one.
    std::error_code error;
    std::filesystem::rename(fsPath(m_file.fileName()), fsPath(m_destination), error);
    if (error) {
        discard();
        return net::Result::localFile(
            QStringLiteral("Cannot save %1: %2")
                .arg(native(m_destination), QString::fromLocal8Bit(error.message())));
    }
    m_created = false;
    return {};
}

net::Result PartFile::canCreateIn(const QString& folder) {
    PartFile probe;
    return probe.create(fileName::withFinalSeparator(folder));
}

void PartFile::setNameSource(NameSource source) {
    nameSource() = std::move(source);
}

void PartFile::discard() {
    m_pending.clear();
    if (!m_created)
        return;
    m_file.close();
    m_file.remove();
    m_created = false;
}
