#pragma once

#include <QByteArray>
#include <QSize>

namespace probe {

// Qt's SVG reader resolves no external entity and runs no script, but it reads the file an
// <image> names straight from this machine's disk (a path, or a pipe that never answers): a
// picture from the web names no file of ours. Such images, scripts and the document type go; the
// rest is written back as it was. Empty when the document is not well-formed.
QByteArray svgWithoutOutsideReferences(const QByteArray& svg);

// The SVG inside a compressed one (gzip, as .svgz is), at most maxSvgBytes of it: Qt's reader
// would inflate it without a bound, so a few kilobytes could ask for gigabytes. Empty when it is
// not whole gzip or inflates beyond the bound.
QByteArray svgzInflated(const QByteArray& compressed);

// The width and height of an SVG (compressed or not, as format says), read by Qt's reader only
// after what names outside files is gone: reading the size parses the whole document. Invalid
// while the document is not whole, or when it is broken.
QSize svgSize(const QByteArray& bytes, const QByteArray& format);

inline constexpr qint64 maxSvgBytes = 16LL * 1024 * 1024;

} // namespace probe
