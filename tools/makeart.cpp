// Draws the program's icon images and the hand cursor HAND-M.CUR. Run it by hand when the art
// changes and commit what it writes:  build/tools/varnolux_makeart share
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtEndian>

#include <cstdio>

namespace {

// The icon: a blue tile holding a framed picture (hills and a sun) with a green arrow pointing
// down into a tray, i.e. "pictures from the web, saved to disk". Drawn in a 256 x 256 design
// space and scaled, so every size is crisp.
QImage drawIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);

    QLinearGradient tile(0, 0, 0, 256);
    tile.setColorAt(0, QColor(0x3a, 0x8d, 0xde));
    tile.setColorAt(1, QColor(0x1c, 0x4f, 0x9c));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(8, 8, 240, 240), 44, 44);

    // The picture.
    const QRectF frame(40, 36, 176, 128);
    p.setBrush(Qt::white);
    p.drawRoundedRect(frame, 14, 14);
    p.setBrush(QColor(0xcf, 0xe8, 0xff));
    p.drawRect(frame.adjusted(12, 12, -12, -12));
    p.setBrush(QColor(0xff, 0xc8, 0x2e));
    p.drawEllipse(QPointF(168, 74), 16, 16);
    QPainterPath hills;
    hills.moveTo(52, 152);
    hills.lineTo(96, 92);
    hills.lineTo(126, 128);
    hills.lineTo(146, 106);
    hills.lineTo(204, 152);
    hills.closeSubpath();
    p.setBrush(QColor(0x2e, 0x9e, 0x5b));
    p.drawPath(hills);

    // The arrow into the tray.
    QPainterPath arrow;
    arrow.moveTo(112, 150);
    arrow.lineTo(144, 150);
    arrow.lineTo(144, 186);
    arrow.lineTo(170, 186);
    arrow.lineTo(128, 228);
    arrow.lineTo(86, 186);
    arrow.lineTo(112, 186);
    arrow.closeSubpath();
    p.setBrush(QColor(0xff, 0x8a, 0x1c));
    p.setPen(QPen(Qt::white, 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(arrow);
    p.end();
    return image;
}

// A pointing hand, index finger up, white with a black outline; its hot spot is the fingertip.
const QPoint handHotSpot(11, 1);

QImage drawHand() {
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath hand;
    hand.addRoundedRect(QRectF(9, 1, 5, 17), 2.5, 2.5);    // index finger
    hand.addRoundedRect(QRectF(13.5, 9, 4.5, 11), 2, 2);   // middle finger
    hand.addRoundedRect(QRectF(17.5, 10, 4.5, 10), 2, 2);  // ring finger
    hand.addRoundedRect(QRectF(21.5, 11.5, 4.5, 9), 2, 2); // little finger
    hand.addRoundedRect(QRectF(3, 14, 8, 4.5), 2, 2);      // thumb
    hand.addRoundedRect(QRectF(7, 15, 19, 14), 5, 5);      // palm
    hand = hand.simplified();
    p.setPen(QPen(Qt::black, 1.2));
    p.setBrush(Qt::white);
    p.drawPath(hand);
    // Knuckle lines.
    p.setPen(QPen(Qt::black, 1));
    p.drawLine(QPointF(13.5, 14), QPointF(13.5, 19));
    p.drawLine(QPointF(17.5, 14), QPointF(17.5, 19));
    p.drawLine(QPointF(21.5, 15), QPointF(21.5, 19.5));
    p.end();
    return image;
}

void put16(QByteArray& out, quint16 v) {
    const quint16 le = qToLittleEndian(v);
    out.append(reinterpret_cast<const char*>(&le), 2);
}
void put32(QByteArray& out, quint32 v) {
    const quint32 le = qToLittleEndian(v);
    out.append(reinterpret_cast<const char*>(&le), 4);
}

// A Windows cursor file with one 32-bit image: the directory, its one entry (with the hot spot),
// then a DIB of twice the image's height holding the colour rows and the AND mask, bottom-up.
QByteArray cursorFile(const QImage& source, QPoint hotSpot) {
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int w = image.width();
    const int h = image.height();
    const int maskStride = ((w + 31) / 32) * 4;
    const quint32 colourBytes = quint32(w * h * 4);
    const quint32 maskBytes = quint32(maskStride * h);
    const quint32 dibBytes = 40 + colourBytes + maskBytes;

    QByteArray out;
    put16(out, 0); // reserved
    put16(out, 2); // a cursor
    put16(out, 1); // one image
    out.append(char(w == 256 ? 0 : w));
    out.append(char(h == 256 ? 0 : h));
    out.append(char(0)); // no palette
    out.append(char(0));
    put16(out, quint16(hotSpot.x()));
    put16(out, quint16(hotSpot.y()));
    put32(out, dibBytes);
    put32(out, 6 + 16);

    put32(out, 40);
    put32(out, quint32(w));
    put32(out, quint32(2 * h));
    put16(out, 1);  // planes
    put16(out, 32); // bits per pixel
    put32(out, 0);  // BI_RGB
    put32(out, colourBytes + maskBytes);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    for (int y = h - 1; y >= 0; --y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x)
            put32(out, row[x]); // ARGB32 as a little-endian word is B, G, R, A
    }
    for (int y = h - 1; y >= 0; --y) {
        QByteArray mask(maskStride, '\0');
        const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x)
            if (qAlpha(row[x]) < 128)
                mask[x / 8] = char(mask[x / 8] | (0x80 >> (x % 8)));
        out.append(mask);
    }
    return out;
}

bool write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "makeart: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: varnolux_makeart SHARE-FOLDER\n", stderr);
        return 2;
    }
    const QDir share(QString::fromLocal8Bit(argv[1]));
    share.mkpath(QStringLiteral("icons"));
    for (int size : {32, 48, 128, 256}) {
        const QString path = share.filePath(QStringLiteral("icons/varnolux-%1.png").arg(size));
        if (!drawIcon(size).save(path, "PNG")) {
            std::fprintf(stderr, "makeart: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return write(share.filePath(QStringLiteral("HAND-M.CUR")), cursorFile(drawHand(), handHotSpot)) ? 0 : 1;
}
