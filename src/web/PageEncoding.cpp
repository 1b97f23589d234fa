#include "web/PageEncoding.h"

#include "web/Chars.h"

#include <QStringDecoder>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace pageEncoding {

namespace {

struct Label {
    std::string_view label;
    const char* name;
};

// The Encoding Standard's labels, sorted for a binary search.
constexpr Label labels[] = {
    {"866", "IBM866"},
    {"ansi_x3.4-1968", "windows-1252"},
    {"arabic", "ISO-8859-6"},
    {"ascii", "windows-1252"},
    {"asmo-708", "ISO-8859-6"},
    {"big5", "Big5"},
    {"big5-hkscs", "Big5"},
    {"chinese", "GBK"},
    {"cn-big5", "Big5"},
    {"cp1250", "windows-1250"},
    {"cp1251", "windows-1251"},
    {"cp1252", "windows-1252"},
    {"cp1253", "windows-1253"},
    {"cp1254", "windows-1254"},
    {"cp1255", "windows-1255"},
    {"cp1256", "windows-1256"},
    {"cp1257", "windows-1257"},
    {"cp1258", "windows-1258"},
    {"cp819", "windows-1252"},
    {"cp866", "IBM866"},
    {"csbig5", "Big5"},
    {"cseuckr", "EUC-KR"},
    {"cseucpkdfmtjapanese", "EUC-JP"},
    {"csgb2312", "GBK"},
    {"csibm866", "IBM866"},
    {"csiso2022jp", "ISO-2022-JP"},
    {"csiso2022kr", "replacement"},
    {"csiso58gb231280", "GBK"},
    {"csiso88596e", "ISO-8859-6"},
    {"csiso88596i", "ISO-8859-6"},
    {"csiso88598e", "ISO-8859-8"},
    {"csiso88598i", "ISO-8859-8-I"},
    {"csisolatin1", "windows-1252"},
    {"csisolatin2", "ISO-8859-2"},
    {"csisolatin3", "ISO-8859-3"},
    {"csisolatin4", "ISO-8859-4"},
    {"csisolatin5", "windows-1254"},
    {"csisolatin6", "ISO-8859-10"},
    {"csisolatin9", "ISO-8859-15"},
    {"csisolatinarabic", "ISO-8859-6"},
    {"csisolatincyrillic", "ISO-8859-5"},
    {"csisolatingreek", "ISO-8859-7"},
    {"csisolatinhebrew", "ISO-8859-8"},
    {"cskoi8r", "KOI8-R"},
    {"csksc56011987", "EUC-KR"},
    {"csmacintosh", "macintosh"},
    {"csshiftjis", "Shift_JIS"},
    {"csunicode", "UTF-16LE"},
    {"cyrillic", "ISO-8859-5"},
    {"dos-874", "windows-874"},
    {"ecma-114", "ISO-8859-6"},
    {"ecma-118", "ISO-8859-7"},
    {"elot_928", "ISO-8859-7"},
    {"euc-jp", "EUC-JP"},
    {"euc-kr", "EUC-KR"},
    {"gb18030", "gb18030"},
    {"gb2312", "GBK"},
    {"gb_2312", "GBK"},
    {"gb_2312-80", "GBK"},
    {"gbk", "GBK"},
    {"greek", "ISO-8859-7"},
    {"greek8", "ISO-8859-7"},
    {"hebrew", "ISO-8859-8"},
    {"hz-gb-2312", "replacement"},
    {"ibm819", "windows-1252"},
    {"ibm866", "IBM866"},
    {"iso-10646-ucs-2", "UTF-16LE"},
    {"iso-2022-cn", "replacement"},
    {"iso-2022-cn-ext", "replacement"},
    {"iso-2022-jp", "ISO-2022-JP"},
    {"iso-2022-kr", "replacement"},
    {"iso-8859-1", "windows-1252"},
    {"iso-8859-10", "ISO-8859-10"},
    {"iso-8859-11", "windows-874"},
    {"iso-8859-13", "ISO-8859-13"},
    {"iso-8859-14", "ISO-8859-14"},
    {"iso-8859-15", "ISO-8859-15"},
    {"iso-8859-16", "ISO-8859-16"},
    {"iso-8859-2", "ISO-8859-2"},
    {"iso-8859-3", "ISO-8859-3"},
    {"iso-8859-4", "ISO-8859-4"},
    {"iso-8859-5", "ISO-8859-5"},
    {"iso-8859-6", "ISO-8859-6"},
    {"iso-8859-6-e", "ISO-8859-6"},
    {"iso-8859-6-i", "ISO-8859-6"},
    {"iso-8859-7", "ISO-8859-7"},
    {"iso-8859-8", "ISO-8859-8"},
    {"iso-8859-8-e", "ISO-8859-8"},
    {"iso-8859-8-i", "ISO-8859-8-I"},
    {"iso-8859-9", "windows-1254"},
    {"iso-ir-100", "windows-1252"},
    {"iso-ir-101", "ISO-8859-2"},
    {"iso-ir-109", "ISO-8859-3"},
    {"iso-ir-110", "ISO-8859-4"},
    {"iso-ir-126", "ISO-8859-7"},
    {"iso-ir-127", "ISO-8859-6"},
    {"iso-ir-138", "ISO-8859-8"},
    {"iso-ir-144", "ISO-8859-5"},
    {"iso-ir-148", "windows-1254"},
    {"iso-ir-149", "EUC-KR"},
    {"iso-ir-157", "ISO-8859-10"},
    {"iso-ir-58", "GBK"},
    {"iso8859-1", "windows-1252"},
    {"iso8859-10", "ISO-8859-10"},
    {"iso8859-11", "windows-874"},
    {"iso8859-13", "ISO-8859-13"},
    {"iso8859-14", "ISO-8859-14"},
    {"iso8859-15", "ISO-8859-15"},
    {"iso8859-2", "ISO-8859-2"},
    {"iso8859-3", "ISO-8859-3"},
    {"iso8859-4", "ISO-8859-4"},
    {"iso8859-5", "ISO-8859-5"},
    {"iso8859-6", "ISO-8859-6"},
    {"iso8859-7", "ISO-8859-7"},
    {"iso8859-8", "ISO-8859-8"},
    {"iso8859-9", "windows-1254"},
    {"iso88591", "windows-1252"},
    {"iso885910", "ISO-8859-10"},
    {"iso885911", "windows-874"},
    {"iso885913", "ISO-8859-13"},
    {"iso885914", "ISO-8859-14"},
    {"iso885915", "ISO-8859-15"},
    {"iso88592", "ISO-8859-2"},
    {"iso88593", "ISO-8859-3"},
    {"iso88594", "ISO-8859-4"},
    {"iso88595", "ISO-8859-5"},
    {"iso88596", "ISO-8859-6"},
    {"iso88597", "ISO-8859-7"},
    {"iso88598", "ISO-8859-8"},
    {"iso88599", "windows-1254"},
    {"iso_8859-1", "windows-1252"},
    {"iso_8859-15", "ISO-8859-15"},
    {"iso_8859-1:1987", "windows-1252"},
    {"iso_8859-2", "ISO-8859-2"},
    {"iso_8859-2:1987", "ISO-8859-2"},
    {"iso_8859-3", "ISO-8859-3"},
    {"iso_8859-3:1988", "ISO-8859-3"},
    {"iso_8859-4", "ISO-8859-4"},
    {"iso_8859-4:1988", "ISO-8859-4"},
    {"iso_8859-5", "ISO-8859-5"},
    {"iso_8859-5:1988", "ISO-8859-5"},
    {"iso_8859-6", "ISO-8859-6"},
    {"iso_8859-6:1987", "ISO-8859-6"},
    {"iso_8859-7", "ISO-8859-7"},
    {"iso_8859-7:1987", "ISO-8859-7"},
    {"iso_8859-8", "ISO-8859-8"},
    {"iso_8859-8:1988", "ISO-8859-8"},
    {"iso_8859-9", "windows-1254"},
    {"iso_8859-9:1989", "windows-1254"},
    {"koi", "KOI8-R"},
    {"koi8", "KOI8-R"},
    {"koi8-r", "KOI8-R"},
    {"koi8-ru", "KOI8-U"},
    {"koi8-u", "KOI8-U"},
    {"koi8_r", "KOI8-R"},
    {"korean", "EUC-KR"},
    {"ks_c_5601-1987", "EUC-KR"},
    {"ks_c_5601-1989", "EUC-KR"},
    {"ksc5601", "EUC-KR"},
    {"ksc_5601", "EUC-KR"},
    {"l1", "windows-1252"},
    {"l2", "ISO-8859-2"},
    {"l3", "ISO-8859-3"},
    {"l4", "ISO-8859-4"},
    {"l5", "windows-1254"},
    {"l6", "ISO-8859-10"},
    {"l9", "ISO-8859-15"},
    {"latin1", "windows-1252"},
    {"latin2", "ISO-8859-2"},
    {"latin3", "ISO-8859-3"},
    {"latin4", "ISO-8859-4"},
    {"latin5", "windows-1254"},
    {"latin6", "ISO-8859-10"},
    {"logical", "ISO-8859-8-I"},
    {"mac", "macintosh"},
    {"macintosh", "macintosh"},
    {"ms932", "Shift_JIS"},
    {"ms_kanji", "Shift_JIS"},
    {"replacement", "replacement"},
    {"shift-jis", "Shift_JIS"},
    {"shift_jis", "Shift_JIS"},
    {"sjis", "Shift_JIS"},
    {"sun_eu_greek", "ISO-8859-7"},
    {"tis-620", "windows-874"},
    {"ucs-2", "UTF-16LE"},
    {"unicode", "UTF-16LE"},
    {"unicode-1-1-utf-8", "UTF-8"},
    {"unicode11utf8", "UTF-8"},
    {"unicode20utf8", "UTF-8"},
    {"unicodefeff", "UTF-16LE"},
    {"unicodefffe", "UTF-16BE"},
    {"us-ascii", "windows-1252"},
    {"utf-16", "UTF-16LE"},
    {"utf-16be", "UTF-16BE"},
    {"utf-16le", "UTF-16LE"},
    {"utf-8", "UTF-8"},
    {"utf8", "UTF-8"},
    {"visual", "ISO-8859-8"},
    {"windows-1250", "windows-1250"},
    {"windows-1251", "windows-1251"},
    {"windows-1252", "windows-1252"},
    {"windows-1253", "windows-1253"},
    {"windows-1254", "windows-1254"},
    {"windows-1255", "windows-1255"},
    {"windows-1256", "windows-1256"},
    {"windows-1257", "windows-1257"},
    {"windows-1258", "windows-1258"},
    {"windows-31j", "Shift_JIS"},
    {"windows-874", "windows-874"},
    {"windows-949", "EUC-KR"},
    {"x-cp1250", "windows-1250"},
    {"x-cp1251", "windows-1251"},
    {"x-cp1252", "windows-1252"},
    {"x-cp1253", "windows-1253"},
    {"x-cp1254", "windows-1254"},
    {"x-cp1255", "windows-1255"},
    {"x-cp1256", "windows-1256"},
    {"x-cp1257", "windows-1257"},
    {"x-cp1258", "windows-1258"},
    {"x-euc-jp", "EUC-JP"},
    {"x-gbk", "GBK"},
    {"x-mac-cyrillic", "x-mac-cyrillic"},
    {"x-mac-roman", "macintosh"},
    {"x-mac-ukrainian", "x-mac-cyrillic"},
    {"x-sjis", "Shift_JIS"},
    {"x-unicode20utf8", "UTF-8"},
    {"x-user-defined", "x-user-defined"},
    {"x-x-big5", "Big5"},
};

// windows-1252's 0x80 to 0x9F; the rest of its bytes are Latin-1.
constexpr char16_t windows1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                          0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                          0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                          0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The Encoding Standard's UTF-8 decoder: each maximal ill-formed subpart becomes one U+FFFD.
// Appends to out and returns how many bytes it took: unless final, a sequence that the input's end
// cuts (every byte so far fitting) is left for the next call.
qsizetype repairUtf8Into(QByteArray& out, QByteArrayView in, bool final) {
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const qsizetype n = in.size();
    qsizetype i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            out.append(char(b));
            ++i;
            continue;
        }
        int needed = 0;
        unsigned char lowerBound = 0x80, upperBound = 0xBF;
        char32_t cp = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            needed = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            needed = 2;
            cp = b & 0xF;
            if (b == 0xE0)
                lowerBound = 0xA0;
            if (b == 0xED)
                upperBound = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            needed = 3;
            cp = b & 0x7;
            if (b == 0xF0)
                lowerBound = 0x90;
            if (b == 0xF4)
                upperBound = 0x8F;
        } else {
            out.append(chars::kReplacement);
            ++i;
            continue;
        }
        qsizetype j = i + 1;
        bool ok = true;
        for (int k = 0; k < needed; ++k, ++j) {
            if (j >= n && !final)
                return i;
            if (j >= n || p[j] < lowerBound || p[j] > upperBound) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (p[j] & 0x3F);
            lowerBound = 0x80;
            upperBound = 0xBF;
        }
        if (ok) {
            out.append(reinterpret_cast<const char*>(p + i), j - i);
        } else {
            out.append(chars::kReplacement);
        }
        i = j;
    }
    return n;
}

