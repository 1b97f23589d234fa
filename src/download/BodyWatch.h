#pragma once

#include "net/TransferLoop.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// What a run may ask of one download beyond saving it: it sees the final response of each body
// that starts from its first byte and every byte that goes into the file, and decides, once the
// body is complete, where the file goes or that it is not kept at all. The job calls it on the
// loop's thread; a resumed body goes on with the bytes it saw.
class BodyWatch {
public:
    // Where a complete body goes.
    struct Placement {
        QString path;          // empty: where the run decided before the transfer
        net::Result failure;   // no file can be made of it: the entry fails with this
        bool declined = false; // not kept: the part file goes, the entry counts as skipped
        QString reason;        // why it was declined, in words
        QString duplicateOf;   // declined as a copy of this file (or link)
        QStringList notes;     // what the line should say about the name
        QByteArray sha256;     // hex, when the watch hashed the body
        // What the body showed of itself: -1 where it did not tell.
        int width = -1;
        int height = -1;
        QByteArray contentType;
    };

    virtual ~BodyWatch() = default;
    // A body starts from its first byte with this response. False: it is not to be kept, and the
    // transfer ends at once (refusal() says why).
    virtual bool begin(const net::Response& response) = 0;
    // The next bytes of the file, in order. False as for begin().
    virtual bool take(QByteArrayView bytes) = 0;
    // Why begin() or take() turned the body away: a declined placement.
    virtual Placement refusal() const = 0;
    // The body is complete; asked once, just before the file is put in place.
    virtual Placement place() = 0;
};
