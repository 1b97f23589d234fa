#include "web/WebUrl.h"

#include "web/Chars.h"

#include <unicode/uidna.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace {

// The percent-encode sets, one bit each, so that one table lookup answers for any set.
enum EncodeSet : uint8_t {
    C0ControlSet = 1,
    FragmentSet = 2,
    QuerySet = 4,
    SpecialQuerySet = 8,
    PathSet = 16,
    UserinfoSet = 32,
    BrowserPathSet = 64, // the path set and "|", as Chromium encodes special URLs' paths
};

// Character classes for hosts.
enum HostClass : uint8_t {
    ForbiddenHost = 1,
    ForbiddenDomain = 2,
};

constexpr bool oneOf(int c, const char* chars) {
    for (; *chars; ++chars)
        if (static_cast<unsigned char>(*chars) == c)
            return true;
    return false;
}

constexpr std::array<uint8_t, 256> makeEncodeSets() {
    std::array<uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const bool c0 = c < 0x20 || c > 0x7e;
        const bool fragment = c0 || oneOf(c, " \"<>`");
        const bool query = c0 || oneOf(c, " \"#<>");
        const bool specialQuery = query || c == '\'';
        const bool path = query || oneOf(c, "?^`{}");
        const bool userinfo = path || oneOf(c, "/:;=@[\\]^|");
        const bool browserPath = path || c == '|';
        table[c] = uint8_t((c0 ? C0ControlSet : 0) | (fragment ? FragmentSet : 0) | (query ? QuerySet : 0) |
                           (specialQuery ? SpecialQuerySet : 0) | (path ? PathSet : 0) |
                           (userinfo ? UserinfoSet : 0) | (browserPath ? BrowserPathSet : 0));
    }
    return table;
}

constexpr std::array<uint8_t, 256> makeHostClasses() {
    std::array<uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const bool host = c == 0 || oneOf(c, "\t\n\r #/:<>?@[\\]^|");
        const bool domain = host || c < 0x20 || c == '%' || c == 0x7f;
        table[c] = uint8_t((host ? ForbiddenHost : 0) | (domain ? ForbiddenDomain : 0));
    }
    return table;
}

constexpr std::array<uint8_t, 256> kEncodeSets = makeEncodeSets();
constexpr std::array<uint8_t, 256> kHostClasses = makeHostClasses();
constexpr char kHex[] = "0123456789ABCDEF";

inline uint8_t byteAt(const char* p) {
    return static_cast<uint8_t>(*p);
}

inline void appendPercent(QByteArray& out, uint8_t b) {
    const char triple[3] = {'%', kHex[b >> 4], kHex[b & 15]};
    out.append(triple, 3);
}

// The length of the UTF-8 sequence at a non-ASCII byte p; valid is false when the bytes are an ill-formed
// part, which a decoder turns into one U+FFFD (the maximal-subpart rule).
int utf8Sequence(const char* p, const char* end, bool& valid) {
    const chars::Utf8Lead lead = chars::utf8Lead(byteAt(p));
    const int need = lead.needed;
    uint8_t low = lead.low;
    uint8_t high = lead.high;
    if (need == 0) {
        valid = false;
        return 1;
    }
    int length = 1;
    for (int i = 0; i < need; ++i) {
        if (p + length >= end) {
            valid = false;
            return length;
        }
        const uint8_t next = byteAt(p + length);
        if (next < low || next > high) {
            valid = false;
            return length;
        }
        low = 0x80;
        high = 0xbf;
        ++length;
    }
    valid = true;
    return length;
}

// UTF-8 percent-encodes [p, end) with one of the sets; runs that need nothing are copied whole.
void appendEncoded(QByteArray& out, const char* p, const char* end, EncodeSet set) {
    while (p < end) {
        const char* run = p;
        while (p < end && !(kEncodeSets[byteAt(p)] & set))
            ++p;
        if (p > run)
            out.append(run, p - run);
        if (p == end)
            break;
        if (byteAt(p) < 0x80) {
            appendPercent(out, byteAt(p));
            ++p;
            continue;
        }
        bool valid;
        const int length = utf8Sequence(p, end, valid);
        if (valid) {
            for (int i = 0; i < length; ++i)
                appendPercent(out, byteAt(p + i));
        } else {
            out.append("%EF%BF%BD", 9);
        }
        p += length;
    }
}

// The bytes of a page's own encoding, percent-encoded for the query. An encoder writes an
// unmappable character as "&#N;", which browsers percent-encode whole ("%26%23N%3B"); a literal
// "&#" cannot come from the query text itself, as "#" ends the query.
void appendEncodedBytes(QByteArray& out, QByteArrayView bytes, EncodeSet set) {
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    while (p < end) {
        if (*p == '&' && end - p >= 4 && p[1] == '#' && chars::isAsciiDigit(p[2])) {
            const char* q = p + 2;
            while (q < end && chars::isAsciiDigit(*q))
                ++q;
            if (q < end && *q == ';') {
                out.append("%26%23", 6);
                out.append(p + 2, q - (p + 2));
                out.append("%3B", 3);
                p = q + 1;
                continue;
            }
        }
        if (kEncodeSets[byteAt(p)] & set)
            appendPercent(out, byteAt(p));
        else
            out.append(*p);
        ++p;
    }
}