QByteArray repairUtf8(QByteArrayView in) {
    QByteArray out;
    out.reserve(in.size() + 16);
    repairUtf8Into(out, in, true);
    return out;
}

// UTF-16 as repairUtf8Into takes UTF-8: an odd byte or a high surrogate at the end of a piece
// waits for the next one unless the input is final.
qsizetype fromUtf16Into(QByteArray& out, QByteArrayView in, bool bigEndian, bool final) {
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const qsizetype n = in.size();
    auto unit = [&](qsizetype i) -> char32_t {
        return bigEndian ? char32_t(p[i] << 8 | p[i + 1]) : char32_t(p[i + 1] << 8 | p[i]);
    };
    qsizetype i = 0;
    while (i + 1 < n) {
        const char32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 >= n && !final)
            return i;
        i += 2;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < n) {
                const char32_t v = unit(i);
                if (v >= 0xDC00 && v <= 0xDFFF) {
                    chars::appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                    i += 2;
                    continue;
                }
            }
            out.append(chars::kReplacement);
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            out.append(chars::kReplacement);
        } else {
            chars::appendUtf8(out, u);
        }
    }
    if (i < n) {
        if (!final)
            return i;
        out.append(chars::kReplacement); // an odd byte at the end
    }
    return n;
}

QByteArray fromUtf16(QByteArrayView in, bool bigEndian) {
    QByteArray out;
    out.reserve(in.size());
    fromUtf16Into(out, in, bigEndian, true);
    return out;
}

