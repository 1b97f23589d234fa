#include "probe/ImageHeader.h"

#include "probe/SafeSvg.h"

#include <QBuffer>
#include <QImageReader>
#include <QLoggingCategory>

namespace probe {

namespace {

// The formats whose first bytes name their reader beyond doubt. Asking that reader alone spares
// asking every reader in turn whether the bytes are its own (and loading each plugin for it).
QByteArray formatBySignature(QByteArrayView bytes) {
    if (bytes.startsWith("\x89PNG\r\n\x1A\n"))
        return QByteArrayLiteral("png");
    if (bytes.startsWith("\xFF\xD8\xFF"))
        return QByteArrayLiteral("jpeg");
    if (bytes.startsWith("GIF87a") || bytes.startsWith("GIF89a"))
        return QByteArrayLiteral("gif");
    if (bytes.size() >= 12 && bytes.startsWith("RIFF") && bytes.sliced(8, 4) == "WEBP")
        return QByteArrayLiteral("webp");
    return {};
}

// The size the reader of format (any reader when empty) reads from the bytes, and the format it
// read them as; invalid when none can read them.
QSize sizeBy(QByteArrayView bytes, const QByteArray& format, bool* recognised, QByteArray* readAs) {
    // A view of the bytes, not a copy.
    QByteArray data = QByteArray::fromRawData(bytes.data(), bytes.size());
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    // Named, the reader is that format's alone: otherwise every plugin would still be asked first.
    if (format.isEmpty())
        reader.setDecideFormatFromContent(true);
    else
        reader.setAutoDetectImageFormat(false);
    *recognised = reader.canRead();
    if (!*recognised)
        return {};
    *readAs = reader.format();
    // The SVG reader parses the whole document for its size, outside files and all.
    if (*readAs == "svg" || *readAs == "svgz")
        return svgSize(data, *readAs);
    return reader.size();
}

} // namespace

void quietImageReaders() {
    // One set of rules for every reader of the program: setting rules replaces those set before.
    static const bool quiet = [] {
        QLoggingCategory::setFilterRules(
            QStringLiteral("qt.gui.imageio*.warning=false\nqt.svg.warning=false"));
        return true;
    }();
    Q_UNUSED(quiet);
}

ImageDimensions readDimensions(QByteArrayView bytes, bool complete) {
    quietImageReaders();
    ImageDimensions read;
    if (bytes.isEmpty()) {
        read.state = complete ? ImageDimensions::State::Unknown : ImageDimensions::State::NeedMore;
        return read;
    }
    bool recognised = false;
    QSize size;
    // Whatever the one reader cannot tell, all of them are asked, as if it had not been named.
    if (const QByteArray format = formatBySignature(bytes); !format.isEmpty())
        size = sizeBy(bytes, format, &recognised, &read.format);
    if (!recognised || !size.isValid() || size.isEmpty())
        size = sizeBy(bytes, {}, &recognised, &read.format);
    if (!recognised) {
        read.state = complete || bytes.size() >= recogniseBytes ? ImageDimensions::State::Unknown
                                                                : ImageDimensions::State::NeedMore;
        return read;
    }
    if (size.isValid() && !size.isEmpty()) {
        read.state = ImageDimensions::State::Known;
        read.size = size;
        return read;
    }
    read.state = complete ? ImageDimensions::State::Unknown : ImageDimensions::State::NeedMore;
    return read;
}

} // namespace probe
