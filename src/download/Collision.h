#pragma once

#include "net/Transfer.h"

#include <QByteArray>
#include <QString>

// Names for a file whose name is taken, as desktop browsers choose them.
namespace collision {

// The name with " (n)" before its last extension: "a.jpg" -> "a (2).jpg", "a.tar.gz" ->
// "a.tar (2).gz", "README" -> "README (2)". A leading dot starts no extension.
QByteArray numbered(const QByteArray& name, int n);

// Takes the first free one of name, "name (1)", "name (2)", ... in folder by creating it empty and
// exclusively, so that two runs into one folder never take the same name. The download then
// replaces the empty file; it is the caller's to remove if the download fails. The name taken goes
// to path; a failure when none could be taken.
net::Result reserve(const QString& folder, const QByteArray& name, QString& path);

inline constexpr int maxNumber = 9999;

} // namespace collision
