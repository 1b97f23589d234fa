#include "cli/Json.h"

#include "core/Bytes.h"

namespace json {

QByteArray string(QByteArrayView bytes) {
    static const char hex[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(bytes.size() + 2);
    out += '"';
    for (qsizetype i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x80) {
            const qsizetype length = bytes::utf8Length(bytes, i);
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
