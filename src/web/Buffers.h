#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstring>

// Byte buffers reused from token to token. QByteArray::clear() frees its buffer and append()
// goes through insert(), whose checks weigh on runs of a few bytes; these keep the capacity and
// write in place while the buffer is unshared and has room, and fall back on resize() when not.
namespace buffers {

inline void reset(QByteArray& to) {
    QByteArray::DataPointer& d = to.data_ptr();
    if (d.size == 0)
        return;
    if (d.needsDetach()) {
        to.resize(0);
        return;
    }
    d.size = 0;
    d.data()[0] = '\0';
}

inline void append(QByteArray& to, const char* p, std::size_t n) {
    if (n == 0)
        return;
    QByteArray::DataPointer& d = to.data_ptr();
    // Room for the bytes and the terminating zero.
    if (!d.needsDetach() && d.freeSpaceAtEnd() > qsizetype(n)) {
        char* const at = d.data() + d.size;
        std::memcpy(at, p, n);
        at[n] = '\0';
        d.size += qsizetype(n);
        return;
    }
    const qsizetype old = to.size();
    to.resize(old + qsizetype(n));
    std::memcpy(to.data() + old, p, n);
}

inline void append(QByteArray& to, char c) {
    append(to, &c, 1);
}

inline void append(QByteArray& to, QByteArrayView from) {
    append(to, from.data(), std::size_t(from.size()));
}

inline void assign(QByteArray& to, QByteArrayView from) {
    reset(to);
    append(to, from);
}

} // namespace buffers
