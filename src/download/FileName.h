#pragma once

#include <QByteArray>
#include <QString>

// What keeps the file a download run names after a link inside the destination folder.
namespace fileName {

// Why a name cannot be used as a file name in the destination folder: empty, "." or "..", a path
// separator of any platform, a NUL or another control byte. Empty when the name is safe.
QString unsafeReason(const QByteArray& name);

// The folder text with a final separator, so that folder and name never run together.
QString withFinalSeparator(const QString& folder);

} // namespace fileName
