#include "shell/PictureDecoder.h"

#include "download/BodySniffer.h"
#include "probe/ImageHeader.h"
#include "probe/SafeSvg.h"

#include <QBuffer>
#include <QImageReader>

QString servedType(const QByteArray& contentType) {
    const QString served = QString::fromLatin1(contentType.split(';').first().trimmed());
    return served.isEmpty() ? QStringLiteral("unknown type") : served;
}

DecodedPicture decodePicture(const QByteArray& body, const QByteArray& contentType,
                             const DecodeLimits& limits) {
    using Outcome = DecodedPicture::Outcome;
    probe::quietImageReaders();
    DecodedPicture picture;
    if (body.isEmpty()) {
        picture.type = servedType(contentType);
        picture.outcome = Outcome::Empty;
        return picture;
    }
    QByteArray format;
    {
        QBuffer buffer;
        buffer.setData(body);
        buffer.open(QIODevice::ReadOnly);
        QImageReader sniff(&buffer);
        sniff.setDecideFormatFromContent(true);
        format = sniff.format();
    }
    if (format.isEmpty()) {
        // What the bytes are counts for more than what the server calls them.
        if (sniffBody(QByteArrayView(body).first(qMin(body.size(), sniffLength))) == BodyKind::Html) {
            picture.type = QStringLiteral("HTML page");
            picture.outcome = Outcome::HtmlPage;
        } else {
            picture.type = servedType(contentType);
            picture.outcome = Outcome::Unknown;
        }
        return picture;
    }
    picture.type = QString::fromLatin1(format).toUpper();
    const bool vector = format == "svg" || format == "svgz";
    QByteArray data = body;
    if (vector) {
        if (format == "svgz")
            data = probe::svgzInflated(body);
        if (!data.isEmpty())
            data = probe::svgWithoutOutsideReferences(data);
        if (data.isEmpty()) {
            picture.outcome = Outcome::BrokenSvg;
            return picture;
        }
    }
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, vector ? QByteArray("svg") : format);
    // Room for the largest picture allowed at four bytes a pixel, and no more.
    reader.setAllocationLimit(int(limits.maxPixels * 4 / (1024 * 1024)) + 1);
    const QSize size = reader.size();
    if (size.isValid() && !size.isEmpty()) {
        picture.pixelSize = size;
        if (!(vector && limits.vectorsAnySize) && qint64(size.width()) * size.height() > limits.maxPixels) {
            picture.outcome = Outcome::TooLarge;
            return picture;
        }
        // JPEG decodes scaled down almost for free, SVG is drawn at the size asked for.
        if ((size.width() > limits.fit || size.height() > limits.fit) &&
            reader.supportsOption(QImageIOHandler::ScaledSize)) {
            const QSize scaled = size.scaled(limits.fit, limits.fit, Qt::KeepAspectRatio);
            reader.setScaledSize(QSize(qMax(1, scaled.width()), qMax(1, scaled.height())));
        }
    }
    QImage image = reader.read();
    if (image.isNull()) {
        picture.outcome = Outcome::Unreadable;
        picture.readerText = reader.errorString();
        return picture;
    }
    if (!picture.pixelSize.isValid())
        picture.pixelSize = image.size();
    if (image.width() > limits.fit || image.height() > limits.fit)
        image = image.scaled(limits.fit, limits.fit, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    picture.image = std::move(image);
    picture.outcome = Outcome::Shown;
    return picture;
}