void fromSingleByteInto(QByteArray& out, QByteArrayView in, bool userDefined) {
    for (char ch : in) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80)
            out.append(ch);
        else if (userDefined)
            chars::appendUtf8(out, char32_t(0xF780 + b - 0x80));
        else if (b < 0xA0)
            chars::appendUtf8(out, windows1252High[b - 0x80]);
        else
            chars::appendUtf8(out, b);
    }
}

QByteArray fromSingleByte(QByteArrayView in, bool userDefined) {
    QByteArray out;
    out.reserve(in.size() + in.size() / 8);
    fromSingleByteInto(out, in, userDefined);
    return out;
}

// The prescan's "get an attribute": from position i, the next attribute's name and value, both
// with ASCII upper case lowered; false at the end of the bytes or of the tag.
bool getAttribute(QByteArrayView s, qsizetype& i, QByteArray& name, QByteArray& value) {
    const qsizetype n = s.size();
    name.clear();
    value.clear();
    while (i < n && (chars::isAsciiWhitespace(s[i]) || s[i] == '/'))
        ++i;
    if (i >= n || s[i] == '>')
        return false;
    for (;;) {
        if (i >= n)
            return false;
        const char c = s[i];
        if (c == '=' && !name.isEmpty()) {
            ++i;
            break;
        }
        if (chars::isAsciiWhitespace(c)) {
            while (i < n && chars::isAsciiWhitespace(s[i]))
                ++i;
            if (i >= n)
                return false;
            if (s[i] != '=')
                return true; // no value
            ++i;
            break;
        }
        if (c == '/' || c == '>')
            return true;
        name.append(chars::asciiLower(c));
        ++i;
    }
    while (i < n && chars::isAsciiWhitespace(s[i]))
        ++i;
    if (i >= n)
        return false;
    if (s[i] == '"' || s[i] == '\'') {
        const char quote = s[i++];
        for (;;) {
            if (i >= n)
                return false;
            if (s[i] == quote) {
                ++i;
                return true;
            }
            value.append(chars::asciiLower(s[i++]));
        }
    }
    if (s[i] == '>')
        return true;
    value.append(chars::asciiLower(s[i++]));
    for (;;) {
        if (i >= n)
            return false;
        if (chars::isAsciiWhitespace(s[i]) || s[i] == '>')
            return true;
        value.append(chars::asciiLower(s[i++]));
    }
}