// ---- IPv4 ----

// One dotted part: decimal, octal with a leading 0, hex with 0x; the value saturates above 2^32
// so that a long part cannot overflow and still fails the range check.
bool parseIpv4Number(const char* p, const char* end, uint64_t& value) {
    if (p == end)
        return false;
    int radix = 10;
    if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        radix = 16;
        p += 2;
    } else if (end - p >= 2 && p[0] == '0') {
        radix = 8;
        ++p;
    }
    value = 0;
    for (; p < end; ++p) {
        int digit = chars::hexValue(*p);
        if (digit < 0 || digit >= radix)
            return false;
        value = value * uint64_t(radix) + uint64_t(digit);
        if (value > 0xffffffffull)
            value = 0x100000000ull;
    }
    return true;
}

bool endsInNumber(const char* p, const char* end) {
    const char* last = end;
    if (last > p && last[-1] == '.')
        --last;
    const char* start = last;
    while (start > p && start[-1] != '.')
        --start;
    if (start == last)
        return false;
    bool digits = true;
    for (const char* q = start; q < last; ++q)
        digits = digits && chars::isAsciiDigit(*q);
    if (digits)
        return true;
    uint64_t ignored;
    return parseIpv4Number(start, last, ignored);
}

bool parseIpv4(const char* p, const char* end, uint32_t& address) {
    if (end - p > 1 && end[-1] == '.')
        --end;
    uint64_t numbers[4];
    int count = 0;
    const char* part = p;
    for (const char* q = p;; ++q) {
        if (q == end || *q == '.') {
            if (count == 4)
                return false;
            if (!parseIpv4Number(part, q, numbers[count]))
                return false;
            ++count;
            if (q == end)
                break;
            part = q + 1;
        }
    }
    for (int i = 0; i + 1 < count; ++i)
        if (numbers[i] > 255)
            return false;
    if (numbers[count - 1] >= (uint64_t(1) << (8 * (5 - count))))
        return false;
    uint64_t result = numbers[count - 1];
    for (int i = 0; i + 1 < count; ++i)
        result += numbers[i] << (8 * (3 - i));
    address = uint32_t(result);
    return true;
}

void appendDecimal(QByteArray& out, uint32_t value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value);
    while (n)
        out.append(digits[--n]);
}

void appendIpv4(QByteArray& out, uint32_t address) {
    for (int i = 3; i >= 0; --i) {
        appendDecimal(out, (address >> (8 * i)) & 0xff);
        if (i)
            out.append('.');
    }
}

// ---- IPv6 ----

bool parseIpv6(const char* p, const char* end, uint16_t (&address)[8]) {
    std::memset(address, 0, sizeof address);
    int pieceIndex = 0;
    int compress = -1;
    auto at = [&](const char* q) { return q < end ? *q : '\0'; };
    const bool more = p < end;
    if (more && *p == ':') {
        if (at(p + 1) != ':')
            return false;
        p += 2;
        compress = ++pieceIndex;
    }
    while (p < end) {
        if (pieceIndex == 8)
            return false;
        if (*p == ':') {
            if (compress >= 0)
                return false;
            ++p;
            compress = ++pieceIndex;
            continue;
        }
        unsigned value = 0;
        int length = 0;
        while (length < 4 && p < end && chars::hexValue(*p) >= 0) {
            value = value * 16 + unsigned(chars::hexValue(*p));
            ++p;
            ++length;
        }
        if (p < end && *p == '.') {
            if (length == 0)
                return false;
            p -= length;
            if (pieceIndex > 6)
                return false;
            int numbersSeen = 0;
            while (p < end) {
                int piece = -1;
                if (numbersSeen > 0) {
                    if (*p == '.' && numbersSeen < 4)
                        ++p;
                    else
                        return false;
                }
                if (p == end || !chars::isAsciiDigit(*p))
                    return false;
                while (p < end && chars::isAsciiDigit(*p)) {
                    const int number = *p - '0';
                    if (piece < 0)
                        piece = number;
                    else if (piece == 0)
                        return false;
                    else
                        piece = piece * 10 + number;
                    if (piece > 255)
                        return false;
                    ++p;
                }
                address[pieceIndex] = uint16_t(address[pieceIndex] * 0x100 + piece);
                ++numbersSeen;
                if (numbersSeen == 2 || numbersSeen == 4)
                    ++pieceIndex;
            }
            if (numbersSeen != 4)
                return false;
            break;
        }
        if (p < end && *p == ':') {
            ++p;
            if (p == end)
                return false;
        } else if (p < end) {
            return false;
        }
        address[pieceIndex++] = uint16_t(value);
    }
    if (compress >= 0) {
        int swaps = pieceIndex - compress;
        pieceIndex = 7;
        while (pieceIndex != 0 && swaps > 0) {
            std::swap(address[pieceIndex], address[compress + swaps - 1]);
            --pieceIndex;
            --swaps;
        }
    } else if (pieceIndex != 8) {
        return false;
    }
    return true;
}

