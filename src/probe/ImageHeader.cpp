#include "probe/ImageHeader.h"

#include <QBuffer>
#include <QImageReader>
#include <QLoggingCategory>

namespace probe {

ImageDimensions readDimensions(QByteArrayView bytes, bool complete) {
    // The first bytes of an image are often not a whole header yet: the readers' complaints about
    // that are no news to anyone.
    static const bool quiet = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio.warning=false"));
        return true;
    }();
    Q_UNUSED(quiet);
    ImageDimensions read;
    if (bytes.isEmpty()) {
        read.state = complete ? ImageDimensions::State::Unknown : ImageDimensions::State::NeedMore;
        return read;
    }
    // A view of the bytes, not a copy.
    QByteArray data = QByteArray::fromRawData(bytes.data(), bytes.size());
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    if (!reader.canRead()) {
        read.state = complete || bytes.size() >= recogniseBytes ? ImageDimensions::State::Unknown
                                                                : ImageDimensions::State::NeedMore;
        return read;
    }
    const QSize size = reader.size();
    if (size.isValid() && !size.isEmpty()) {
        read.state = ImageDimensions::State::Known;
        read.size = size;
        return read;
    }
    read.state = complete ? ImageDimensions::State::Unknown : ImageDimensions::State::NeedMore;
    return read;
}

} // namespace probe