// The HTML standard's "extracting a character encoding from a meta element".
QByteArray charsetFromContent(QByteArrayView s) {
    qsizetype i = 0;
    const qsizetype n = s.size();
    for (;;) {
        qsizetype at = -1;
        for (qsizetype k = i; k + 7 <= n; ++k) {
            bool match = true;
            for (int m = 0; m < 7 && match; ++m)
                match = chars::asciiLower(s[k + m]) == "charset"[m];
            if (match) {
                at = k;
                break;
            }
        }
        if (at < 0)
            return {};
        i = at + 7;
        while (i < n && chars::isAsciiWhitespace(s[i]))
            ++i;
        if (i >= n)
            return {};
        if (s[i] != '=')
            continue; // look for the next "charset"
        ++i;
        while (i < n && chars::isAsciiWhitespace(s[i]))
            ++i;
        if (i >= n)
            return {};
        if (s[i] == '"' || s[i] == '\'') {
            const char quote = s[i];
            const qsizetype close = s.indexOf(quote, i + 1);
            if (close < 0)
                return {};
            return s.sliced(i + 1, close - i - 1).toByteArray();
        }
        qsizetype end = i;
        while (end < n && !chars::isAsciiWhitespace(s[end]) && s[end] != ';')
            ++end;
        return s.sliced(i, end - i).toByteArray();
    }
}

} // namespace