void appendIpv6(QByteArray& out, const uint16_t (&address)[8]) {
    // The first longest run of two or more zero pieces is written "::".
    int bestStart = -1;
    int bestLength = 1;
    for (int i = 0; i < 8;) {
        if (address[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && address[j] == 0)
            ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    out.append('[');
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            out.append(i == 0 ? "::" : ":");
            i += bestLength - 1;
            continue;
        }
        static const char lower[] = "0123456789abcdef";
        char digits[4];
        int n = 0;
        unsigned value = address[i];
        do {
            digits[n++] = lower[value & 15];
            value >>= 4;
        } while (value);
        while (n)
            out.append(digits[--n]);
        if (i != 7)
            out.append(':');
    }
    out.append(']');
}

// ---- domains ----

// ICU 72 carries Unicode 15.0's IDNA table; browsers and the URL tests follow the later one,
// which ignores more default-ignorable characters and maps a few more. Those changes, applied
// first: 0 means "ignored".
char32_t newerIdnaMapping(char32_t c) {
    if (c == 0x180e || (c >= 0x206a && c <= 0x206f) || c == 0x115f || c == 0x1160 || c == 0x17b4 ||
        c == 0x17b5 || c == 0x3164 || c == 0xffa0 || (c >= 0x1bca0 && c <= 0x1bca3) ||
        (c >= 0x1d173 && c <= 0x1d17a))
        return 0;
    switch (c) {
    case 0x1e9e:
        return 0xdf;
    case 0x2183:
        return 0x2184;
    case 0x04c0:
        return 0x04cf;
    case 0x2f868:
        return 0x36fc;
    case 0x2f874:
        return 0x5f53;
    case 0x2f91f:
        return 0x243ab;
    case 0x2f95f:
        return 0x7aee;
    case 0x2f9bf:
        return 0x45d7;
    default:
        return c;
    }
}

// The domain as valid UTF-8 (ill-formed parts as U+FFFD) with the newer table's changes.
QByteArray premappedDomain(const char* p, const char* end) {
    QByteArray result;
    result.reserve(end - p);
    while (p < end) {
        if (byteAt(p) < 0x80) {
            result.append(*p++);
            continue;
        }
        bool valid;
        const int length = utf8Sequence(p, end, valid);
        if (!valid) {
            chars::appendUtf8(result, 0xfffd);
        } else {
            char32_t c = byteAt(p) & (0xff >> (length + 1));
            for (int i = 1; i < length; ++i)
                c = (c << 6) | (byteAt(p + i) & 0x3f);
            c = newerIdnaMapping(c);
            if (c)
                chars::appendUtf8(result, c);
        }
        p += length;
    }
    return result;
}

// UTS #46 ToASCII (nontransitional, with the bidi and joiner checks) by ICU, for what is not
// plain ASCII; plain ASCII is only lowercased, as browsers do. The DNS rules on hyphens and lengths are not
// the URL Standard's (CheckHyphens and VerifyDnsLength are off), so those errors are let through.
bool appendIdnaAscii(QByteArray& out, const char* p, const char* end) {
    static UIDNA* const idna = [] {
        UErrorCode status = U_ZERO_ERROR;
        UIDNA* result = uidna_openUTS46(UIDNA_CHECK_BIDI | UIDNA_CHECK_CONTEXTJ |
                                            UIDNA_NONTRANSITIONAL_TO_ASCII | UIDNA_NONTRANSITIONAL_TO_UNICODE,
                                        &status);
        return U_SUCCESS(status) ? result : nullptr;
    }();
    if (!idna || end - p > INT32_MAX / 4)
        return false;
    constexpr uint32_t allowed = UIDNA_ERROR_EMPTY_LABEL | UIDNA_ERROR_LABEL_TOO_LONG |
                                 UIDNA_ERROR_DOMAIN_NAME_TOO_LONG | UIDNA_ERROR_LEADING_HYPHEN |
                                 UIDNA_ERROR_TRAILING_HYPHEN | UIDNA_ERROR_HYPHEN_3_4;
    const qsizetype start = out.size();
    int32_t capacity = int32_t(end - p) * 4 + 64;
    for (int attempt = 0; attempt < 2; ++attempt) {
        out.resize(start + capacity);
        UErrorCode status = U_ZERO_ERROR;
        UIDNAInfo info = UIDNA_INFO_INITIALIZER;
        const int32_t length =
            uidna_nameToASCII_UTF8(idna, p, int32_t(end - p), out.data() + start, capacity, &info, &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            capacity = length;
            continue;
        }
        if (U_FAILURE(status) || (info.errors & ~allowed) != 0) {
            out.truncate(start);
            return false;
        }
        out.truncate(start + length);
        return true;
    }
    out.truncate(start);
    return false;
}

// Domain to ASCII (not strict), then the forbidden-domain check; writes the result to out.
bool appendAsciiDomain(QByteArray& out, const char* p, const char* end) {
    bool ascii = true;
    for (const char* q = p; q < end && ascii; ++q)
        ascii = byteAt(q) < 0x80;
    const qsizetype start = out.size();
    if (ascii) {
        out.resize(start + (end - p));
        char* write = out.data() + start;
        for (const char* q = p; q < end; ++q)
            *write++ = chars::asciiLower(*q);
    } else {
        const QByteArray domain = premappedDomain(p, end);
        if (!appendIdnaAscii(out, domain.constData(), domain.constData() + domain.size()))
            return false;
    }
    if (out.size() == start)
        return false;
    for (qsizetype i = start; i < out.size(); ++i)
        if (kHostClasses[byteAt(out.constData() + i)] & ForbiddenDomain)
            return false;
    return true;
}

