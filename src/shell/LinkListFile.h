#pragma once

#include "core/Expected.h"
#include "net/Transfer.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Text files of links, one a line: what File > Save List As writes and File > Open Link List
// reads. Blank lines and lines that begin with '#' are passed over; blanks around a link and a
// carriage return before the line break are not part of it.
namespace linkfile {

// A link list larger than this is not a list someone made: it is refused unread.
inline constexpr qint64 maxBytes = 16 * 1024 * 1024;

// The links, or a local file failure worded for the window.
using ReadResult = Expected<QList<QByteArray>, net::Result>;

ReadResult read(const QString& path);
// The links of a text already in memory, by the same rule.
QList<QByteArray> parse(const QByteArray& text);
// Writes the links to a temporary file beside path and renames it over path once complete, so a
// failure leaves any earlier file as it was and no partial one.
net::Result write(const QString& path, const QList<QByteArray>& links);

} // namespace linkfile
