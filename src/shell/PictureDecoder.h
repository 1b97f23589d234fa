#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

// What a fetched body decodes to, for the preview and the thumbnails alike: the picture fitted
// within a square, or why there is none. Each caller words the reasons its own way.
struct DecodedPicture {
    enum class Outcome {
        Shown,
        Empty,      // no bytes at all
        HtmlPage,   // the bytes are a page, whatever the server called them
        Unknown,    // no reader knows the bytes
        BrokenSvg,  // an SVG that is not well-formed, or a compressed one that will not inflate
        TooLarge,   // more pixels than allowed: described, never decoded
        Unreadable, // a reader knows the format but cannot read these bytes
    };
    Outcome outcome = Outcome::Unknown;
    QImage image;
    QSize pixelSize;    // the picture's own size; invalid when unknown
    QString type;       // "PNG", "HTML page", else the server's content type
    QString readerText; // the reader's reason, for Unreadable
};

struct DecodeLimits {
    int fit = 0;                 // the longer side of the picture kept
    qint64 maxPixels = 0;        // more than this is never decoded
    bool vectorsAnySize = false; // an SVG is drawn at the size asked for, whatever its own
};

// Decodes with the image readers Qt has, within the limits, never from disk: an SVG is read only
// after what names files of this machine is gone, a compressed one inflated within a bound.
DecodedPicture decodePicture(const QByteArray& body, const QByteArray& contentType,
                             const DecodeLimits& limits);

// The served content type without its parameters; "unknown type" when there is none.
QString servedType(const QByteArray& contentType);