// The host parser; writes the serialised host to out.
bool appendHost(QByteArray& out, const char* p, const char* end, bool special) {
    if (p < end && *p == '[') {
        if (end[-1] != ']' || end - p < 2)
            return false;
        uint16_t address[8];
        if (!parseIpv6(p + 1, end - 1, address))
            return false;
        appendIpv6(out, address);
        return true;
    }
    if (!special) {
        for (const char* q = p; q < end; ++q)
            if (kHostClasses[byteAt(q)] & ForbiddenHost)
                return false;
        appendEncoded(out, p, end, C0ControlSet);
        return true;
    }
    const qsizetype start = out.size();
    if (!std::memchr(p, '%', size_t(end - p))) {
        if (!appendAsciiDomain(out, p, end))
            return false;
    } else {
        QByteArray decoded;
        decoded.reserve(end - p);
        for (const char* q = p; q < end; ++q) {
            if (*q == '%' && end - q >= 3 && chars::hexValue(q[1]) >= 0 && chars::hexValue(q[2]) >= 0) {
                decoded.append(char(chars::hexValue(q[1]) * 16 + chars::hexValue(q[2])));
                q += 2;
            } else {
                decoded.append(*q);
            }
        }
        if (!appendAsciiDomain(out, decoded.constData(), decoded.constData() + decoded.size()))
            return false;
    }
    const char* host = out.constData() + start;
    const char* hostEnd = out.constData() + out.size();
    if (endsInNumber(host, hostEnd)) {
        uint32_t address;
        if (!parseIpv4(host, hostEnd, address))
            return false;
        out.truncate(start);
        appendIpv4(out, address);
    }
    return true;
}

struct SchemeKind {
    bool special = false;
    bool file = false;
    int defaultPort = -1;
};

SchemeKind kindOf(QByteArrayView scheme) {
    // By length first: this runs for every link of a page.
    switch (scheme.size()) {
    case 2:
        if (scheme == "ws")
            return {true, false, 80};
        break;
    case 3:
        if (scheme == "wss")
            return {true, false, 443};
        if (scheme == "ftp")
            return {true, false, 21};
        break;
    case 4:
        if (scheme == "http")
            return {true, false, 80};
        if (scheme == "file")
            return {true, true, -1};
        break;
    case 5:
        if (scheme == "https")
            return {true, false, 443};
        break;
    default:
        break;
    }
    return {};
}

bool isWindowsDriveLetter(const char* p, qsizetype length) {
    return length == 2 && chars::isAsciiAlpha(p[0]) && (p[1] == ':' || p[1] == '|');
}

bool startsWithWindowsDriveLetter(const char* p, const char* end) {
    if (end - p < 2 || !isWindowsDriveLetter(p, 2))
        return false;
    return end - p == 2 || oneOf(byteAt(p + 2), "/\\?#");
}

bool isSingleDot(QByteArrayView segment) {
    if (segment.size() == 1)
        return segment[0] == '.';
    return segment.size() == 3 && segment[0] == '%' && segment.compare("%2e", Qt::CaseInsensitive) == 0;
}

bool isDoubleDot(QByteArrayView segment) {
    if (segment.isEmpty() || (segment[0] != '.' && segment[0] != '%'))
        return false;
    switch (segment.size()) {
    case 2:
        return segment == "..";
    case 4:
        return segment.compare(".%2e", Qt::CaseInsensitive) == 0 ||
               segment.compare("%2e.", Qt::CaseInsensitive) == 0;
    case 6:
        return segment.compare("%2e%2e", Qt::CaseInsensitive) == 0;
    default:
        return false;
    }
}

} // namespace

// The basic URL parser, writing the serialisation as it goes: the parts come in href order, so
// one buffer and a few offsets are the whole result.
class WebUrlParser {
public:
    WebUrlParser(const WebUrl* base, const WebUrl::QueryEncoder& encoder, bool asBrowser = false)
        : m_base(base && !base->m_href.isEmpty() ? base : nullptr), m_encoder(encoder),
          m_asBrowser(asBrowser) {}

    std::optional<WebUrl> parse(QByteArrayView input) {
        const char* p = input.data();
        const char* end = p + input.size();
        while (p < end && byteAt(p) <= 0x20)
            ++p;
        while (end > p && byteAt(end - 1) <= 0x20)
            --end;
        // Tabs and newlines are removed anywhere; rare, so only then a copy.
        QByteArray cleaned;
        for (const char* q = p; q < end; ++q) {
            if (*q == '\t' || *q == '\n' || *q == '\r') {
                cleaned.reserve(end - p);
                for (const char* r = p; r < end; ++r)
                    if (*r != '\t' && *r != '\n' && *r != '\r')
                        cleaned.append(*r);
                p = cleaned.constData();
                end = p + cleaned.size();
                break;
            }
        }
        m_p = p;
        m_end = end;
        out().reserve((end - p) + (m_base ? m_base->m_href.size() : 0) + 8);
        if (!schemeStartState())
            return std::nullopt;
        finish();
        return std::move(m_url);
    }

private:
    QByteArray& out() { return m_url.m_href; }
    int current() const { return m_p < m_end ? byteAt(m_p) : -1; }
    bool isSlash(int c) const { return c == '/' || (m_kind.special && c == '\\'); }

