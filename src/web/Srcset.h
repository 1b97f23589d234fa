#pragma once

#include <QByteArrayView>
#include <QList>

// The URLs of a srcset attribute's image candidates, left to right, by the HTML standard's
// "parse a srcset attribute" algorithm: a candidate whose descriptors do not parse is dropped as
// the algorithm drops it. The views point into value (UTF-8).
QList<QByteArrayView> srcsetUrls(QByteArrayView value);

// One image candidate of a srcset attribute: its URL and the size its descriptors give it.
struct SrcsetCandidate {
    enum class Kind { None, Width, Density };
    QByteArrayView url;
    Kind kind = Kind::None; // no w or x descriptor: as the standard reads it, 1x
    double value = 1;       // the w or x number
};

// The same candidates with their sizes: a "w" descriptor (an "h" beside it is passed over), an
// "x" descriptor, or neither.
QList<SrcsetCandidate> srcsetCandidates(QByteArrayView value);
