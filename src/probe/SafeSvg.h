#pragma once

#include <QByteArray>

namespace probe {

// Qt's SVG reader resolves no external entity and runs no script, but it reads the file an
// <image> names straight from this machine's disk (a path, or a pipe that never answers): a
// picture from the web names no file of ours. Such images, scripts and the document type go; the
// rest is written back as it was. Empty when the document is not well-formed.
QByteArray svgWithoutOutsideReferences(const QByteArray& svg);

} // namespace probe
