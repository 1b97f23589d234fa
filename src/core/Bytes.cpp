#include "core/Bytes.h"

namespace bytes {

QByteArray toUpper(QByteArrayView text) {
    QByteArray out(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        out[i] = upper(text[i]);
    return out;
}

QByteArray toLower(QByteArrayView text) {
    QByteArray out(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        out[i] = lower(text[i]);
    return out;
}

bool equalsNoCase(QByteArrayView a, QByteArrayView b) {
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

qsizetype indexOfNoCase(QByteArrayView haystack, QByteArrayView needle, qsizetype from) {
    if (from < 0)
        from = 0;
    if (needle.isEmpty())
        return from <= haystack.size() ? from : -1;
    const char first = lower(needle[0]);
    const qsizetype last = haystack.size() - needle.size();
    for (qsizetype i = from; i <= last; ++i) {
        if (lower(haystack[i]) == first && equalsNoCase(haystack.sliced(i, needle.size()), needle))
            return i;
    }
    return -1;
}

} // namespace bytes