    void setScheme(const char* p, const char* end) {
        QByteArray& href = out();
        for (const char* q = p; q < end; ++q)
            href.append(chars::asciiLower(*q));
        m_url.m_schemeEnd = href.size();
        href.append(':');
        m_kind = kindOf(QByteArrayView(href.constData(), m_url.m_schemeEnd));
    }

    void copySchemeOfBase() {
        out().append(m_base->m_href.constData(), m_base->m_schemeEnd + 1);
        m_url.m_schemeEnd = m_base->m_schemeEnd;
        m_kind = kindOf(QByteArrayView(m_base->m_href.constData(), m_base->m_schemeEnd));
    }

    QByteArrayView baseScheme() const {
        return QByteArrayView(m_base->m_href.constData(), m_base->m_schemeEnd);
    }
    qsizetype basePathEnd() const {
        if (m_base->m_queryStart >= 0)
            return m_base->m_queryStart;
        if (m_base->m_fragmentStart >= 0)
            return m_base->m_fragmentStart;
        return m_base->m_href.size();
    }

    // URL Standard 4.4, scheme start state (and the scheme state's scan for its ':').
    bool schemeStartState() {
        const char* p = m_p;
        if (p < m_end && chars::isAsciiAlpha(*p)) {
            const char* q = p + 1;
            while (q < m_end && (chars::isAsciiAlpha(*q) || chars::isAsciiDigit(*q) || *q == '+' ||
                                 *q == '-' || *q == '.'))
                ++q;
            if (q < m_end && *q == ':')
                return schemeState(p, q);
        }
        return noSchemeState();
    }

    // URL Standard 4.4, scheme state: the scheme is p to colon.
    bool schemeState(const char* p, const char* colon) {
        setScheme(p, colon);
        m_p = colon + 1;
        if (m_kind.file)
            return fileState();
        if (m_kind.special) {
            if (m_base && baseScheme() == QByteArrayView(out().constData(), m_url.m_schemeEnd))
                return specialRelativeOrAuthorityState();
            return specialAuthorityIgnoreSlashesState();
        }
        if (current() == '/') {
            ++m_p;
            return pathOrAuthorityState();
        }
        startPath();
        m_url.m_hasOpaquePath = true;
        opaquePathState();
        return true;
    }

    // URL Standard 4.4, special relative or authority state.
    bool specialRelativeOrAuthorityState() {
        if (m_end - m_p >= 2 && m_p[0] == '/' && m_p[1] == '/') {
            m_p += 2;
            return specialAuthorityIgnoreSlashesState();
        }
        return relativeState();
    }

    // URL Standard 4.4, path or authority state: after the scheme's first '/'.
    bool pathOrAuthorityState() {
        if (current() == '/') {
            ++m_p;
            return authorityState();
        }
        startPath();
        return pathState();
    }

    // URL Standard 4.4, no scheme state.
    bool noSchemeState() {
        if (!m_base)
            return false;
        if (m_base->m_hasOpaquePath) {
            if (current() != '#')
                return false;
            const qsizetype keep =
                m_base->m_fragmentStart >= 0 ? m_base->m_fragmentStart : m_base->m_href.size();
            out().append(m_base->m_href.constData(), keep);
            m_url = copyOffsets(*m_base, std::move(m_url));
            m_url.m_fragmentStart = -1;
            ++m_p;
            fragmentState();
            return true;
        }
        copySchemeOfBase();
        return m_kind.file ? fileState() : relativeState();
    }

    static WebUrl copyOffsets(const WebUrl& from, WebUrl&& to) {
        QByteArray href = std::move(to.m_href);
        to = from;
        to.m_href = std::move(href);
        return std::move(to);
    }

    // URL Standard 4.4, relative state.
    bool relativeState() {
        const int c = current();
        if (isSlash(c)) {
            ++m_p;
            return relativeSlashState();
        }
        copyBaseAuthority();
        startPath();
        copyBasePath();
        if (c < 0) {
            copyBaseQuery();
            return true;
        }
        if (c == '?') {
            ++m_p;
            queryState();
            return true;
        }
        if (c == '#') {
            copyBaseQuery();
            ++m_p;
            fragmentState();
            return true;
        }
        shortenPath();
        return pathState();
    }

    // URL Standard 4.4, relative slash state.
    bool relativeSlashState() {
        const int c = current();
        if (m_kind.special && (c == '/' || c == '\\')) {
            ++m_p;
            return specialAuthorityIgnoreSlashesState();
        }
        if (!m_kind.special && c == '/') {
            ++m_p;
            return authorityState();
        }
        copyBaseAuthority();
        startPath();
        return pathState();
    }

