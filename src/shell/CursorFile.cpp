#include "shell/CursorFile.h"

#include <QFile>
#include <QtEndian>

#include <optional>

namespace {

class Reader {
public:
    explicit Reader(const QByteArray& bytes) : m_bytes(bytes) {}
    bool has(qint64 offset, qint64 size) const {
        return offset >= 0 && size >= 0 && offset <= m_bytes.size() && size <= m_bytes.size() - offset;
    }
    quint8 u8(qint64 at) const { return quint8(m_bytes[at]); }
    quint16 u16(qint64 at) const { return qFromLittleEndian<quint16>(m_bytes.constData() + at); }
    quint32 u32(qint64 at) const { return qFromLittleEndian<quint32>(m_bytes.constData() + at); }
    qint32 i32(qint64 at) const { return qFromLittleEndian<qint32>(m_bytes.constData() + at); }

private:
    const QByteArray& m_bytes;
};

net::Result fail(const char* why) {
    return {net::Status::Failed, QString::fromLatin1(why)};
}

// A BITMAPINFOHEADER image: colour rows, then the AND mask rows, both bottom-up, the height
// counting both halves.
std::optional<QImage> decodeDib(const Reader& in, qint64 at, qint64 size) {
    if (size < 40 || !in.has(at, 40))
        return std::nullopt;
    const quint32 headerSize = in.u32(at);
    const qint32 width = in.i32(at + 4);
    const qint32 doubleHeight = in.i32(at + 8);
    const quint16 bits = in.u16(at + 14);
    const quint32 compression = in.u32(at + 16);
    quint32 paletteSize = in.u32(at + 32);
    if (headerSize < 40 || headerSize > size || compression != 0 || width <= 0 || width > 1024 ||
        doubleHeight <= 0 || doubleHeight > 2048 || doubleHeight % 2 != 0)
        return std::nullopt;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
        return std::nullopt;
    const int height = doubleHeight / 2;
    if (bits <= 8 && paletteSize == 0)
        paletteSize = 1u << bits;
    if (bits > 8)
        paletteSize = 0;
    if (paletteSize > 256)
        return std::nullopt;

    const qint64 paletteAt = at + headerSize;
    const qint64 colourAt = paletteAt + qint64(paletteSize) * 4;
    const qint64 colourStride = ((qint64(width) * bits + 31) / 32) * 4;
    const qint64 maskAt = colourAt + colourStride * height;
    const qint64 maskStride = ((qint64(width) + 31) / 32) * 4;
    const qint64 end = maskAt + maskStride * height;
    // Some writers leave the mask out of 32-bit images; their alpha is then all there is.
    const bool haveMask = end <= at + size && in.has(at, end - at);
    if (!in.has(at, maskAt - at) || maskAt > at + size)
        return std::nullopt;

    QList<QRgb> palette;
    for (quint32 i = 0; i < paletteSize; ++i) {
        const quint32 bgr = in.u32(paletteAt + i * 4);
        palette << qRgb(int((bgr >> 16) & 0xff), int((bgr >> 8) & 0xff), int(bgr & 0xff));
    }

    QImage image(width, height, QImage::Format_ARGB32);
    bool anyAlpha = false;
    for (int y = 0; y < height; ++y) {
        const qint64 row = colourAt + colourStride * (height - 1 - y);
        QRgb* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            QRgb pixel = 0;
            if (bits == 32) {
                pixel = in.u32(row + x * 4);
                anyAlpha = anyAlpha || qAlpha(pixel) != 0;
            } else if (bits == 24) {
                const qint64 p = row + x * 3;
                pixel = qRgb(in.u8(p + 2), in.u8(p + 1), in.u8(p));
            } else {
                const int perByte = 8 / bits;
                const quint8 byte = in.u8(row + x / perByte);
                const int shift = 8 - bits * (x % perByte + 1);
                const quint32 index = (byte >> shift) & ((1u << bits) - 1);
                pixel = index < quint32(palette.size()) ? palette[index] : qRgb(0, 0, 0);
            }
            out[x] = pixel;
        }
    }
    if (bits == 32 && anyAlpha)
        return image;
    if (!haveMask) {
        if (bits != 32)
            return std::nullopt;
        for (int y = 0; y < height; ++y) {
            QRgb* out = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < width; ++x)
                out[x] |= 0xff000000u;
        }
        return image;
    }
    for (int y = 0; y < height; ++y) {
        const qint64 row = maskAt + maskStride * (height - 1 - y);
        QRgb* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const bool transparent = (in.u8(row + x / 8) >> (7 - x % 8)) & 1;
            out[x] = transparent ? qRgba(0, 0, 0, 0) : (out[x] | 0xff000000u);
        }
    }
    return image;
}

} // namespace

CursorRead parseCursorFile(const QByteArray& bytes) {
    const Reader in(bytes);
    if (!in.has(0, 6) || in.u16(0) != 0)
        return fail("Invalid picture: not a cursor file");
    const quint16 type = in.u16(2);
    const quint16 count = in.u16(4);
    if ((type != 1 && type != 2) || count == 0)
        return fail("Invalid picture: not a cursor file");
    if (!in.has(6, 16))
        return fail("Invalid picture: the file is cut short");
    const QPoint hotSpot = type == 2 ? QPoint(in.u16(10), in.u16(12)) : QPoint(0, 0);
    const qint64 size = in.u32(14);
    const qint64 offset = in.u32(18);
    if (!in.has(offset, size) || size < 8)
        return fail("Invalid picture: the file is cut short");

    static const QByteArray pngSignature("\x89PNG\r\n\x1a\n", 8);
    std::optional<QImage> image;
    if (bytes.mid(offset, 8) == pngSignature) {
        QImage png;
        if (png.loadFromData(bytes.mid(offset, size), "PNG"))
            image = png.convertToFormat(QImage::Format_ARGB32);
    } else {
        image = decodeDib(in, offset, size);
    }
    if (!image || image->isNull())
        return fail("Invalid picture: the cursor image cannot be read");
    CursorImage cursor{*image, hotSpot};
    cursor.hotSpot.setX(qBound(0, cursor.hotSpot.x(), image->width() - 1));
    cursor.hotSpot.setY(qBound(0, cursor.hotSpot.y(), image->height() - 1));
    return cursor;
}

CursorRead readCursorFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return net::Result::localFile(QStringLiteral("File not found: ") + path);
    // Cursor files are small; refuse anything that could not be one rather than read it whole.
    if (file.size() > 4 * 1024 * 1024)
        return fail("Invalid picture: the file is too large");
    return parseCursorFile(file.readAll());
}