QByteArray forLabel(QByteArrayView label) {
    label = chars::trimmedAscii(label);
    if (label.size() > 24)
        return {};
    std::string key;
    for (const char c : label)
        key.push_back(chars::asciiLower(c));
    const auto* end = std::end(labels);
    const auto* it = std::lower_bound(std::begin(labels), end, std::string_view(key),
                                      [](const Label& l, std::string_view k) { return l.label < k; });
    if (it == end || it->label != key)
        return {};
    return QByteArray(it->name);
}

QByteArray charsetOfContentType(QByteArrayView contentType) {
    // type/subtype; parameters; the charset parameter's value may be quoted.
    qsizetype i = contentType.indexOf(';');
    while (i >= 0 && i < contentType.size()) {
        ++i;
        while (i < contentType.size() && chars::isAsciiWhitespace(contentType[i]))
            ++i;
        qsizetype end = i;
        while (end < contentType.size() && contentType[end] != '=' && contentType[end] != ';')
            ++end;
        QByteArray name = contentType.sliced(i, end - i).toByteArray().trimmed().toLower();
        if (end >= contentType.size())
            return {};
        if (contentType[end] == ';') {
            i = end;
            continue;
        }
        qsizetype v = end + 1;
        QByteArray value;
        if (v < contentType.size() && contentType[v] == '"') {
            ++v;
            while (v < contentType.size() && contentType[v] != '"') {
                if (contentType[v] == '\\' && v + 1 < contentType.size())
                    ++v;
                value.append(contentType[v++]);
            }
            while (v < contentType.size() && contentType[v] != ';')
                ++v;
        } else {
            while (v < contentType.size() && contentType[v] != ';')
                value.append(contentType[v++]);
            value = value.trimmed();
        }
        if (name == "charset")
            return value;
        i = v;
        if (i >= contentType.size())
            break;
    }
    return {};
}

