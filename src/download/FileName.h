#pragma once

#include <QByteArray>
#include <QString>

// How a download run names the file of a link, and what keeps that name inside the folder.
namespace fileName {

// The link's last "/"-separated part, after one final "/" is dropped. Taken literally: a query
// or fragment stays, percent-escapes stay undecoded.
QByteArray ofLink(const QByteArray& link);

// Why a name cannot be used as a file name in the destination folder: empty, "." or "..", a path
// separator of any platform, a NUL or another control byte. Empty when the name is safe.
QString unsafeReason(const QByteArray& name);

// The folder text with a final separator, so that folder and name never run together.
QString withFinalSeparator(const QString& folder);

} // namespace fileName
