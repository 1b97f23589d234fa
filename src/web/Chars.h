#pragma once

#include <cstddef>

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

} // namespace chars