QByteArray prescan(QByteArrayView bytes) {
    const QByteArrayView s = bytes.first(qMin<qsizetype>(bytes.size(), 1024));
    const qsizetype n = s.size();
    QByteArray name, value;
    qsizetype i = 0;
    while (i < n) {
        if (s.sliced(i).startsWith("<!--")) {
            const qsizetype close = s.indexOf("-->", i + 2);
            if (close < 0)
                return {};
            i = close + 3;
            continue;
        }
        if (i + 5 < n && s[i] == '<' && chars::asciiLower(s[i + 1]) == 'm' &&
            chars::asciiLower(s[i + 2]) == 'e' && chars::asciiLower(s[i + 3]) == 't' &&
            chars::asciiLower(s[i + 4]) == 'a' && (chars::isAsciiWhitespace(s[i + 5]) || s[i + 5] == '/')) {
            i += 6;
            bool seenHttpEquiv = false, seenContent = false, seenCharset = false;
            bool gotPragma = false;
            int needPragma = 0; // 0 null, 1 false, 2 true
            QByteArray charset;
            while (getAttribute(s, i, name, value)) {
                if (name == "http-equiv") {
                    if (seenHttpEquiv)
                        continue;
                    seenHttpEquiv = true;
                    if (value == "content-type")
                        gotPragma = true;
                } else if (name == "content") {
                    if (seenContent)
                        continue;
                    seenContent = true;
                    if (!seenCharset) {
                        const QByteArray c = charsetFromContent(value);
                        if (!c.isEmpty()) {
                            charset = forLabel(c);
                            needPragma = 2;
                        }
                    }
                } else if (name == "charset") {
                    if (seenCharset)
                        continue;
                    seenCharset = true;
                    charset = forLabel(value);
                    needPragma = 1;
                }
            }
            if (needPragma != 0 && !(needPragma == 2 && !gotPragma) && !charset.isEmpty()) {
                if (charset == "UTF-16LE" || charset == "UTF-16BE")
                    charset = "UTF-8";
                if (charset == "x-user-defined")
                    charset = "windows-1252";
                return charset;
            }
            continue;
        }
        if (i + 1 < n && s[i] == '<' &&
            (chars::isAsciiAlpha(s[i + 1]) ||
             (s[i + 1] == '/' && i + 2 < n && chars::isAsciiAlpha(s[i + 2])))) {
            // Any other tag: skip its name and attributes.
            i += s[i + 1] == '/' ? 2 : 1;
            while (i < n && !chars::isAsciiWhitespace(s[i]) && s[i] != '>')
                ++i;
            while (getAttribute(s, i, name, value)) {
            }
            ++i;
            continue;
        }
        if (i + 1 < n && s[i] == '<' && (s[i + 1] == '!' || s[i + 1] == '/' || s[i + 1] == '?')) {
            const qsizetype close = s.indexOf('>', i + 2);
            if (close < 0)
                return {};
            i = close + 1;
            continue;
        }
        ++i;
    }
    return {};
}