    void copyBaseAuthority() {
        if (!m_base->m_hasHost)
            return;
        QByteArray& href = out();
        const qsizetype shift = href.size() - (m_base->m_schemeEnd + 1);
        href.append(m_base->m_href.constData() + m_base->m_schemeEnd + 1,
                    m_base->m_pathStart - (m_base->m_schemeEnd + 1));
        m_url.m_hasHost = true;
        m_url.m_usernameStart = m_base->m_usernameStart + shift;
        m_url.m_hostStart = m_base->m_hostStart + shift;
        m_url.m_hostEnd = m_base->m_hostEnd + shift;
    }

    void copyBaseHostOnly() {
        // A file URL's host, which has no credentials or port.
        out().append(m_base->m_href.constData() + m_base->m_hostStart,
                     m_base->m_hostEnd - m_base->m_hostStart);
        m_url.m_hostEnd = out().size();
    }

    void copyBasePath() {
        out().append(m_base->m_href.constData() + m_base->m_pathStart, basePathEnd() - m_base->m_pathStart);
    }

    void copyBaseQuery() {
        if (m_base->m_queryStart < 0)
            return;
        const qsizetype end = m_base->m_fragmentStart >= 0 ? m_base->m_fragmentStart : m_base->m_href.size();
        m_url.m_queryStart = out().size();
        out().append(m_base->m_href.constData() + m_base->m_queryStart, end - m_base->m_queryStart);
    }

    void startPath() {
        const qsizetype here = out().size();
        if (!m_url.m_hasHost) {
            m_url.m_usernameStart = m_url.m_hostStart = m_url.m_hostEnd = here;
        }
        m_url.m_pathStart = here;
    }

    // The path is the buffer's tail here, as "/segment" items.
    void shortenPath() {
        QByteArray& href = out();
        const qsizetype start = m_url.m_pathStart;
        const qsizetype size = href.size();
        if (size == start)
            return;
        if (m_kind.file && size - start == 3 && chars::isAsciiAlpha(href[start + 1]) &&
            href[start + 2] == ':')
            return;
        qsizetype slash = size - 1;
        while (href[slash] != '/')
            --slash;
        href.truncate(slash);
    }

    // URL Standard 4.4, special authority slashes and special authority ignore slashes states.
    bool specialAuthorityIgnoreSlashesState() {
        while (m_p < m_end && (*m_p == '/' || *m_p == '\\'))
            ++m_p;
        return authorityState();
    }

    // URL Standard 4.4, authority state.
    bool authorityState() {
        QByteArray& href = out();
        href.append("//", 2);
        m_url.m_hasHost = true;
        m_url.m_usernameStart = href.size();
        const char* authorityEnd = m_p;
        while (authorityEnd < m_end && *authorityEnd != '/' && *authorityEnd != '?' && *authorityEnd != '#' &&
               !(m_kind.special && *authorityEnd == '\\'))
            ++authorityEnd;
        const char* at = nullptr;
        for (const char* q = authorityEnd; q > m_p;) {
            if (*--q == '@') {
                at = q;
                break;
            }
        }
        if (at) {
            const char* colon = static_cast<const char*>(std::memchr(m_p, ':', size_t(at - m_p)));
            const qsizetype before = href.size();
            appendEncoded(href, m_p, colon ? colon : at, UserinfoSet);
            if (colon) {
                const qsizetype userEnd = href.size();
                href.append(':');
                appendEncoded(href, colon + 1, at, UserinfoSet);
                if (href.size() == userEnd + 1)
                    href.truncate(userEnd);
            }
            if (href.size() > before)
                href.append('@');
            m_p = at + 1;
            if (m_p == authorityEnd)
                return false;
        }
        m_url.m_hostStart = href.size();
        return hostState(authorityEnd);
    }

    // URL Standard 4.4, host state (and hostname state).
    bool hostState(const char* authorityEnd) {
        QByteArray& href = out();
        const char* colon = nullptr;
        bool insideBrackets = false;
        for (const char* q = m_p; q < authorityEnd; ++q) {
            if (*q == '[') {
                insideBrackets = true;
            } else if (*q == ']') {
                insideBrackets = false;
            } else if (*q == ':' && !insideBrackets) {
                colon = q;
                break;
            }
        }
        const char* hostEnd = colon ? colon : authorityEnd;
        if (m_p == hostEnd) {
            if (colon || m_kind.special)
                return false;
        } else if (!appendHost(href, m_p, hostEnd, m_kind.special)) {
            return false;
        }
        m_url.m_hostEnd = href.size();
        if (colon) {
            m_p = colon + 1;
            return portState(authorityEnd);
        }
        m_p = authorityEnd;
        startPath();
        return pathStartState();
    }

    // URL Standard 4.4, port state: the digits up to authorityEnd.
    bool portState(const char* authorityEnd) {
        uint32_t port = 0;
        for (const char* q = m_p; q < authorityEnd; ++q) {
            if (!chars::isAsciiDigit(*q))
                return false;
            port = port * 10 + uint32_t(*q - '0');
            if (port > 65535)
                return false;
        }
        if (m_p < authorityEnd && int(port) != m_kind.defaultPort) {
            out().append(':');
            appendDecimal(out(), port);
        }
        m_p = authorityEnd;
        startPath();
        return pathStartState();
    }

