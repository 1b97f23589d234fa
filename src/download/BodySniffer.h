#pragma once

#include <QByteArrayView>

// What the first bytes of a downloaded body say it is. Files are named by their link, not by what
// they hold, so a server's login or error page can arrive under an image's name with a success
// status; the run saves it all the same but says so.
enum class BodyKind {
    Image,   // a known image signature
    Html,    // an HTML document
    Unknown, // neither can be told
};

// How many of the first bytes sniffBody() needs at most.
inline constexpr qsizetype sniffLength = 64;

BodyKind sniffBody(QByteArrayView firstBytes);