Sniffed sniff(QByteArrayView bytes, QByteArrayView contentType) {
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return {"UTF-8", 3};
    if (bytes.startsWith("\xFE\xFF"))
        return {"UTF-16BE", 2};
    if (bytes.startsWith("\xFF\xFE"))
        return {"UTF-16LE", 2};
    if (const QByteArray fromHeader = forLabel(charsetOfContentType(contentType)); !fromHeader.isEmpty())
        return {fromHeader, 0};
    if (QByteArray fromMeta = prescan(bytes); !fromMeta.isEmpty())
        return {fromMeta, 0};
    return {"UTF-8", 0};
}

bool isValidUtf8(QByteArrayView bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time.
        if (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if ((w & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        const chars::Utf8Lead lead = chars::utf8Lead(b);
        const int needed = lead.needed;
        if (needed == 0)
            return false;
        unsigned char lo = lead.low, hi = lead.high;
        for (int k = 1; k <= needed; ++k) {
            if (i + k >= n || p[i + k] < lo || p[i + k] > hi)
                return false;
            lo = 0x80;
            hi = 0xBF;
        }
        i += needed + 1;
    }
    return true;
}

QByteArray decode(const QByteArray& bytes, const Sniffed& encoding,
                  const std::function<void()>& betweenPieces) {
    const QByteArrayView body = QByteArrayView(bytes).sliced(qMin(encoding.bomLength, bytes.size()));
    const QByteArray& name = encoding.name;
    if (name == "UTF-8") {
        // Checked in pieces that each start at the first byte of a character.
        constexpr qsizetype piece = 4 << 20;
        bool valid = true;
        for (qsizetype at = 0; valid && at < body.size();) {
            qsizetype end = qMin(body.size(), at + piece);
            while (end < body.size() && end > at && (static_cast<unsigned char>(body[end]) & 0xC0) == 0x80)
                --end;
            if (end == at)
                end = qMin(body.size(), at + piece);
            valid = isValidUtf8(body.sliced(at, end - at));
            at = end;
            if (betweenPieces && at < body.size())
                betweenPieces();
        }
        if (valid)
            return encoding.bomLength == 0 ? bytes : body.toByteArray();
        return repairUtf8(body);
    }
    if (name == "UTF-16LE" || name == "UTF-16BE")
        return fromUtf16(body, name == "UTF-16BE");
    if (name == "windows-1252" || name == "x-user-defined")
        return fromSingleByte(body, name == "x-user-defined");
    if (name == "replacement")
        return body.isEmpty() ? QByteArray() : QByteArray(chars::kReplacement);
    // The other legacy encodings through Qt's converters (ICU on Debian).
    QStringDecoder decoder(name.constData());
    if (!decoder.isValid())
        return repairUtf8(body);
    // In pieces: the decoder keeps a sequence cut at a piece's end for the next one.
    constexpr qsizetype piece = 1 << 20;
    QByteArray out;
    out.reserve(body.size() + body.size() / 2);
    for (qsizetype at = 0; at < body.size(); at += piece) {
        out += QString(decoder.decode(body.sliced(at, qMin(piece, body.size() - at)))).toUtf8();
        if (betweenPieces)
            betweenPieces();
    }
    return out;
}

namespace {

// Where the bytes may be decoded up to: before a UTF-8 sequence that their end cuts.
qsizetype completeUtf8End(QByteArrayView bytes) {
    const qsizetype n = bytes.size();
    for (qsizetype back = 1; back <= qMin<qsizetype>(4, n); ++back) {
        const auto b = static_cast<unsigned char>(bytes[n - back]);
        if ((b & 0xC0) == 0x80)
            continue;
        const int needed = chars::utf8Lead(b).needed;
        return needed >= back ? n - back : n;
    }
    return n;
}

} // namespace

StreamDecoder::StreamDecoder(QByteArray contentType) : m_contentType(std::move(contentType)) {}

StreamDecoder::~StreamDecoder() = default;

bool StreamDecoder::decide(QByteArrayView bytes, bool final) {
    // The BOM, then the header's charset, then a meta in the first 1024 bytes: the encoding is
    // decided as soon as what has arrived settles it.
    const bool bom =
        bytes.startsWith("\xFE\xFF") || bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xEF\xBB\xBF");
    const bool byHeader = bytes.size() >= 3 && !forLabel(charsetOfContentType(m_contentType)).isEmpty();
    if (!final && !bom && !byHeader && bytes.size() < 1024)
        return false;
    m_encoding = sniff(bytes, m_contentType);
    m_consumed = qMin(m_encoding->bomLength, bytes.size());
    m_validEnd = m_consumed;
    const QByteArray& name = m_encoding->name;
    if (name == "UTF-8")
        m_kind = Kind::Utf8;
    else if (name == "UTF-16LE")
        m_kind = Kind::Utf16Le;
    else if (name == "UTF-16BE")
        m_kind = Kind::Utf16Be;
    else if (name == "windows-1252")
        m_kind = Kind::Windows1252;
    else if (name == "x-user-defined")
        m_kind = Kind::UserDefined;
    else if (name == "replacement")
        m_kind = Kind::Replacement;
    else {
        m_decoder = std::make_unique<QStringDecoder>(name.constData());
        // An encoding the converters lack is read as UTF-8 with its faults repaired.
        m_kind = m_decoder->isValid() ? Kind::Converter : Kind::Utf8Repair;
    }
    return true;
}

QByteArrayView StreamDecoder::feed(QByteArrayView bytes, bool final) {
    if (!m_encoding && !decide(bytes, final))
        return {};
    const qsizetype bom = qMin(m_encoding->bomLength, bytes.size());
    switch (m_kind) {
    case Kind::Utf8: {
        // Valid so far: the text is the bytes themselves. At the first fault the text becomes a
        // copy, repaired from there on, as decode() repairs the whole.
        const qsizetype end = final ? bytes.size() : m_validEnd + completeUtf8End(bytes.sliced(m_validEnd));
        if (isValidUtf8(bytes.sliced(m_validEnd, end - m_validEnd))) {
            m_validEnd = m_consumed = end;
            return bytes.sliced(bom, m_validEnd - bom);
        }
        m_text = bytes.sliced(bom, m_validEnd - bom).toByteArray();
        m_consumed = m_validEnd;
        m_kind = Kind::Utf8Repair;
        [[fallthrough]];
    }
    case Kind::Utf8Repair:
        m_consumed += repairUtf8Into(m_text, bytes.sliced(m_consumed), final);
        break;
    case Kind::Utf16Le:
    case Kind::Utf16Be:
        m_consumed += fromUtf16Into(m_text, bytes.sliced(m_consumed), m_kind == Kind::Utf16Be, final);
        break;
    case Kind::Windows1252:
    case Kind::UserDefined:
        fromSingleByteInto(m_text, bytes.sliced(m_consumed), m_kind == Kind::UserDefined);
        m_consumed = bytes.size();
        break;
    case Kind::Replacement:
        if (m_text.isEmpty() && bytes.size() > bom)
            m_text = chars::kReplacement;
        m_consumed = bytes.size();
        break;
    case Kind::Converter:
        // The converter keeps a sequence cut at a piece's end for the next one.
        m_text += QString(m_decoder->decode(bytes.sliced(m_consumed))).toUtf8();
        m_consumed = bytes.size();
        break;
    }
    return m_text;
}

} // namespace pageEncoding
