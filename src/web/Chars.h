#pragma once

#include <QByteArrayView>

#include <cstddef>
#include <initializer_list>

// Character classes of the web standards (all ASCII: a byte of a multi-byte UTF-8 sequence is in
// none of them) and the UTF-8 encoder, shared by every parser of this library. A character is
// passed as an int so that a tokenizer's end-of-input value (-1) is in no class either.
namespace chars {

// U+FFFD REPLACEMENT CHARACTER in UTF-8.
inline constexpr char kReplacement[] = "\xEF\xBF\xBD";
inline constexpr std::size_t kReplacementSize = 3;

constexpr bool isAsciiDigit(int c) {
    return c >= '0' && c <= '9';
}
constexpr bool isAsciiUpper(int c) {
    return c >= 'A' && c <= 'Z';
}
constexpr bool isAsciiAlpha(int c) {
    return (c >= 'a' && c <= 'z') || isAsciiUpper(c);
}
constexpr bool isAsciiAlnum(int c) {
    return isAsciiAlpha(c) || isAsciiDigit(c);
}
constexpr bool isAsciiHexDigit(int c) {
    return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// Tab, LF, FF, CR and space: the HTML, URL and CSS standards' "ASCII whitespace".
constexpr bool isAsciiWhitespace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}
constexpr char asciiLower(int c) {
    return char(isAsciiUpper(c) ? c + ('a' - 'A') : c);
}
// The value of a hex digit; -1 for any other character.
constexpr int hexValue(int c) {
    if (isAsciiDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Appends a code point (at most U+10FFFF) as UTF-8 to a byte string; the caller rules out
// surrogates.
template <typename Bytes> void appendUtf8(Bytes& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (c >> 18)));
        out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

// What a UTF-8 sequence that begins with the non-ASCII byte lead needs: how many continuation
// bytes follow, and the range of the first of them (the later ones lie in 0x80..0xBF), which
// rules out overlong forms, surrogates and code points past U+10FFFF. needed is 0 for a byte that
// cannot begin a sequence.
struct Utf8Lead {
    int needed;
    unsigned char low;
    unsigned char high;
};
constexpr Utf8Lead utf8Lead(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF)
        return {1, 0x80, 0xBF};
    if (lead >= 0xE0 && lead <= 0xEF)
        return {2, lead == 0xE0 ? (unsigned char)0xA0 : (unsigned char)0x80,
                lead == 0xED ? (unsigned char)0x9F : (unsigned char)0xBF};
    if (lead >= 0xF0 && lead <= 0xF4)
        return {3, lead == 0xF0 ? (unsigned char)0x90 : (unsigned char)0x80,
                lead == 0xF4 ? (unsigned char)0x8F : (unsigned char)0xBF};
    return {0, 0, 0};
}

// The view without the ASCII whitespace at either end.
inline QByteArrayView trimmedAscii(QByteArrayView value) {
    qsizetype b = 0, e = value.size();
    while (b < e && isAsciiWhitespace(value[b]))
        ++b;
    while (e > b && isAsciiWhitespace(value[e - 1]))
        --e;
    return value.sliced(b, e - b);
}

// Whether text equals the ASCII word, letter case ignored; or one of the words.
inline bool equalsIgnoringCase(QByteArrayView text, const char* ascii) {
    return text.compare(QByteArrayView(ascii), Qt::CaseInsensitive) == 0;
}
inline bool isOneOf(QByteArrayView text, std::initializer_list<const char*> words) {
    for (const char* word : words)
        if (equalsIgnoringCase(text, word))
            return true;
    return false;
}

} // namespace chars
