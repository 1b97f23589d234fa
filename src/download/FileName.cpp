#include "download/FileName.h"

#include "core/Bytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace fileName {

namespace {

// Marks that change the direction in which the text around them is shown. In a file name they
// can make "gnp.exe" with U+202E in front read as "exe.png".
bool isDirectionControl(char16_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

constexpr char16_t keptByte = 0xDC00; // plus the byte, for a byte that is not UTF-8

bool isKeptByte(char16_t u) {
    return u >= keptByte + 0x80 && u <= keptByte + 0xFF;
}

// The name as a user can read it in a message: control bytes and bytes that are not UTF-8 as
// \xNN, direction marks as <U+XXXX> (else they would turn the message around too), and a long
// name shortened.
QString printable(const QString& name) {
    constexpr qsizetype room = 60;
    QString shown;
    for (QChar c : name) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F || isKeptByte(u))
            shown += QStringLiteral("\\x%1").arg(int(u & 0xFF), 2, 16, QLatin1Char('0'));
        else if (isDirectionControl(u))
            shown += QStringLiteral("<U+%1>").arg(int(u), 4, 16, QLatin1Char('0')).toUpper();
        else
            shown += c;
    }
    if (shown.size() > room) {
        shown.truncate(room - 3);
        if (shown.back().isHighSurrogate())
            shown.chop(1);
        shown += QLatin1StringView("...");
    }
    return shown;
}

// Windows opens a device, not a file, for these names, with or without an extension.
bool isDeviceName(const QString& name) {
    static const QStringList devices = [] {
        QStringList list{QStringLiteral("CON"), QStringLiteral("PRN"),    QStringLiteral("AUX"),
                         QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
        for (const QString& port : {QStringLiteral("COM"), QStringLiteral("LPT")}) {
            for (char digit = '0'; digit <= '9'; ++digit)
                list << port + QLatin1Char(digit);
            // Windows takes the superscript digits one, two and three for digits here.
            for (char16_t superscript : {u'\u00B9', u'\u00B2', u'\u00B3'})
                list << port + QChar(superscript);
        }
        return list;
    }();
    QString base = name.section(u'.', 0, 0);
    while (base.endsWith(u' '))
        base.chop(1);
    return devices.contains(base, Qt::CaseInsensitive);
}

} // namespace

QByteArray lastPart(const QByteArray& text) {
    return text.sliced(text.lastIndexOf('/') + 1);
}

QByteArray ofLink(const QByteArray& link) {
    QByteArray name = link;
    if (name.endsWith('/'))
        name.chop(1);
    return lastPart(name);
}

net::Result checkFileName(const QByteArray& name, Platform platform) {
    const auto refused = [](QString why) { return net::Result(net::Status::Failed, std::move(why)); };
    if (name.isEmpty())
        return refused(QStringLiteral("the link gives no file name"));
    const QString decoded = decodeName(name);
    const QString shown = printable(decoded);
    if (name == "." || name == "..")
        return refused(QStringLiteral("the file name \"%1\" names a folder, not a file").arg(shown));
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\')
            return refused(QStringLiteral("the file name \"%1\" holds a path separator").arg(shown));
        if (b < 0x20 || b == 0x7F)
            return refused(QStringLiteral("the file name \"%1\" holds a control character").arg(shown));
    }
    for (QChar c : decoded) {
        if (isDirectionControl(c.unicode()))
            return refused(
                QStringLiteral("the file name \"%1\" holds a text-direction mark, which would show it as "
                               "something it is not")
                    .arg(shown));
    }
    if (platform == Platform::Windows) {
        if (std::any_of(decoded.cbegin(), decoded.cend(), [](QChar c) { return isKeptByte(c.unicode()); }))
            return refused(
                QStringLiteral("the file name \"%1\" holds bytes that are not UTF-8, which a Windows "
                               "file name cannot keep")
                    .arg(shown));
        for (QChar c : decoded) {
            if (!QStringView(u"<>:\"|?*").contains(c))
                continue;
            QString why =
                QStringLiteral("the file name \"%1\" holds \"%2\", which Windows does not allow in a "
                               "file name")
                    .arg(shown, c);
            if (c == u':')
                why += QLatin1StringView(" (it would name a drive or a stream)");
            return refused(why);
        }
        if (decoded.endsWith(u'.') || decoded.endsWith(u' '))
            return refused(
                QStringLiteral("the file name \"%1\" ends in a dot or a blank, which Windows would drop")
                    .arg(shown));
        if (isDeviceName(decoded))
            return refused(QStringLiteral("the file name \"%1\" is a device name on Windows").arg(shown));
        if (decoded.size() > maxNameLength)
            return refused(
                QStringLiteral("the file name \"%1\" is %2 characters long, more than Windows allows (%3)")
                    .arg(shown)
                    .arg(decoded.size())
                    .arg(maxNameLength));
        return {};
    }
    // Saved as its very bytes.
    const qsizetype bytes = name.size();
    if (bytes > maxNameLength)
        return refused(
            QStringLiteral("the file name \"%1\" is %2 bytes long, more than the file system allows (%3)")
                .arg(shown)
                .arg(bytes)
                .arg(maxNameLength));
    return {};
}

QString withFinalSeparator(const QString& folder) {
    if (folder.endsWith(u'/') || folder.endsWith(QDir::separator()))
        return folder;
    return folder + QDir::separator();
}

QString pathInFolder(const QString& folder, const QByteArray& name) {
    return withFinalSeparator(folder) + decodeName(name);
}

QString decodeName(const QByteArray& name) {
    QString text;
    qsizetype from = 0; // the start of the valid UTF-8 not yet decoded
    for (qsizetype i = 0; i < name.size();) {
        if (static_cast<unsigned char>(name[i]) < 0x80) {
            ++i;
            continue;
        }
        if (const qsizetype length = bytes::utf8Length(name, i)) {
            i += length;
            continue;
        }
        text += QString::fromUtf8(name.sliced(from, i - from));
        text += QChar(char16_t(keptByte + static_cast<unsigned char>(name[i])));
        from = ++i;
    }
    return text + QString::fromUtf8(name.sliced(from));
}

QByteArray nativePath(const QString& path) {
#ifdef Q_OS_WIN
    return QFile::encodeName(path);
#else
    QByteArray bytes;
    qsizetype from = 0;
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t u = path[i].unicode();
        if (!isKeptByte(u))
            continue;
        bytes += QFile::encodeName(path.sliced(from, i - from));
        bytes += char(u & 0xFF);
        from = i + 1;
    }
    return bytes + QFile::encodeName(path.sliced(from));
#endif
}

bool pathTaken(const QString& path) {
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
#else
    struct stat status;
    return ::lstat(nativePath(path).constData(), &status) == 0;
#endif
}

net::Result createNew(const QString& path) {
#ifdef Q_OS_WIN
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return {};
    return net::Result::localFile(file.errorString());
#else
    // O_EXCL: an existing name, a planted link included, is never opened.
    const int fd = ::open(nativePath(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return net::Result::localFile(QString::fromLocal8Bit(std::strerror(errno)));
    ::close(fd);
    return {};
#endif
}

bool removeFile(const QString& path) {
#ifdef Q_OS_WIN
    return QFile::remove(path);
#else
    return ::unlink(nativePath(path).constData()) == 0;
#endif
}

} // namespace fileName
