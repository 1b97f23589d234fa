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

// Appends a code point (at most U+10FFFF) as UTF-8; the caller rules out surrogates.
inline void appendUtf8(QByteArray& out, char32_t c) {
    if (c < 0x80) {
        out.append(char(c));
    } else if (c < 0x800) {
        out.append(char(0xc0 | (c >> 6)));
        out.append(char(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
        out.append(char(0xe0 | (c >> 12)));
        out.append(char(0x80 | ((c >> 6) & 0x3f)));
        out.append(char(0x80 | (c & 0x3f)));
    } else {
        out.append(char(0xf0 | (c >> 18)));
        out.append(char(0x80 | ((c >> 12) & 0x3f)));
        out.append(char(0x80 | ((c >> 6) & 0x3f)));
        out.append(char(0x80 | (c & 0x3f)));
    }
}

} // namespace bytes
