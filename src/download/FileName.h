#pragma once

#include "net/Transfer.h"

#include <QByteArray>
#include <QString>

// How a download run names the file of a link, and what keeps that name inside the folder and
// keeps the platform from reading it as something else.
namespace fileName {

// Whose file-name rules apply. The run uses the rules of the platform it was built for; the
// other set stays testable everywhere.
enum class Platform { Posix, Windows };
#ifdef Q_OS_WIN
inline constexpr Platform buildPlatform = Platform::Windows;
#else
inline constexpr Platform buildPlatform = Platform::Posix;
#endif

// The longest file name the platforms take: 255 bytes on POSIX file systems, 255 UTF-16 units on
// Windows.
inline constexpr qsizetype maxNameLength = 255;

// The part after the last "/", taken literally: a query or fragment stays, percent-escapes stay
// undecoded.
QByteArray lastPart(const QByteArray& text);

// The link's last "/"-separated part, after one final "/" is dropped.
QByteArray ofLink(const QByteArray& link);

// Why the name cannot be used as a file name in the destination folder on that platform (a
// failure whose detail says it); ok when it can. Everywhere: empty, "." or "..", a path separator of any
// platform, a NUL or another control byte, a text-direction control (which makes a name display as something
// it is not), longer than maxNameLength. On Windows also: bytes that are not UTF-8 (Windows names are
// Unicode, so such a name could only be saved changed, and two links would meet in one file), a
// character Windows refuses (":" would name a drive or a stream), a final dot or blank (Windows
// drops it), a device name such as CON or COM1.
net::Result checkFileName(const QByteArray& name, Platform platform = buildPlatform);

// The folder text with a final separator, so that folder and name never run together.
QString withFinalSeparator(const QString& folder);

// Where a name checked by checkFileName() is saved: the folder with a final separator, then the
// name as decodeName() keeps it.
QString pathInFolder(const QString& folder, const QByteArray& name);

// A file name is the link's bytes, and on POSIX systems it is saved as exactly those bytes. In a
// path string its valid UTF-8 is decoded and every other byte b kept as the code unit U+DC00 + b
// (a lone surrogate, which no UTF-8 decodes to), so names that differ only in such bytes stay
// apart. nativePath() gives the bytes back; the file functions below take such paths.
QString decodeName(const QByteArray& name);
QByteArray nativePath(const QString& path);
// Whether anything (a dangling symbolic link too) has that path.
bool pathTaken(const QString& path);
// Creates an empty file under a path nothing has yet; a failure's detail is the system's reason.
net::Result createNew(const QString& path);
bool removeFile(const QString& path);

} // namespace fileName
