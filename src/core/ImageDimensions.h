#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QSize>

#include <functional>

// What an image's first bytes say of its width and height. The reading itself needs Qt's image
// readers (Qt Gui), which the download and listing libraries do not link: they are handed a
// reader through this seam (probe::readDimensions is the real one).
struct ImageDimensions {
    enum class State {
        NeedMore, // the bytes so far do not tell yet
        Known,
        Unknown, // no reader knows the format, or the complete body does not tell
    };
    State state = State::NeedMore;
    QSize size;
    QByteArray format; // the reader's name for it ("png", "jpeg", "svg"), once one knows the bytes
};

// Reads the dimensions from the bytes so far; complete says there are no more.
using DimensionReader = std::function<ImageDimensions(QByteArrayView bytes, bool complete)>;
