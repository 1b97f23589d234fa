#pragma once

#include "web/Chars.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <cstring>

// CSS Syntax Level 3 tokenization over UTF-8 bytes, for finding url() references.
namespace css {

enum class Tok : uint8_t {
    Ident,
    Function,
    AtKeyword,
    Hash,
    String,
    BadString,
    Url,
    BadUrl,
    Delim,
    Number,
    Percentage,
    Dimension,
    Whitespace,
    CDO,
    CDC,
    Colon,
    Semicolon,
    Comma,
    LBracket,
    RBracket,
    LParen,
    RParen,
    LBrace,
    RBrace,
    End,
};

struct Token {
    Tok type = Tok::End;
    // Ident, Function, AtKeyword, Hash: the name; String, Url: the value; Dimension: the unit;
    // Delim: the character. Escapes decoded, UTF-8.
    QByteArray text;
    double number = 0;
    bool integer = false;
    bool hashIsId = false;
};

inline bool isNewline(char c) {
    return c == '\n' || c == '\r' || c == '\f';
}
inline bool isNameStart(char c) {
    return chars::isAsciiAlpha(c) || c == '_' || static_cast<unsigned char>(c) >= 0x80 || c == 0;
}
inline bool isNameChar(char c) {
    return isNameStart(c) || chars::isAsciiDigit(c) || c == '-';
}
inline bool isNonPrintable(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b <= 0x08 && b != 0) || b == 0x0b || (b >= 0x0e && b <= 0x1f) || b == 0x7f;
}

inline void appendCodePoint(QByteArray& out, uint32_t c) {
    if (c == 0 || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) {
        out.append(chars::kReplacement, 3);
    } else {
        chars::appendUtf8(out, c);
    }
}

// CSS Syntax Level 3 tokenization. The input's preprocessing (CR LF, CR and FF as LF, NUL as
// U+FFFD) happens as characters are read.
class Tokenizer {
public:
    explicit Tokenizer(QByteArrayView text)
        : m_begin(text.data()), m_p(text.data()), m_end(text.data() + text.size()) {}

    void next(Token& token) {
        token.text.truncate(0); // keeps the buffer for the next token, unless a copy shares it
        token.number = 0;
        token.integer = false;
        token.hashIsId = false;
        consumeComments();
        if (m_p >= m_end) {
            token.type = Tok::End;
            return;
        }
        const char c = *m_p;
        if (chars::isAsciiWhitespace(c)) {
            while (m_p < m_end && chars::isAsciiWhitespace(*m_p))
                ++m_p;
            token.type = Tok::Whitespace;
            return;
        }
        switch (c) {
        case '"':
        case '\'':
            ++m_p;
            consumeString(c, token);
            return;
        case '#':
            if (isNameChar(at(1)) || validEscape(1)) {
                ++m_p;
                token.hashIsId = startsIdent(0);
                consumeName(token.text);
                token.type = Tok::Hash;
                return;
            }
            break;
        case '(':
            return single(token, Tok::LParen);
        case ')':
            return single(token, Tok::RParen);
        case ',':
            return single(token, Tok::Comma);
        case ':':
            return single(token, Tok::Colon);
        case ';':
            return single(token, Tok::Semicolon);
        case '[':
            return single(token, Tok::LBracket);
        case ']':
            return single(token, Tok::RBracket);
        case '{':
            return single(token, Tok::LBrace);
        case '}':
            return single(token, Tok::RBrace);
        case '+':
        case '.':
            if (startsNumber(0))
                return consumeNumeric(token);
            break;
        case '-':
            if (startsNumber(0))
                return consumeNumeric(token);
            if (at(1) == '-' && at(2) == '>') {
                m_p += 3;
                token.type = Tok::CDC;
                return;
            }
            if (startsIdent(0))
                return consumeIdentLike(token);
            break;
        case '<':
            if (m_end - m_p >= 4 && m_p[1] == '!' && m_p[2] == '-' && m_p[3] == '-') {
                m_p += 4;
                token.type = Tok::CDO;
                return;
            }
            break;
        case '@':
            if (startsIdent(1)) {
                ++m_p;
                consumeName(token.text);
                token.type = Tok::AtKeyword;
                return;
            }
            break;
        case '\\':
            if (validEscape(0))
                return consumeIdentLike(token);
            break;
        default:
            if (chars::isAsciiDigit(c))
                return consumeNumeric(token);
            if (isNameStart(c))
                return consumeIdentLike(token);
            break;
        }
        ++m_p;
        token.type = Tok::Delim;
        token.text.append(c);
    }

