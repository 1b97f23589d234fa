#pragma once

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

// Why the name cannot be used as a file name in the destination folder on that platform; empty
// when it can. Everywhere: empty, "." or "..", a path separator of any platform, a NUL or another
// control byte, a text-direction control (which makes a name display as something it is not),
// longer than maxNameLength. On Windows also: a character Windows refuses (":" would name a drive
// or a stream), a final dot or blank (Windows drops it), a device name such as CON or COM1.
QString checkFileName(const QByteArray& name, Platform platform = buildPlatform);

// The folder text with a final separator, so that folder and name never run together.
QString withFinalSeparator(const QString& folder);

// Where a name checked by checkFileName() is saved: the folder with a final separator, then the
// name as the file system spells it.
QString pathInFolder(const QString& folder, const QByteArray& name);

} // namespace fileName
