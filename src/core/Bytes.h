#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Page bytes are compared as bytes. Letter case is folded for ASCII letters only: the page's
// character set is never decoded, so no other byte has a known case.
namespace bytes {

inline char upper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}
inline char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

QByteArray toUpper(QByteArrayView text);
QByteArray toLower(QByteArrayView text);
bool equalsNoCase(QByteArrayView a, QByteArrayView b);
// Position of needle in haystack at or after from, letter case ignored; -1 when absent.
qsizetype indexOfNoCase(QByteArrayView haystack, QByteArrayView needle, qsizetype from = 0);
inline bool containsNoCase(QByteArrayView haystack, QByteArrayView needle) {
    return indexOfNoCase(haystack, needle) >= 0;
}

// The length of the valid UTF-8 sequence at bytes[i], or 0 when none starts there. Overlong
// forms, surrogates and code points beyond U+10FFFF are not valid.
qsizetype utf8Length(QByteArrayView bytes, qsizetype i);

} // namespace bytes