    // URL Standard 4.4, path start state.
    bool pathStartState() {
        const int c = current();
        if (m_kind.special) {
            if (c == '/' || c == '\\')
                ++m_p;
            return pathState();
        }
        if (c == '?') {
            ++m_p;
            queryState();
        } else if (c == '#') {
            ++m_p;
            fragmentState();
        } else if (c >= 0) {
            if (c == '/')
                ++m_p;
            return pathState();
        }
        return true;
    }

    // URL Standard 4.4, path state.
    bool pathState() {
        QByteArray& href = out();
        for (;;) {
            const qsizetype segmentStart = href.size();
            href.append('/');
            const char* q = m_p;
            while (q < m_end && *q != '/' && *q != '?' && *q != '#' && !(m_kind.special && *q == '\\'))
                ++q;
            appendEncoded(href, m_p, q,
                          m_asBrowser && m_kind.special && !m_kind.file ? BrowserPathSet : PathSet);
            m_p = q;
            const bool slash = isSlash(current());
            const QByteArrayView segment(href.constData() + segmentStart + 1, href.size() - segmentStart - 1);
            if (isDoubleDot(segment)) {
                href.truncate(segmentStart);
                shortenPath();
                if (!slash)
                    href.append('/');
            } else if (isSingleDot(segment)) {
                href.truncate(segmentStart);
                if (!slash)
                    href.append('/');
            } else if (m_kind.file && segmentStart == m_url.m_pathStart &&
                       isWindowsDriveLetter(segment.data(), segment.size())) {
                href[segmentStart + 2] = ':';
            }
            if (!slash)
                break;
            ++m_p;
        }
        if (current() == '?') {
            ++m_p;
            queryState();
        } else if (current() == '#') {
            ++m_p;
            fragmentState();
        }
        return true;
    }

    // URL Standard 4.4, opaque path state.
    void opaquePathState() {
        QByteArray& href = out();
        const char* q = m_p;
        while (q < m_end && *q != '?' && *q != '#')
            ++q;
        appendEncoded(href, m_p, q, C0ControlSet);
        // A space just before the query or fragment would be lost when they are taken away.
        if (q < m_end && href.endsWith(' ')) {
            href.chop(1);
            href.append("%20", 3);
        }
        m_p = q;
        if (current() == '?') {
            ++m_p;
            queryState();
        } else if (current() == '#') {
            ++m_p;
            fragmentState();
        }
    }

    // URL Standard 4.4, query state.
    void queryState() {
        QByteArray& href = out();
        m_url.m_queryStart = href.size();
        href.append('?');
        const char* q = static_cast<const char*>(std::memchr(m_p, '#', size_t(m_end - m_p)));
        if (!q)
            q = m_end;
        const EncodeSet set = m_kind.special ? SpecialQuerySet : QuerySet;
        const QByteArrayView scheme(href.constData(), m_url.m_schemeEnd);
        if (m_encoder && m_kind.special && scheme != "ws" && scheme != "wss") {
            const QByteArray bytes = m_encoder(QByteArrayView(m_p, q - m_p));
            appendEncodedBytes(out(), bytes, set);
        } else {
            appendEncoded(href, m_p, q, set);
        }
        m_p = q;
        if (m_p < m_end) {
            ++m_p;
            fragmentState();
        }
    }

    // URL Standard 4.4, fragment state.
    void fragmentState() {
        QByteArray& href = out();
        m_url.m_fragmentStart = href.size();
        href.append('#');
        appendEncoded(href, m_p, m_end, FragmentSet);
        m_p = m_end;
    }

    // URL Standard 4.4, file state.
    bool fileState() {
        QByteArray& href = out();
        href.append("//", 2);
        m_url.m_hasHost = true;
        m_url.m_usernameStart = m_url.m_hostStart = m_url.m_hostEnd = href.size();
        const bool baseIsFile = m_base && baseScheme() == "file";
        const int c = current();
        if (c == '/' || c == '\\') {
            ++m_p;
            return fileSlashState(baseIsFile);
        }
        if (baseIsFile) {
            copyBaseHostOnly();
            startPath();
            copyBasePath();
            if (c < 0) {
                copyBaseQuery();
                return true;
            }
            if (c == '?') {
                ++m_p;
                queryState();
                return true;
            }
            if (c == '#') {
                copyBaseQuery();
                ++m_p;
                fragmentState();
                return true;
            }
            if (!startsWithWindowsDriveLetter(m_p, m_end))
                shortenPath();
            else
                href.truncate(m_url.m_pathStart);
            return pathState();
        }
        startPath();
        return pathState();
    }

    // URL Standard 4.4, file slash state.
    bool fileSlashState(bool baseIsFile) {
        const int c = current();
        if (c == '/' || c == '\\') {
            ++m_p;
            return fileHostState();
        }
        if (baseIsFile) {
            copyBaseHostOnly();
            startPath();
            const char* basePath = m_base->m_href.constData() + m_base->m_pathStart;
            const qsizetype basePathSize = basePathEnd() - m_base->m_pathStart;
            if (!startsWithWindowsDriveLetter(m_p, m_end) && basePathSize >= 3 &&
                chars::isAsciiAlpha(basePath[1]) && basePath[2] == ':' &&
                (basePathSize == 3 || basePath[3] == '/'))
                out().append(basePath, 3);
        } else {
            startPath();
        }
        return pathState();
    }

