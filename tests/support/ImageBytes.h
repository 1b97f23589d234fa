#pragma once

// Pictures for the tests, real and lying: what servers send, made in memory.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QtEndian>

namespace imagebytes {

inline QByteArray encoded(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

inline QImage filled(int width, int height, const QColor& colour = Qt::darkGreen) {
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(colour);
    return picture;
}

// A real PNG of these dimensions.
inline QByteArray realPng(int width, int height) {
    return encoded(filled(width, height), "PNG");
}

inline QByteArray be32(quint32 v) {
    QByteArray out(4, '\0');
    qToBigEndian(v, out.data());
    return out;
}

inline quint32 crc32(const QByteArray& bytes) {
    quint32 crc = 0xFFFFFFFF;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

inline QByteArray pngChunk(const QByteArray& type, const QByteArray& data) {
    const QByteArray typed = type + data;
    return be32(quint32(data.size())) + typed + be32(crc32(typed));
}

// A PNG that claims the dimensions, with zeroBytes of pixels compressed (a bomb when they are
// many), and no end.
inline QByteArray pngClaiming(quint32 width, quint32 height, qsizetype zeroBytes = 1000) {
    const QByteArray header = be32(width) + be32(height) + QByteArray("\x08\x02\0\0\0", 5);
    return QByteArray("\x89PNG\r\n\x1A\n", 8) + pngChunk("IHDR", header) +
           pngChunk("IDAT", qCompress(QByteArray(zeroBytes, '\0')).mid(4));
}

// A real JPEG whose frame header comes after exifBytes of application segments.
inline QByteArray jpegWithExif(int width, int height, qsizetype exifBytes) {
    const QByteArray jpeg = encoded(filled(width, height, Qt::gray), "JPEG");
    QByteArray out("\xFF\xD8", 2);
    while (exifBytes > 0) {
        const qsizetype piece = qMin<qsizetype>(exifBytes, 65000);
        out += QByteArray("\xFF\xE1", 2);
        out += char((piece + 2) >> 8);
        out += char((piece + 2) & 0xFF);
        out += QByteArray(piece, 'e');
        exifBytes -= piece;
    }
    return out + jpeg.mid(2);
}

// A GIF whose screen and one image claim the dimensions over a few bytes of pixels.
inline QByteArray gifClaiming(quint16 width, quint16 height) {
    QByteArray size;
    for (const int part : {width & 0xFF, width >> 8, height & 0xFF, height >> 8})
        size += char(part);
    return "GIF89a" + size + QByteArray("\x80\x00\x00\x00\x00\x00\xFF\xFF\xFF", 9) + "\x2C" +
           QByteArray(4, '\0') + size + QByteArray("\x00\x02\x02\x4C\x01\x00\x3B", 7);
}

} // namespace imagebytes