    // Just after a "{": when the block up to its matching "}" cannot hold a URL (no "url(",
    // no "image-set(", no escape), moves past that "}" (or to the end) and returns true. Strings,
    // comments and the nesting of (), [] and {} are followed as tokenizing would, so the block ends
    // where the parser would end it; most rules of a page are passed over this way.
    bool skipBlockWithoutUrls() {
        const char* p = m_p;
        char closers[64];
        int depth = 0;
        closers[depth++] = '}';
        while (p < m_end) {
            const char c = *p;
            if (c == '\\')
                return false;
            if (c == '/' && p + 1 < m_end && p[1] == '*') {
                p += 2;
                while (p + 1 < m_end && !(p[0] == '*' && p[1] == '/'))
                    ++p;
                p = p + 1 < m_end ? p + 2 : m_end;
                continue;
            }
            if (c == '"' || c == '\'') {
                ++p;
                while (p < m_end && *p != c && !isNewline(*p)) {
                    if (*p == '\\')
                        return false;
                    ++p;
                }
                if (p < m_end && *p == c)
                    ++p;
                continue;
            }
            if (c == '(' || c == '[' || c == '{') {
                if (c == '(' && (endsWithIgnoringCase(p, "url") || endsWithIgnoringCase(p, "image-set")))
                    return false;
                if (depth == int(sizeof closers))
                    return false;
                closers[depth++] = c == '(' ? ')' : c == '[' ? ']' : '}';
            } else if (c == closers[depth - 1]) {
                if (--depth == 0) {
                    m_p = p + 1;
                    return true;
                }
            }
            ++p;
        }
        m_p = m_end;
        return true;
    }

private:
    bool endsWithIgnoringCase(const char* p, const char* word) const {
        const qsizetype n = qsizetype(std::strlen(word));
        return p - m_begin >= n &&
               QByteArrayView(p - n, n).compare(QByteArrayView(word, n), Qt::CaseInsensitive) == 0;
    }

    char at(qsizetype offset) const { return m_p + offset < m_end ? m_p[offset] : '\0'; }
    bool has(qsizetype offset) const { return m_p + offset < m_end; }

    void single(Token& token, Tok type) {
        ++m_p;
        token.type = type;
    }

    void consumeComments() {
        while (m_end - m_p >= 2 && m_p[0] == '/' && m_p[1] == '*') {
            const char* q = m_p + 2;
            while (q + 1 < m_end && !(q[0] == '*' && q[1] == '/'))
                ++q;
            m_p = q + 1 < m_end ? q + 2 : m_end;
        }
    }

    bool validEscape(qsizetype offset) const {
        return has(offset) && m_p[offset] == '\\' && !(has(offset + 1) && isNewline(m_p[offset + 1]));
    }

    bool startsIdent(qsizetype offset) const {
        if (!has(offset))
            return false;
        const char c = m_p[offset];
        if (c == '-') {
            if (!has(offset + 1))
                return false;
            return isNameStart(m_p[offset + 1]) || m_p[offset + 1] == '-' || validEscape(offset + 1);
        }
        if (isNameStart(c))
            return true;
        return validEscape(offset);
    }

    bool startsNumber(qsizetype offset) const {
        const char c = at(offset);
        if (!has(offset))
            return false;
        if (c == '+' || c == '-') {
            if (chars::isAsciiDigit(at(offset + 1)) && has(offset + 1))
                return true;
            return at(offset + 1) == '.' && has(offset + 2) && chars::isAsciiDigit(at(offset + 2));
        }
        if (c == '.')
            return has(offset + 1) && chars::isAsciiDigit(at(offset + 1));
        return chars::isAsciiDigit(c);
    }

    // After the backslash of a valid escape.
    void consumeEscape(QByteArray& out) {
        if (m_p >= m_end) {
            out.append(chars::kReplacement, 3);
            return;
        }
        if (chars::isAsciiHexDigit(*m_p)) {
            uint32_t value = 0;
            int digits = 0;
            while (digits < 6 && m_p < m_end && chars::isAsciiHexDigit(*m_p)) {
                const char h = *m_p++;
                value = value * 16 + uint32_t(chars::hexValue(h));
                ++digits;
            }
            if (m_p < m_end && chars::isAsciiWhitespace(*m_p)) {
                if (*m_p == '\r' && m_p + 1 < m_end && m_p[1] == '\n')
                    ++m_p;
                ++m_p;
            }
            appendCodePoint(out, value);
            return;
        }
        appendRaw(out);
    }

    // One input character as it stands (a whole UTF-8 sequence, NUL as U+FFFD).
    void appendRaw(QByteArray& out) {
        const auto lead = static_cast<unsigned char>(*m_p);
        if (lead == 0) {
            out.append(chars::kReplacement, 3);
            ++m_p;
            return;
        }
        qsizetype length = 1;
        if (lead >= 0xc0) {
            while (length < 4 && m_p + length < m_end &&
                   (static_cast<unsigned char>(m_p[length]) & 0xc0) == 0x80)
                ++length;
        }
        out.append(m_p, length);
        m_p += length;
    }

    void consumeName(QByteArray& out) {
        for (;;) {
            const char* run = m_p;
            while (m_p < m_end && isNameChar(*m_p) && *m_p != 0)
                ++m_p;
            if (m_p > run)
                out.append(run, m_p - run);
            if (m_p < m_end && *m_p == 0) {
                out.append(chars::kReplacement, 3);
                ++m_p;
            } else if (validEscape(0)) {
                ++m_p;
                consumeEscape(out);
            } else {
                return;
            }
        }
    }

