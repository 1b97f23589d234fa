#include "probe/SafeSvg.h"

#include <QBuffer>
#include <QImageReader>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <zlib.h>

namespace probe {

QByteArray svgWithoutOutsideReferences(const QByteArray& svg) {
    QXmlStreamReader reader(svg);
    QByteArray out;
    QXmlStreamWriter writer(&out);
    int skipping = 0;
    while (!reader.atEnd()) {
        reader.readNext();
        const QXmlStreamReader::TokenType token = reader.tokenType();
        if (skipping > 0) {
            if (token == QXmlStreamReader::StartElement)
                ++skipping;
            else if (token == QXmlStreamReader::EndElement)
                --skipping;
            continue;
        }
        switch (token) {
        case QXmlStreamReader::StartElement: {
            const QStringView name = reader.name();
            if (name == u"script" || name == u"foreignObject") {
                skipping = 1;
                continue;
            }
            if (name == u"image") {
                const QXmlStreamAttributes attributes = reader.attributes();
                bool outside = false;
                for (const QXmlStreamAttribute& attribute : attributes)
                    if (attribute.name() == u"href" &&
                        !attribute.value().trimmed().startsWith(u"data:", Qt::CaseInsensitive))
                        outside = true;
                if (outside) {
                    skipping = 1;
                    continue;
                }
            }
            writer.writeCurrentToken(reader);
            break;
        }
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::EntityReference:
        case QXmlStreamReader::ProcessingInstruction:
        case QXmlStreamReader::Invalid:
            break;
        default:
            writer.writeCurrentToken(reader);
        }
    }
    return reader.hasError() ? QByteArray() : out;
}

QByteArray svgzInflated(const QByteArray& compressed) {
    z_stream stream{};
    // 16 more window bits: a gzip header and trailer around the deflated data.
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return {};
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.constData()));
    stream.avail_in = uInt(compressed.size());
    QByteArray out;
    char piece[64 * 1024];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(piece);
        stream.avail_out = sizeof piece;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END)
            break;
        out.append(piece, qsizetype(sizeof piece - stream.avail_out));
        if (out.size() > maxSvgBytes)
            status = Z_MEM_ERROR;
        else if (status == Z_OK && stream.avail_in == 0 && stream.avail_out != 0)
            status = Z_DATA_ERROR; // cut short
    }
    inflateEnd(&stream);
    return status == Z_STREAM_END ? out : QByteArray();
}

QSize svgSize(const QByteArray& bytes, const QByteArray& format) {
    QByteArray svg = format == "svgz" ? svgzInflated(bytes) : bytes;
    if (!svg.isEmpty())
        svg = svgWithoutOutsideReferences(svg);
    if (svg.isEmpty())
        return {};
    QBuffer buffer(&svg);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "svg");
    reader.setAutoDetectImageFormat(false);
    return reader.size();
}

} // namespace probe
