#include "cli/Json.h"

namespace json {

namespace {

// The length of the valid UTF-8 sequence at bytes[i], or 0 when none starts there. Overlong
// forms, surrogates and code points beyond U+10FFFF are not valid.
qsizetype utf8Length(QByteArrayView bytes, qsizetype i) {
    const auto at = [&](qsizetype k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char b = at(i);
    qsizetype length = 0;
    char32_t code = 0;
    char32_t least = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        code = b & 0x1F;
        least = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        code = b & 0x0F;
        least = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        code = b & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (i + length > bytes.size())
        return 0;
    for (qsizetype k = 1; k < length; ++k) {
        if ((at(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (at(i + k) & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

QByteArray string(QByteArrayView bytes) {
    static const char hex[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(bytes.size() + 2);
    out += '"';
    for (qsizetype i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x80) {
            const qsizetype length = utf8Length(bytes, i);
            if (length > 0) {
                out.append(bytes.data() + i, length);
                i += length;
                continue;
            }
        }
        switch (b) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (b < 0x20 || b >= 0x7F) {
                out += "\\u00";
                out += hex[b >> 4];
                out += hex[b & 0xF];
            } else {
                out += char(b);
            }
        }
        ++i;
    }
    out += '"';
    return out;
}

} // namespace json
