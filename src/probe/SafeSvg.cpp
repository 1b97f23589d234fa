#include "probe/SafeSvg.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>

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

} // namespace probe