    void consumeString(char quote, Token& token) {
        token.type = Tok::String;
        for (;;) {
            const char* run = m_p;
            while (m_p < m_end && *m_p != quote && *m_p != '\\' && !isNewline(*m_p) && *m_p != 0)
                ++m_p;
            if (m_p > run)
                token.text.append(run, m_p - run);
            if (m_p >= m_end)
                return;
            const char c = *m_p;
            if (c == quote) {
                ++m_p;
                return;
            }
            if (isNewline(c)) {
                token.type = Tok::BadString;
                return;
            }
            if (c == 0) {
                token.text.append(chars::kReplacement, 3);
                ++m_p;
                continue;
            }
            ++m_p; // the backslash
            if (m_p >= m_end)
                return;
            if (isNewline(*m_p)) {
                if (*m_p == '\r' && m_p + 1 < m_end && m_p[1] == '\n')
                    ++m_p;
                ++m_p;
                continue;
            }
            consumeEscape(token.text);
        }
    }

    void consumeNumeric(Token& token) {
        const char* start = m_p;
        bool integer = true;
        if (*m_p == '+' || *m_p == '-')
            ++m_p;
        while (m_p < m_end && chars::isAsciiDigit(*m_p))
            ++m_p;
        if (m_p + 1 < m_end && *m_p == '.' && chars::isAsciiDigit(m_p[1])) {
            integer = false;
            m_p += 2;
            while (m_p < m_end && chars::isAsciiDigit(*m_p))
                ++m_p;
        }
        if (m_p + 1 < m_end && (*m_p == 'e' || *m_p == 'E')) {
            const char* e = m_p + 1;
            if (e + 1 < m_end && (*e == '+' || *e == '-') && chars::isAsciiDigit(e[1]))
                e += 2;
            else if (chars::isAsciiDigit(*e))
                ++e;
            else
                e = nullptr;
            if (e) {
                integer = false;
                m_p = e;
                while (m_p < m_end && chars::isAsciiDigit(*m_p))
                    ++m_p;
            }
        }
        token.integer = integer;
        token.number = numberValue(start, m_p);
        if (startsIdent(0)) {
            consumeName(token.text);
            token.type = Tok::Dimension;
        } else if (m_p < m_end && *m_p == '%') {
            ++m_p;
            token.type = Tok::Percentage;
        } else {
            token.type = Tok::Number;
        }
    }

    // Only the sign and whether the number is zero matter to the value checks, and a rough size.
    static double numberValue(const char* p, const char* end) {
        double sign = 1;
        if (*p == '+' || *p == '-') {
            sign = *p == '-' ? -1 : 1;
            ++p;
        }
        double value = 0;
        bool nonZero = false;
        for (; p < end && (chars::isAsciiDigit(*p) || *p == '.'); ++p) {
            if (*p == '.')
                continue;
            if (*p != '0')
                nonZero = true;
            if (value < 1e300)
                value = value * 10 + (*p - '0');
        }
        return nonZero ? sign * (value == 0 ? 1 : value) : 0.0 * sign;
    }

    void consumeIdentLike(Token& token) {
        consumeName(token.text);
        if (m_p < m_end && *m_p == '(') {
            ++m_p;
            if (token.text.size() == 3 && token.text.compare("url", Qt::CaseInsensitive) == 0) {
                while (m_p + 1 < m_end && chars::isAsciiWhitespace(m_p[0]) &&
                       chars::isAsciiWhitespace(m_p[1]))
                    ++m_p;
                const char next = at(0);
                const char afterSpace = chars::isAsciiWhitespace(next) ? at(1) : next;
                if (afterSpace == '"' || afterSpace == '\'') {
                    token.type = Tok::Function;
                    return;
                }
                token.text.clear();
                consumeUrl(token);
                return;
            }
            token.type = Tok::Function;
            return;
        }
        token.type = Tok::Ident;
    }

    void consumeUrl(Token& token) {
        token.type = Tok::Url;
        while (m_p < m_end && chars::isAsciiWhitespace(*m_p))
            ++m_p;
        for (;;) {
            if (m_p >= m_end)
                return;
            const char c = *m_p;
            if (c == ')') {
                ++m_p;
                return;
            }
            if (chars::isAsciiWhitespace(c)) {
                while (m_p < m_end && chars::isAsciiWhitespace(*m_p))
                    ++m_p;
                if (m_p >= m_end)
                    return;
                if (*m_p == ')') {
                    ++m_p;
                    return;
                }
                break;
            }
            if (c == '"' || c == '\'' || c == '(' || isNonPrintable(c))
                break;
            if (c == '\\') {
                if (!validEscape(0))
                    break;
                ++m_p;
                consumeEscape(token.text);
                continue;
            }
            appendRaw(token.text);
        }
        // A bad URL: its remnants up to ")" are consumed, escapes included.
        token.type = Tok::BadUrl;
        token.text.clear();
        while (m_p < m_end) {
            if (*m_p == ')') {
                ++m_p;
                return;
            }
            if (validEscape(0)) {
                ++m_p;
                QByteArray ignored;
                consumeEscape(ignored);
            } else {
                ++m_p;
            }
        }
    }

    const char* m_begin;
    const char* m_p;
    const char* m_end;
};

} // namespace css
