#pragma once

#include "core/ImageDimensions.h"

#include <QByteArray>

namespace probe {

// The width and height the bytes so far give, read by QImageReader on a buffer of them: the
// header only, never the pixels, so a header that claims 100,000 x 100,000 or a decompression
// bomb costs nothing. An SVG is read by Qt's SVG reader, which neither fetches external entities
// nor runs scripts.
ImageDimensions readDimensions(QByteArrayView bytes, bool complete);

// The readers' complaints about partial headers and broken pictures are the daily bread of
// probes, thumbnails and previews, and no news to anyone: silenced once for all of them.
void quietImageReaders();

// Below this many bytes a format no reader recognises may still be one whose signature has not
// arrived; past it, it is unknown.
inline constexpr qsizetype recogniseBytes = 512;

} // namespace probe