    // URL Standard 4.4, file host state.
    bool fileHostState() {
        QByteArray& href = out();
        const char* q = m_p;
        while (q < m_end && *q != '/' && *q != '\\' && *q != '?' && *q != '#')
            ++q;
        if (isWindowsDriveLetter(m_p, q - m_p)) {
            // "file://C:/": the drive letter is the path's first segment, not a host.
            startPath();
            return pathState();
        }
        if (q != m_p) {
            const qsizetype start = href.size();
            if (!appendHost(href, m_p, q, true))
                return false;
            if (QByteArrayView(href.constData() + start, href.size() - start) == "localhost")
                href.truncate(start);
            m_url.m_hostEnd = href.size();
        }
        m_p = q;
        startPath();
        return pathStartState();
    }

    void finish() {
        // A path that starts with an empty segment and no host would read as a host: "/." keeps it a path.
        QByteArray& href = out();
        const qsizetype start = m_url.m_pathStart;
        if (!m_url.m_hasHost && !m_url.m_hasOpaquePath && href.size() - start >= 2 && href[start] == '/' &&
            href[start + 1] == '/') {
            href.insert(start, "/.", 2);
            m_url.m_pathStart += 2;
            if (m_url.m_queryStart >= 0)
                m_url.m_queryStart += 2;
            if (m_url.m_fragmentStart >= 0)
                m_url.m_fragmentStart += 2;
        }
        m_url.m_portStart =
            m_url.m_hasHost && m_url.m_hostEnd < m_url.m_pathStart ? m_url.m_hostEnd + 1 : m_url.m_pathStart;
    }

    const WebUrl* m_base;
    const WebUrl::QueryEncoder& m_encoder;
    const char* m_p = nullptr;
    const char* m_end = nullptr;
    WebUrl m_url;
    SchemeKind m_kind;
    bool m_asBrowser;
};

std::optional<WebUrl> WebUrl::parse(QByteArrayView input, const WebUrl* base,
                                    const QueryEncoder& queryEncoder) {
    return WebUrlParser(base, queryEncoder).parse(input);
}

std::optional<WebUrl> WebUrl::parseAsBrowser(QByteArrayView input, const WebUrl* base,
                                             const QueryEncoder& queryEncoder) {
    return WebUrlParser(base, queryEncoder, true).parse(input);
}

std::optional<QByteArray> WebUrl::domainToAscii(QByteArrayView domain) {
    QByteArray result;
    if (!appendAsciiDomain(result, domain.data(), domain.data() + domain.size()))
        return std::nullopt;
    return result;
}

QByteArray WebUrl::protocol() const {
    return m_href.left(m_schemeEnd + 1);
}

QByteArray WebUrl::username() const {
    if (m_hostStart <= m_usernameStart)
        return {};
    const qsizetype end = m_hostStart - 1;
    qsizetype stop = m_usernameStart;
    while (stop < end && m_href[stop] != ':')
        ++stop;
    return m_href.mid(m_usernameStart, stop - m_usernameStart);
}

QByteArray WebUrl::password() const {
    if (m_hostStart <= m_usernameStart)
        return {};
    const qsizetype end = m_hostStart - 1;
    qsizetype colon = m_usernameStart;
    while (colon < end && m_href[colon] != ':')
        ++colon;
    if (colon >= end)
        return {};
    return m_href.mid(colon + 1, end - colon - 1);
}

QByteArray WebUrl::host() const {
    if (!m_hasHost)
        return {};
    return m_href.mid(m_hostStart, m_pathStart - m_hostStart);
}

QByteArray WebUrl::hostname() const {
    return m_href.mid(m_hostStart, m_hostEnd - m_hostStart);
}

QByteArray WebUrl::port() const {
    if (!m_hasHost || m_portStart >= m_pathStart)
        return {};
    return m_href.mid(m_portStart, m_pathStart - m_portStart);
}

QByteArray WebUrl::pathname() const {
    const qsizetype end = m_queryStart >= 0      ? m_queryStart
                          : m_fragmentStart >= 0 ? m_fragmentStart
                                                 : m_href.size();
    return m_href.mid(m_pathStart, end - m_pathStart);
}

QByteArray WebUrl::search() const {
    if (m_queryStart < 0)
        return {};
    const qsizetype end = m_fragmentStart >= 0 ? m_fragmentStart : m_href.size();
    if (end - m_queryStart <= 1)
        return {};
    return m_href.mid(m_queryStart, end - m_queryStart);
}

QByteArray WebUrl::hash() const {
    if (m_fragmentStart < 0 || m_href.size() - m_fragmentStart <= 1)
        return {};
    return m_href.mid(m_fragmentStart);
}

bool WebUrl::isHttp() const {
    const QByteArrayView scheme(m_href.constData(), m_schemeEnd);
    return scheme == "http" || scheme == "https";
}
