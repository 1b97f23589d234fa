#include "web/HtmlTokenizer.h"

#include "web/Chars.h"

#include <QSet>
#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int endOfInput = -1;

struct NamedReference {
    const char* name;
    const char* value;
};

constexpr NamedReference namedReferences[] = {
#include "web/HtmlEntities.inc"
};
constexpr std::size_t longestReferenceName = 32;

// Bytes that end a plain run of a tag name, an attribute name or an unquoted value; the rest
// go over in one piece.
struct StopTable {
    bool stop[256] = {};
    constexpr StopTable(const char* bytes, bool withNul) {
        for (const char* b = bytes; *b; ++b)
            stop[static_cast<unsigned char>(*b)] = true;
        stop[0] = withNul;
    }
    bool operator[](char c) const { return stop[static_cast<unsigned char>(c)]; }
};
constexpr StopTable tagNameStops("\t\n\f\r />", true);
constexpr StopTable attributeNameStops("\t\n\f\r />=", true);
constexpr StopTable unquotedValueStops("\t\n\f\r &>", true);

// The first position in [from, size) holding one of four bytes, or size: attribute values and
// comments are mostly plain bytes, passed over sixteen at a time.
std::size_t findAny(const char* data, std::size_t from, std::size_t size, char a, char b, char c, char d) {
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c), vd = _mm_set1_epi8(d);
    for (; i + 16 <= size; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                                         _mm_or_si128(_mm_cmpeq_epi8(x, vc), _mm_cmpeq_epi8(x, vd)));
        if (const int mask = _mm_movemask_epi8(hit))
            return i + std::size_t(__builtin_ctz(unsigned(mask)));
    }
#endif
    for (; i < size; ++i) {
        const char x = data[i];
        if (x == a || x == b || x == c || x == d)
            return i;
    }
    return size;
}

void appendLowered(QByteArray& out, const char* p, std::size_t n) {
    if (n == 0)
        return;
    const qsizetype old = out.size();
    buffers::append(out, p, n);
    char* const d = out.data() + old;
    for (std::size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(d[i] - 'A') < 26)
            d[i] = char(d[i] + 32);
}

// Numeric references to these C1 positions mean what windows-1252 puts there.
constexpr std::uint16_t c1Replacements[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                              0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                              0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                              0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The longest name of the table that p's first n bytes start with, and its length in found. The
// table is sorted, so the names sharing p's first i bytes are one range, narrowed byte by byte;
// a name of exactly i + 1 bytes comes first in its range.
const NamedReference* longestReference(const char* p, std::size_t n, std::size_t& found) {
    const NamedReference* lo = std::begin(namedReferences);
    const NamedReference* hi = std::end(namedReferences);
    const NamedReference* best = nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        lo = std::lower_bound(lo, hi, c, [i](const NamedReference& r, unsigned char x) {
            return static_cast<unsigned char>(r.name[i]) < x;
        });
        hi = std::upper_bound(lo, hi, c, [i](unsigned char x, const NamedReference& r) {
            return x < static_cast<unsigned char>(r.name[i]);
        });
        if (lo == hi)
            break;
        if (lo->name[i + 1] == '\0') {
            best = lo;
            found = i + 1;
        }
    }
    return best;
}

} // namespace

// The states are functions of their own in the source and one loop in the machine code: inlined
// into step() and next(), a state's move to a known next state becomes a direct jump.
#if defined(__GNUC__)
#define TOKENIZER_STATE [[gnu::always_inline]] inline
#else
#define TOKENIZER_STATE inline
#endif

HtmlTokenizer::HtmlTokenizer(QByteArrayView input, bool final)
    : m_input(input), m_size(std::size_t(input.size())), m_final(final) {}

void HtmlTokenizer::extend(QByteArrayView input, bool final) {
    Q_ASSERT(std::size_t(input.size()) >= m_size);
    m_input = input;
    m_size = std::size_t(input.size());
    m_final = final;
}

int HtmlTokenizer::consume() {
    m_lastPos = m_pos;
    if (m_pos >= m_size) {
        m_starved = !m_final;
        return endOfInput;
    }
    const unsigned char c = static_cast<unsigned char>(m_input[m_pos++]);
    // CR and CR LF are one LF before the tokenizer sees them.
    if (c == '\r') {
        if (m_pos < m_size && m_input[m_pos] == '\n')
            ++m_pos;
        else if (m_pos >= m_size && !m_final)
            m_starved = true; // the LF may be the next piece's first byte
        return '\n';
    }
    return c;
}

bool HtmlTokenizer::lookahead(QByteArrayView word) const {
    const std::size_t n = std::size_t(word.size());
    return m_size - m_pos >= n && std::memcmp(m_input.data() + m_pos, word.data(), n) == 0;
}

bool HtmlTokenizer::lookaheadNoCase(QByteArrayView word) const {
    if (m_size - m_pos < std::size_t(word.size()))
        return false;
    for (qsizetype i = 0; i < word.size(); ++i)
        if (chars::asciiLower(static_cast<unsigned char>(m_input[m_pos + i])) != word[i])
            return false;
    return true;
}

const HtmlTokenizer::Attribute* HtmlTokenizer::findAttribute(QByteArrayView name) const {
    for (std::size_t i = 0; i < m_attributeCount; ++i)
        if (m_attributes[i].name.size() == name.size() &&
            (name.isEmpty() ||
             std::memcmp(m_attributes[i].name.constData(), name.data(), std::size_t(name.size())) == 0))
            return &m_attributes[i];
    return nullptr;
}

void HtmlTokenizer::startTag(bool end) {
    m_endTag = end;
    buffers::reset(m_name);
    m_selfClosing = false;
    m_attributeCount = 0;
    m_dropAttribute = false;
}

void HtmlTokenizer::startAttribute() {
    if (m_dropAttribute) {
        --m_attributeCount;
        m_dropAttribute = false;
    }
    if (m_attributeCount == m_attributes.size())
        m_attributes.emplace_back();
    Attribute& a = m_attributes[m_attributeCount++];
    buffers::reset(a.name);
    buffers::reset(a.value);
}

void HtmlTokenizer::finishAttributeName() {
    // A repeated name keeps the first value; the later one is parsed and dropped. Past a few
    // dozen attributes a set keeps the check linear.
    const QByteArray& name = m_attributes[m_attributeCount - 1].name;
    const std::size_t before = m_attributeCount - 1;
    if (before <= 32) {
        for (std::size_t i = 0; i < before; ++i)
            if (m_attributes[i].name == name) {
                m_dropAttribute = true;
                return;
            }
        return;
    }
    QSet<QByteArrayView> seen;
    seen.reserve(qsizetype(before));
    for (std::size_t i = 0; i < before; ++i)
        seen.insert(m_attributes[i].name);
    m_dropAttribute = seen.contains(QByteArrayView(name));
}

void HtmlTokenizer::characterReference(QByteArray& out, bool inAttribute) {
    const std::size_t start = m_pos;
    const std::size_t size = m_size;
    if (start < size && m_input[start] == '#') {
        std::size_t i = start + 1;
        const bool hex = i < size && (m_input[i] == 'x' || m_input[i] == 'X');
        if (hex)
            ++i;
        const std::size_t digitsStart = i;
        std::uint32_t value = 0;
        while (i < size && (hex ? chars::isAsciiHexDigit(static_cast<unsigned char>(m_input[i]))
                                : chars::isAsciiDigit(m_input[i]))) {
            const char d = m_input[i];
            const std::uint32_t digit = chars::isAsciiDigit(d)
                                            ? std::uint32_t(d - '0')
                                            : std::uint32_t(chars::asciiLower(d) - 'a' + 10);
            // Past the largest code point the exact value no longer matters.
            if (value <= 0x10FFFF)
                value = value * (hex ? 16 : 10) + digit;
            ++i;
        }
        if (i == digitsStart) {
            buffers::append(out, '&');
            return; // "&#" or "&#x" stay as text
        }
        if (i < size && m_input[i] == ';')
            ++i;
        m_pos = i;
        if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            value = 0xFFFD;
        else if (value >= 0x80 && value <= 0x9F)
            value = c1Replacements[value - 0x80];
        chars::appendUtf8(out, value);
        return;
    }
    // The longest name of the table that the input starts with.
    std::size_t run = 0;
    while (start + run < size && run < longestReferenceName && chars::isAsciiAlnum(m_input[start + run]))
        ++run;
    if (run == 0) {
        buffers::append(out, '&');
        return;
    }
    std::size_t candidate = run;
    if (start + run < size && m_input[start + run] == ';' && run < longestReferenceName)
        ++candidate;
    std::size_t n = 0;
    if (const NamedReference* ref = longestReference(m_input.data() + start, candidate, n)) {
        const bool semicolon = m_input[start + n - 1] == ';';
        const int next = start + n < size ? static_cast<unsigned char>(m_input[start + n]) : endOfInput;
        if (inAttribute && !semicolon && (next == '=' || chars::isAsciiAlnum(next))) {
            // In an attribute, "&copy=1" is a query, not a reference.
            buffers::append(out, '&');
            buffers::append(out, m_input.data() + start, n);
        } else {
            buffers::append(out, ref->value, std::strlen(ref->value));
        }
        m_pos = start + n;
        return;
    }
    buffers::append(out, '&'); // no reference: the name is ordinary text
}

HtmlTokenizer::Kind HtmlTokenizer::emitTag() {
    if (m_dropAttribute) {
        --m_attributeCount;
        m_dropAttribute = false;
    }
    const Kind kind = m_endTag ? Kind::EndTag : Kind::StartTag;
    if (!m_endTag)
        buffers::assign(m_lastStartTag, m_name);
    m_state = State::Data;
    if (!m_text.isEmpty()) {
        m_pending = true;
        m_pendingKind = kind;
        return Kind::Characters;
    }
    return kind;
}

HtmlTokenizer::Kind HtmlTokenizer::emitComment() {
    m_state = State::Data;
    if (!m_text.isEmpty()) {
        m_pending = true;
        m_pendingKind = Kind::Comment;
        return Kind::Characters;
    }
    m_text.swap(m_pendingText);
    buffers::reset(m_pendingText);
    return Kind::Comment;
}

HtmlTokenizer::Kind HtmlTokenizer::emitDoctype() {
    m_state = State::Data;
    if (!m_text.isEmpty()) {
        m_pending = true;
        m_pendingKind = Kind::Doctype;
        return Kind::Characters;
    }
    return Kind::Doctype;
}

HtmlTokenizer::Kind HtmlTokenizer::endOfFile() {
    if (!m_final)
        m_starved = true;
    m_eofEmitted = true;
    if (!m_text.isEmpty()) {
        m_pending = true;
        m_pendingKind = Kind::EndOfFile;
        return Kind::Characters;
    }
    return Kind::EndOfFile;
}

// The five text states: the run of text up to "<", then the state after it.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::textState() {
    const char* const data = m_input.data();
    const std::size_t size = m_size;
    const State textState = m_state;
    if (!m_keepText) {
        // Nothing of the text is wanted: jump to the next '<'.
        if (textState == State::Plaintext) {
            m_pos = size;
            return endOfFile();
        }
        const void* lt = m_pos < size ? std::memchr(data + m_pos, '<', size - m_pos) : nullptr;
        if (!lt) {
            m_pos = size;
            return endOfFile();
        }
        m_pos = std::size_t(static_cast<const char*>(lt) - data) + 1;
        m_lastPos = m_pos - 1;
    } else {
        textRun(textState);
        const int c = consume();
        if (c == endOfInput)
            return endOfFile();
        if (c != '<')
            return kContinue; // textRun handled what it stopped at
    }
    switch (textState) {
    case State::Data:
        m_state = State::TagOpen;
        break;
    case State::Rcdata:
        m_state = State::RcdataLessThan;
        break;
    case State::Rawtext:
        m_state = State::RawtextLessThan;
        break;
    default:
        m_state = State::ScriptLessThan;
        break;
    }
    return kContinue;
}

// 13.2.5.1 Data state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::dataState() {
    return textState();
}

// 13.2.5.2 RCDATA state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::rcdataState() {
    return textState();
}

// 13.2.5.3 RAWTEXT state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::rawtextState() {
    return textState();
}

// 13.2.5.4 Script data state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptDataState() {
    return textState();
}

// 13.2.5.5 PLAINTEXT state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::plaintextState() {
    return textState();
}

// 13.2.5.6 Tag open state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::tagOpenState() {
    const int c = consume();
    if (c == '!') {
        m_state = State::MarkupDeclarationOpen;
    } else if (c == '/') {
        m_state = State::EndTagOpen;
    } else if (chars::isAsciiAlpha(c)) {
        startTag(false);
        reconsume();
        m_state = State::TagName;
    } else if (c == '?') {
        buffers::reset(m_pendingText);
        reconsume();
        m_state = State::BogusComment;
    } else {
        appendText('<');
        if (c == endOfInput)
            return endOfFile();
        reconsume();
        m_state = State::Data;
    }
    return kContinue;
}

// 13.2.5.7 End tag open state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::endTagOpenState() {
    const int c = consume();
    if (chars::isAsciiAlpha(c)) {
        startTag(true);
        reconsume();
        m_state = State::TagName;
    } else if (c == '>') {
        m_state = State::Data;
    } else if (c == endOfInput) {
        appendText("</");
        return endOfFile();
    } else {
        buffers::reset(m_pendingText);
        reconsume();
        m_state = State::BogusComment;
    }
    return kContinue;
}

// 13.2.5.8 Tag name state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::tagNameState() {
    const char* const data = m_input.data();
    const std::size_t size = m_size;
    for (;;) {
        std::size_t run = m_pos;
        while (run < size && !tagNameStops[data[run]])
            ++run;
        appendLowered(m_name, data + m_pos, run - m_pos);
        m_pos = run;
        const int c = consume();
        if (chars::isAsciiWhitespace(c)) {
            m_state = State::BeforeAttributeName;
            break;
        }
        if (c == '/') {
            m_state = State::SelfClosingStartTag;
            break;
        }
        if (c == '>')
            return emitTag();
        if (c == endOfInput)
            return endOfFile();
        if (c == 0)
            appendReplacement(m_name);
        else
            buffers::append(m_name, chars::asciiLower(c));
    }
    return kContinue;
}

// The less-than sign states of RCDATA and RAWTEXT.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::textLessThanSign() {
    const bool rcdata = m_state == State::RcdataLessThan;
    const int c = consume();
    if (c == '/') {
        buffers::reset(m_buffer);
        m_state = rcdata ? State::RcdataEndTagOpen : State::RawtextEndTagOpen;
    } else {
        appendText('<');
        reconsume();
        m_state = rcdata ? State::Rcdata : State::Rawtext;
    }
    return kContinue;
}

// 13.2.5.9 RCDATA less-than sign state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::rcdataLessThanState() {
    return textLessThanSign();
}

// 13.2.5.12 RAWTEXT less-than sign state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::rawtextLessThanState() {
    return textLessThanSign();
}

// The end tag open states of the text states.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::textEndTagOpen() {
    const State s = m_state;
    const int c = consume();
    reconsume();
    if (chars::isAsciiAlpha(c)) {
        startTag(true);
        m_state = s == State::RcdataEndTagOpen    ? State::RcdataEndTagName
                  : s == State::RawtextEndTagOpen ? State::RawtextEndTagName
                  : s == State::ScriptEndTagOpen  ? State::ScriptEndTagName
                                                  : State::ScriptEscapedEndTagName;
    } else {
        appendText("</");
        m_state = s == State::RcdataEndTagOpen    ? State::Rcdata
                  : s == State::RawtextEndTagOpen ? State::Rawtext
                  : s == State::ScriptEndTagOpen  ? State::ScriptData
                                                  : State::ScriptEscaped;
    }
    return kContinue;
}

// 13.2.5.10 RCDATA end tag open state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::rcdataEndTagOpenState() {
    return textEndTagOpen();
}

// 13.2.5.13 RAWTEXT end tag open state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::rawtextEndTagOpenState() {
    return textEndTagOpen();
}

// 13.2.5.16 Script data end tag open state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEndTagOpenState() {
    return textEndTagOpen();
}

// 13.2.5.24 Script data escaped end tag open state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEscapedEndTagOpenState() {
    return textEndTagOpen();
}

// The end tag name states of the text states.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::textEndTagName() {
    const State s = m_state;
    const int c = consume();
    if (chars::isAsciiWhitespace(c) && m_name == m_lastStartTag) {
        m_state = State::BeforeAttributeName;
    } else if (c == '/' && m_name == m_lastStartTag) {
        m_state = State::SelfClosingStartTag;
    } else if (c == '>' && m_name == m_lastStartTag) {
        return emitTag();
    } else if (chars::isAsciiAlpha(c)) {
        buffers::append(m_name, chars::asciiLower(c));
        buffers::append(m_buffer, char(c));
    } else {
        appendText("</");
        appendText(m_buffer);
        reconsume();
        m_state = s == State::RcdataEndTagName    ? State::Rcdata
                  : s == State::RawtextEndTagName ? State::Rawtext
                  : s == State::ScriptEndTagName  ? State::ScriptData
                                                  : State::ScriptEscaped;
    }
    return kContinue;
}

// 13.2.5.11 RCDATA end tag name state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::rcdataEndTagNameState() {
    return textEndTagName();
}

// 13.2.5.14 RAWTEXT end tag name state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::rawtextEndTagNameState() {
    return textEndTagName();
}

// 13.2.5.17 Script data end tag name state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEndTagNameState() {
    return textEndTagName();
}

// 13.2.5.25 Script data escaped end tag name state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEscapedEndTagNameState() {
    return textEndTagName();
}

// 13.2.5.15 Script data less-than sign state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptLessThanState() {
    const int c = consume();
    if (c == '/') {
        buffers::reset(m_buffer);
        m_state = State::ScriptEndTagOpen;
    } else if (c == '!') {
        appendText("<!");
        m_state = State::ScriptEscapeStart;
    } else {
        appendText('<');
        reconsume();
        m_state = State::ScriptData;
    }
    return kContinue;
}

// The script data escape start states, with and without the first dash.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEscapeStart() {
    const int c = consume();
    if (c == '-') {
        appendText('-');
        m_state =
            m_state == State::ScriptEscapeStart ? State::ScriptEscapeStartDash : State::ScriptEscapedDashDash;
    } else {
        reconsume();
        m_state = State::ScriptData;
    }
    return kContinue;
}

// 13.2.5.18 Script data escape start state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEscapeStartState() {
    return scriptEscapeStart();
}

// 13.2.5.19 Script data escape start dash state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEscapeStartDashState() {
    return scriptEscapeStart();
}

// Script data escaped text, after none, one or two dashes.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEscapedText() {
    const State s = m_state;
    const int c = consume();
    if (c == '-') {
        appendText('-');
        m_state = s == State::ScriptEscaped ? State::ScriptEscapedDash : State::ScriptEscapedDashDash;
    } else if (c == '<') {
        m_state = State::ScriptEscapedLessThan;
    } else if (c == '>' && s == State::ScriptEscapedDashDash) {
        appendText('>');
        m_state = State::ScriptData;
    } else if (c == endOfInput) {
        return endOfFile();
    } else {
        if (c == 0)
            appendText(chars::kReplacement);
        else
            appendText(char(c));
        m_state = State::ScriptEscaped;
    }
    return kContinue;
}

// 13.2.5.20 Script data escaped state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEscapedState() {
    return scriptEscapedText();
}

// 13.2.5.21 Script data escaped dash state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEscapedDashState() {
    return scriptEscapedText();
}

// 13.2.5.22 Script data escaped dash dash state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEscapedDashDashState() {
    return scriptEscapedText();
}

// 13.2.5.23 Script data escaped less-than sign state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptEscapedLessThanState() {
    const int c = consume();
    if (c == '/') {
        buffers::reset(m_buffer);
        m_state = State::ScriptEscapedEndTagOpen;
    } else if (chars::isAsciiAlpha(c)) {
        buffers::reset(m_buffer);
        appendText('<');
        reconsume();
        m_state = State::ScriptDoubleEscapeStart;
    } else {
        appendText('<');
        reconsume();
        m_state = State::ScriptEscaped;
    }
    return kContinue;
}

// The word "script" that starts or ends a double escape.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptDoubleEscapeBoundary() {
    const bool starting = m_state == State::ScriptDoubleEscapeStart;
    const int c = consume();
    if (chars::isAsciiWhitespace(c) || c == '/' || c == '>') {
        appendText(char(c));
        if (m_buffer == "script")
            m_state = starting ? State::ScriptDoubleEscaped : State::ScriptEscaped;
        else
            m_state = starting ? State::ScriptEscaped : State::ScriptDoubleEscaped;
    } else if (chars::isAsciiAlpha(c)) {
        buffers::append(m_buffer, chars::asciiLower(c));
        appendText(char(c));
    } else {
        reconsume();
        m_state = starting ? State::ScriptEscaped : State::ScriptDoubleEscaped;
    }
    return kContinue;
}

// 13.2.5.26 Script data double escape start state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptDoubleEscapeStartState() {
    return scriptDoubleEscapeBoundary();
}

// 13.2.5.31 Script data double escape end state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptDoubleEscapeEndState() {
    return scriptDoubleEscapeBoundary();
}

// Script data double escaped text, after none, one or two dashes.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptDoubleEscapedText() {
    const State s = m_state;
    const int c = consume();
    if (c == '-') {
        appendText('-');
        m_state = s == State::ScriptDoubleEscaped ? State::ScriptDoubleEscapedDash
                                                  : State::ScriptDoubleEscapedDashDash;
    } else if (c == '<') {
        appendText('<');
        m_state = State::ScriptDoubleEscapedLessThan;
    } else if (c == '>' && s == State::ScriptDoubleEscapedDashDash) {
        appendText('>');
        m_state = State::ScriptData;
    } else if (c == endOfInput) {
        return endOfFile();
    } else {
        if (c == 0)
            appendText(chars::kReplacement);
        else
            appendText(char(c));
        m_state = State::ScriptDoubleEscaped;
    }
    return kContinue;
}

// 13.2.5.27 Script data double escaped state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptDoubleEscapedState() {
    return scriptDoubleEscapedText();
}

// 13.2.5.28 Script data double escaped dash state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptDoubleEscapedDashState() {
    return scriptDoubleEscapedText();
}

// 13.2.5.29 Script data double escaped dash dash state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptDoubleEscapedDashDashState() {
    return scriptDoubleEscapedText();
}

// 13.2.5.30 Script data double escaped less-than sign state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::scriptDoubleEscapedLessThanState() {
    const int c = consume();
    if (c == '/') {
        buffers::reset(m_buffer);
        appendText('/');
        m_state = State::ScriptDoubleEscapeEnd;
    } else {
        reconsume();
        m_state = State::ScriptDoubleEscaped;
    }
    return kContinue;
}

// 13.2.5.32 Before attribute name state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::beforeAttributeNameState() {
    const int c = consume();
    if (chars::isAsciiWhitespace(c))
        return kContinue;
    if (c == '/' || c == '>' || c == endOfInput) {
        reconsume();
        m_state = State::AfterAttributeName;
    } else if (c == '=') {
        startAttribute();
        buffers::append(attr().name, '=');
        m_state = State::AttributeName;
    } else {
        startAttribute();
        reconsume();
        m_state = State::AttributeName;
    }
    return kContinue;
}

// 13.2.5.33 Attribute name state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::attributeNameState() {
    const char* const data = m_input.data();
    const std::size_t size = m_size;
    for (;;) {
        std::size_t run = m_pos;
        while (run < size && !attributeNameStops[data[run]])
            ++run;
        appendLowered(attr().name, data + m_pos, run - m_pos);
        m_pos = run;
        const int c = consume();
        if (chars::isAsciiWhitespace(c) || c == '/' || c == '>' || c == endOfInput) {
            finishAttributeName();
            reconsume();
            m_state = State::AfterAttributeName;
            break;
        }
        if (c == '=') {
            finishAttributeName();
            m_state = State::BeforeAttributeValue;
            break;
        }
        if (c == 0)
            appendReplacement(attr().name);
        else
            buffers::append(attr().name, chars::asciiLower(c));
    }
    return kContinue;
}

// 13.2.5.34 After attribute name state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::afterAttributeNameState() {
    const int c = consume();
    if (chars::isAsciiWhitespace(c))
        return kContinue;
    if (c == '/') {
        m_state = State::SelfClosingStartTag;
    } else if (c == '=') {
        m_state = State::BeforeAttributeValue;
    } else if (c == '>') {
        return emitTag();
    } else if (c == endOfInput) {
        return endOfFile();
    } else {
        startAttribute();
        reconsume();
        m_state = State::AttributeName;
    }
    return kContinue;
}

// 13.2.5.35 Before attribute value state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::beforeAttributeValueState() {
    const int c = consume();
    if (chars::isAsciiWhitespace(c))
        return kContinue;
    if (c == '"') {
        m_state = State::AttributeValueDouble;
    } else if (c == '\'') {
        m_state = State::AttributeValueSingle;
    } else if (c == '>') {
        return emitTag();
    } else {
        reconsume();
        m_state = State::AttributeValueUnquoted;
    }
    return kContinue;
}

// An attribute value in double or single quotes.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::quotedAttributeValue() {
    const char* const data = m_input.data();
    const std::size_t size = m_size;
    const char quote = m_state == State::AttributeValueDouble ? '"' : '\'';
    QByteArray& value = attr().value;
    for (;;) {
        // Plain runs go over in one piece.
        const std::size_t run = findAny(data, m_pos, size, quote, '&', '\r', '\0');
        buffers::append(value, data + m_pos, run - m_pos);
        m_pos = run;
        const int c = consume();
        if (c == quote) {
            m_state = State::AfterAttributeValueQuoted;
            break;
        }
        if (c == '&')
            characterReference(value, true);
        else if (c == 0)
            appendReplacement(value);
        else if (c == endOfInput)
            return endOfFile();
        else
            buffers::append(value, char(c));
    }
    return kContinue;
}

// 13.2.5.36 Attribute value (double-quoted) state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::attributeValueDoubleState() {
    return quotedAttributeValue();
}

// 13.2.5.37 Attribute value (single-quoted) state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::attributeValueSingleState() {
    return quotedAttributeValue();
}

// 13.2.5.38 Attribute value (unquoted) state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::attributeValueUnquotedState() {
    const char* const data = m_input.data();
    const std::size_t size = m_size;
    QByteArray& value = attr().value;
    for (;;) {
        std::size_t run = m_pos;
        while (run < size && !unquotedValueStops[data[run]])
            ++run;
        buffers::append(value, data + m_pos, run - m_pos);
        m_pos = run;
        const int c = consume();
        if (chars::isAsciiWhitespace(c)) {
            m_state = State::BeforeAttributeName;
            break;
        }
        if (c == '&')
            characterReference(value, true);
        else if (c == '>')
            return emitTag();
        else if (c == 0)
            appendReplacement(value);
        else if (c == endOfInput)
            return endOfFile();
        else
            buffers::append(value, char(c));
    }
    return kContinue;
}

// 13.2.5.39 After attribute value (quoted) state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::afterAttributeValueQuotedState() {
    const int c = consume();
    if (chars::isAsciiWhitespace(c)) {
        m_state = State::BeforeAttributeName;
    } else if (c == '/') {
        m_state = State::SelfClosingStartTag;
    } else if (c == '>') {
        return emitTag();
    } else if (c == endOfInput) {
        return endOfFile();
    } else {
        reconsume();
        m_state = State::BeforeAttributeName;
    }
    return kContinue;
}

// 13.2.5.40 Self-closing start tag state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::selfClosingStartTagState() {
    const int c = consume();
    if (c == '>') {
        m_selfClosing = true;
        return emitTag();
    }
    if (c == endOfInput)
        return endOfFile();
    reconsume();
    m_state = State::BeforeAttributeName;
    return kContinue;
}

// 13.2.5.41 Bogus comment state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::bogusCommentState() {
    for (;;) {
        const int c = consume();
        if (c == '>')
            return emitComment();
        if (c == endOfInput) {
            const Kind k = emitComment();
            if (k == Kind::Characters) {
                m_eofEmitted = true;
                return k;
            }
            m_eofEmitted = true;
            return k;
        }
        if (!m_keepText)
            continue;
        if (c == 0)
            appendReplacement(m_pendingText);
        else
            buffers::append(m_pendingText, char(c));
    }
    return kContinue;
}

// 13.2.5.42 Markup declaration open state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::markupDeclarationOpenState() {
    buffers::reset(m_pendingText);
    if (lookahead("--")) {
        m_pos += 2;
        m_state = State::CommentStart;
    } else if (lookaheadNoCase("doctype")) {
        m_pos += 7;
        m_state = State::Doctype;
    } else if (lookahead("[CDATA[")) {
        m_pos += 7;
        if (m_cdataAllowed) {
            m_state = State::CdataSection;
        } else {
            if (m_keepText)
                m_pendingText = "[CDATA[";
            m_state = State::BogusComment;
        }
    } else {
        m_state = State::BogusComment;
    }
    return kContinue;
}

// 13.2.5.43 Comment start state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::commentStartState() {
    const int c = consume();
    if (c == '-') {
        m_state = State::CommentStartDash;
    } else if (c == '>') {
        return emitComment();
    } else {
        reconsume();
        m_state = State::Comment;
    }
    return kContinue;
}

// 13.2.5.44 Comment start dash state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::commentStartDashState() {
    const int c = consume();
    if (c == '-') {
        m_state = State::CommentEnd;
    } else if (c == '>') {
        return emitComment();
    } else if (c == endOfInput) {
        m_eofEmitted = true;
        return emitComment();
    } else {
        if (m_keepText)
            buffers::append(m_pendingText, '-');
        reconsume();
        m_state = State::Comment;
    }
    return kContinue;
}

// 13.2.5.45 Comment state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::commentState() {
    const char* const data = m_input.data();
    const std::size_t size = m_size;
    for (;;) {
        const std::size_t run = findAny(data, m_pos, size, '<', '-', '\r', '\0');
        if (m_keepText)
            buffers::append(m_pendingText, data + m_pos, run - m_pos);
        m_pos = run;
        const int c = consume();
        if (c == '<') {
            if (m_keepText)
                buffers::append(m_pendingText, '<');
            m_state = State::CommentLessThan;
            break;
        }
        if (c == '-') {
            m_state = State::CommentEndDash;
            break;
        }
        if (c == endOfInput) {
            m_eofEmitted = true;
            return emitComment();
        }
        if (m_keepText) {
            if (c == 0)
                appendReplacement(m_pendingText);
            else
                buffers::append(m_pendingText, char(c));
        }
    }
    return kContinue;
}

// 13.2.5.46 Comment less-than sign state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::commentLessThanState() {
    const int c = consume();
    if (c == '!') {
        if (m_keepText)
            buffers::append(m_pendingText, '!');
        m_state = State::CommentLessThanBang;
    } else if (c == '<') {
        if (m_keepText)
            buffers::append(m_pendingText, '<');
    } else {
        reconsume();
        m_state = State::Comment;
    }
    return kContinue;
}

// The comment less-than sign bang states, with and without a dash.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::commentLessThanBang() {
    const int c = consume();
    reconsume();
    if (c == '-') {
        ++m_pos; // consumed after all
        m_state = m_state == State::CommentLessThanBang ? State::CommentLessThanBangDash
                                                        : State::CommentLessThanBangDashDash;
    } else {
        m_state = m_state == State::CommentLessThanBang ? State::Comment : State::CommentEndDash;
    }
    return kContinue;
}

// 13.2.5.47 Comment less-than sign bang state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::commentLessThanBangState() {
    return commentLessThanBang();
}

// 13.2.5.48 Comment less-than sign bang dash state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::commentLessThanBangDashState() {
    return commentLessThanBang();
}

// 13.2.5.49 Comment less-than sign bang dash dash state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::commentLessThanBangDashDashState() {
    const int c = consume();
    reconsume();
    m_state = State::CommentEnd;
    (void)c;
    return kContinue;
}

// 13.2.5.50 Comment end dash state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::commentEndDashState() {
    const int c = consume();
    if (c == '-') {
        m_state = State::CommentEnd;
    } else if (c == endOfInput) {
        m_eofEmitted = true;
        return emitComment();
    } else {
        if (m_keepText)
            buffers::append(m_pendingText, '-');
        reconsume();
        m_state = State::Comment;
    }
    return kContinue;
}

// 13.2.5.51 Comment end state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::commentEndState() {
    const int c = consume();
    if (c == '>') {
        return emitComment();
    } else if (c == '!') {
        m_state = State::CommentEndBang;
    } else if (c == '-') {
        if (m_keepText)
            buffers::append(m_pendingText, '-');
    } else if (c == endOfInput) {
        m_eofEmitted = true;
        return emitComment();
    } else {
        if (m_keepText)
            m_pendingText.append("--");
        reconsume();
        m_state = State::Comment;
    }
    return kContinue;
}

// 13.2.5.52 Comment end bang state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::commentEndBangState() {
    const int c = consume();
    if (c == '-') {
        if (m_keepText)
            m_pendingText.append("--!");
        m_state = State::CommentEndDash;
    } else if (c == '>') {
        return emitComment();
    } else if (c == endOfInput) {
        m_eofEmitted = true;
        return emitComment();
    } else {
        if (m_keepText)
            m_pendingText.append("--!");
        reconsume();
        m_state = State::Comment;
    }
    return kContinue;
}

// 13.2.5.53 DOCTYPE state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::doctypeState() {
    buffers::reset(m_name);
    m_publicId.reset();
    m_systemId.reset();
    m_doctypeNameMissing = true;
    m_forceQuirks = false;
    const int c = consume();
    if (chars::isAsciiWhitespace(c)) {
        m_state = State::BeforeDoctypeName;
    } else if (c == endOfInput) {
        m_forceQuirks = true;
        m_eofEmitted = true;
        return emitDoctype();
    } else {
        reconsume();
        m_state = State::BeforeDoctypeName;
    }
    return kContinue;
}

// 13.2.5.54 Before DOCTYPE name state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::beforeDoctypeNameState() {
    const int c = consume();
    if (chars::isAsciiWhitespace(c))
        return kContinue;
    if (c == '>') {
        m_forceQuirks = true;
        return emitDoctype();
    }
    if (c == endOfInput) {
        m_forceQuirks = true;
        m_eofEmitted = true;
        return emitDoctype();
    }
    m_doctypeNameMissing = false;
    if (c == 0)
        appendReplacement(m_name);
    else
        buffers::append(m_name, chars::asciiLower(c));
    m_state = State::DoctypeName;
    return kContinue;
}

// 13.2.5.55 DOCTYPE name state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::doctypeNameState() {
    const int c = consume();
    if (chars::isAsciiWhitespace(c)) {
        m_state = State::AfterDoctypeName;
    } else if (c == '>') {
        return emitDoctype();
    } else if (c == endOfInput) {
        m_forceQuirks = true;
        m_eofEmitted = true;
        return emitDoctype();
    } else if (c == 0) {
        appendReplacement(m_name);
    } else {
        buffers::append(m_name, chars::asciiLower(c));
    }
    return kContinue;
}

// 13.2.5.56 After DOCTYPE name state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::afterDoctypeNameState() {
    const int c = consume();
    if (chars::isAsciiWhitespace(c))
        return kContinue;
    if (c == '>')
        return emitDoctype();
    if (c == endOfInput) {
        m_forceQuirks = true;
        m_eofEmitted = true;
        return emitDoctype();
    }
    reconsume();
    if (lookaheadNoCase("public")) {
        m_pos += 6;
        m_state = State::AfterDoctypePublicKeyword;
    } else if (lookaheadNoCase("system")) {
        m_pos += 6;
        m_state = State::AfterDoctypeSystemKeyword;
    } else {
        m_forceQuirks = true;
        m_state = State::BogusDoctype;
    }
    return kContinue;
}

// Before a DOCTYPE public or system identifier, after its keyword or not.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::doctypeIdentifierStart() {
    const State s = m_state;
    const bool publicId = s == State::AfterDoctypePublicKeyword || s == State::BeforeDoctypePublicId;
    const bool afterKeyword = s == State::AfterDoctypePublicKeyword || s == State::AfterDoctypeSystemKeyword;
    const int c = consume();
    if (chars::isAsciiWhitespace(c)) {
        if (afterKeyword)
            m_state = publicId ? State::BeforeDoctypePublicId : State::BeforeDoctypeSystemId;
    } else if (c == '"' || c == '\'') {
        (publicId ? m_publicId : m_systemId).emplace();
        if (publicId)
            m_state = c == '"' ? State::DoctypePublicIdDouble : State::DoctypePublicIdSingle;
        else
            m_state = c == '"' ? State::DoctypeSystemIdDouble : State::DoctypeSystemIdSingle;
    } else if (c == '>') {
        m_forceQuirks = true;
        return emitDoctype();
    } else if (c == endOfInput) {
        m_forceQuirks = true;
        m_eofEmitted = true;
        return emitDoctype();
    } else {
        m_forceQuirks = true;
        reconsume();
        m_state = State::BogusDoctype;
    }
    return kContinue;
}

// 13.2.5.57 After DOCTYPE public keyword state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::afterDoctypePublicKeywordState() {
    return doctypeIdentifierStart();
}

// 13.2.5.58 Before DOCTYPE public identifier state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::beforeDoctypePublicIdState() {
    return doctypeIdentifierStart();
}

// 13.2.5.63 After DOCTYPE system keyword state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::afterDoctypeSystemKeywordState() {
    return doctypeIdentifierStart();
}

// 13.2.5.64 Before DOCTYPE system identifier state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::beforeDoctypeSystemIdState() {
    return doctypeIdentifierStart();
}

// A DOCTYPE public or system identifier in double or single quotes.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::quotedDoctypeIdentifier() {
    const State s = m_state;
    const bool publicId = s == State::DoctypePublicIdDouble || s == State::DoctypePublicIdSingle;
    const char quote = s == State::DoctypePublicIdDouble || s == State::DoctypeSystemIdDouble ? '"' : '\'';
    QByteArray& id = *(publicId ? m_publicId : m_systemId);
    const int c = consume();
    if (c == quote) {
        m_state = publicId ? State::AfterDoctypePublicId : State::AfterDoctypeSystemId;
    } else if (c == '>') {
        m_forceQuirks = true;
        return emitDoctype();
    } else if (c == endOfInput) {
        m_forceQuirks = true;
        m_eofEmitted = true;
        return emitDoctype();
    } else if (c == 0) {
        appendReplacement(id);
    } else {
        buffers::append(id, char(c));
    }
    return kContinue;
}

// 13.2.5.59 DOCTYPE public identifier (double-quoted) state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::doctypePublicIdDoubleState() {
    return quotedDoctypeIdentifier();
}

// 13.2.5.60 DOCTYPE public identifier (single-quoted) state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::doctypePublicIdSingleState() {
    return quotedDoctypeIdentifier();
}

// 13.2.5.65 DOCTYPE system identifier (double-quoted) state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::doctypeSystemIdDoubleState() {
    return quotedDoctypeIdentifier();
}

// 13.2.5.66 DOCTYPE system identifier (single-quoted) state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::doctypeSystemIdSingleState() {
    return quotedDoctypeIdentifier();
}

// After a DOCTYPE public identifier, before or after the blank that follows it.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::afterDoctypePublicIdentifier() {
    const int c = consume();
    if (chars::isAsciiWhitespace(c)) {
        m_state = State::BetweenDoctypePublicAndSystemIds;
    } else if (c == '>') {
        return emitDoctype();
    } else if (c == '"' || c == '\'') {
        m_systemId.emplace();
        m_state = c == '"' ? State::DoctypeSystemIdDouble : State::DoctypeSystemIdSingle;
    } else if (c == endOfInput) {
        m_forceQuirks = true;
        m_eofEmitted = true;
        return emitDoctype();
    } else {
        m_forceQuirks = true;
        reconsume();
        m_state = State::BogusDoctype;
    }
    return kContinue;
}

// 13.2.5.61 After DOCTYPE public identifier state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::afterDoctypePublicIdState() {
    return afterDoctypePublicIdentifier();
}

// 13.2.5.62 Between DOCTYPE public and system identifiers state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::betweenDoctypePublicAndSystemIdsState() {
    return afterDoctypePublicIdentifier();
}

// 13.2.5.67 After DOCTYPE system identifier state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::afterDoctypeSystemIdState() {
    const int c = consume();
    if (chars::isAsciiWhitespace(c))
        return kContinue;
    if (c == '>')
        return emitDoctype();
    if (c == endOfInput) {
        m_forceQuirks = true;
        m_eofEmitted = true;
        return emitDoctype();
    }
    reconsume();
    m_state = State::BogusDoctype;
    return kContinue;
}

// 13.2.5.68 Bogus DOCTYPE state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::bogusDoctypeState() {
    const int c = consume();
    if (c == '>')
        return emitDoctype();
    if (c == endOfInput) {
        m_eofEmitted = true;
        return emitDoctype();
    }
    return kContinue;
}

// 13.2.5.69 CDATA section state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::cdataSectionState() {
    for (;;) {
        const int c = consume();
        if (c == ']') {
            m_state = State::CdataSectionBracket;
            break;
        }
        if (c == endOfInput)
            return endOfFile();
        appendText(char(c));
    }
    return kContinue;
}

// 13.2.5.70 CDATA section bracket state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::cdataSectionBracketState() {
    const int c = consume();
    if (c == ']') {
        m_state = State::CdataSectionEnd;
    } else {
        appendText(']');
        reconsume();
        m_state = State::CdataSection;
    }
    return kContinue;
}

// 13.2.5.71 CDATA section end state
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::cdataSectionEndState() {
    const int c = consume();
    if (c == ']') {
        appendText(']');
    } else if (c == '>') {
        m_state = State::Data;
    } else {
        appendText("]]");
        reconsume();
        m_state = State::CdataSection;
    }
    return kContinue;
}

void HtmlTokenizer::textRun(State state) {
    // Collects text up to the byte that needs a decision, which is left unconsumed except for
    // references, NULs and CRs, handled here.
    const char* const data = m_input.data();
    const std::size_t size = m_size;
    for (;;) {
        std::size_t run = m_pos;
        if (state == State::Plaintext) {
            while (run < size && data[run] != 0 && data[run] != '\r')
                ++run;
        } else {
            while (run < size) {
                const char b = data[run];
                if (b == '<' || b == 0 || b == '\r' ||
                    (b == '&' && (state == State::Data || state == State::Rcdata)))
                    break;
                ++run;
            }
        }
        buffers::append(m_text, data + m_pos, run - m_pos);
        m_pos = run;
        if (m_pos >= size || data[m_pos] == '<')
            return;
        const int c = consume();
        if (c == '&') {
            characterReference(m_text, false);
        } else if (c == 0) {
            // In the data state a NUL goes to the tree builder as it is; elsewhere it is replaced.
            if (state == State::Data)
                buffers::append(m_text, '\0');
            else
                appendReplacement(m_text);
        } else {
            buffers::append(m_text, char(c));
        }
    }
}

// One step of the state machine: the current state's function.
TOKENIZER_STATE HtmlTokenizer::Kind HtmlTokenizer::step() {
    switch (m_state) {
    case State::Data:
        return dataState();
    case State::Rcdata:
        return rcdataState();
    case State::Rawtext:
        return rawtextState();
    case State::ScriptData:
        return scriptDataState();
    case State::Plaintext:
        return plaintextState();
    case State::TagOpen:
        return tagOpenState();
    case State::EndTagOpen:
        return endTagOpenState();
    case State::TagName:
        return tagNameState();
    case State::RcdataLessThan:
        return rcdataLessThanState();
    case State::RcdataEndTagOpen:
        return rcdataEndTagOpenState();
    case State::RcdataEndTagName:
        return rcdataEndTagNameState();
    case State::RawtextLessThan:
        return rawtextLessThanState();
    case State::RawtextEndTagOpen:
        return rawtextEndTagOpenState();
    case State::RawtextEndTagName:
        return rawtextEndTagNameState();
    case State::ScriptLessThan:
        return scriptLessThanState();
    case State::ScriptEndTagOpen:
        return scriptEndTagOpenState();
    case State::ScriptEndTagName:
        return scriptEndTagNameState();
    case State::ScriptEscapeStart:
        return scriptEscapeStartState();
    case State::ScriptEscapeStartDash:
        return scriptEscapeStartDashState();
    case State::ScriptEscaped:
        return scriptEscapedState();
    case State::ScriptEscapedDash:
        return scriptEscapedDashState();
    case State::ScriptEscapedDashDash:
        return scriptEscapedDashDashState();
    case State::ScriptEscapedLessThan:
        return scriptEscapedLessThanState();
    case State::ScriptEscapedEndTagOpen:
        return scriptEscapedEndTagOpenState();
    case State::ScriptEscapedEndTagName:
        return scriptEscapedEndTagNameState();
    case State::ScriptDoubleEscapeStart:
        return scriptDoubleEscapeStartState();
    case State::ScriptDoubleEscaped:
        return scriptDoubleEscapedState();
    case State::ScriptDoubleEscapedDash:
        return scriptDoubleEscapedDashState();
    case State::ScriptDoubleEscapedDashDash:
        return scriptDoubleEscapedDashDashState();
    case State::ScriptDoubleEscapedLessThan:
        return scriptDoubleEscapedLessThanState();
    case State::ScriptDoubleEscapeEnd:
        return scriptDoubleEscapeEndState();
    case State::BeforeAttributeName:
        return beforeAttributeNameState();
    case State::AttributeName:
        return attributeNameState();
    case State::AfterAttributeName:
        return afterAttributeNameState();
    case State::BeforeAttributeValue:
        return beforeAttributeValueState();
    case State::AttributeValueDouble:
        return attributeValueDoubleState();
    case State::AttributeValueSingle:
        return attributeValueSingleState();
    case State::AttributeValueUnquoted:
        return attributeValueUnquotedState();
    case State::AfterAttributeValueQuoted:
        return afterAttributeValueQuotedState();
    case State::SelfClosingStartTag:
        return selfClosingStartTagState();
    case State::BogusComment:
        return bogusCommentState();
    case State::MarkupDeclarationOpen:
        return markupDeclarationOpenState();
    case State::CommentStart:
        return commentStartState();
    case State::CommentStartDash:
        return commentStartDashState();
    case State::Comment:
        return commentState();
    case State::CommentLessThan:
        return commentLessThanState();
    case State::CommentLessThanBang:
        return commentLessThanBangState();
    case State::CommentLessThanBangDash:
        return commentLessThanBangDashState();
    case State::CommentLessThanBangDashDash:
        return commentLessThanBangDashDashState();
    case State::CommentEndDash:
        return commentEndDashState();
    case State::CommentEnd:
        return commentEndState();
    case State::CommentEndBang:
        return commentEndBangState();
    case State::Doctype:
        return doctypeState();
    case State::BeforeDoctypeName:
        return beforeDoctypeNameState();
    case State::DoctypeName:
        return doctypeNameState();
    case State::AfterDoctypeName:
        return afterDoctypeNameState();
    case State::AfterDoctypePublicKeyword:
        return afterDoctypePublicKeywordState();
    case State::BeforeDoctypePublicId:
        return beforeDoctypePublicIdState();
    case State::DoctypePublicIdDouble:
        return doctypePublicIdDoubleState();
    case State::DoctypePublicIdSingle:
        return doctypePublicIdSingleState();
    case State::AfterDoctypePublicId:
        return afterDoctypePublicIdState();
    case State::BetweenDoctypePublicAndSystemIds:
        return betweenDoctypePublicAndSystemIdsState();
    case State::AfterDoctypeSystemKeyword:
        return afterDoctypeSystemKeywordState();
    case State::BeforeDoctypeSystemId:
        return beforeDoctypeSystemIdState();
    case State::DoctypeSystemIdDouble:
        return doctypeSystemIdDoubleState();
    case State::DoctypeSystemIdSingle:
        return doctypeSystemIdSingleState();
    case State::AfterDoctypeSystemId:
        return afterDoctypeSystemIdState();
    case State::BogusDoctype:
        return bogusDoctypeState();
    case State::CdataSection:
        return cdataSectionState();
    case State::CdataSectionBracket:
        return cdataSectionBracketState();
    case State::CdataSectionEnd:
        return cdataSectionEndState();
    }
    return kContinue;
}

HtmlTokenizer::Kind HtmlTokenizer::next() {
    if (m_pending) {
        m_pending = false;
        if (m_pendingKind == Kind::Comment) {
            m_text.swap(m_pendingText);
            buffers::reset(m_pendingText);
        } else {
            buffers::reset(m_text);
        }
        return m_pendingKind;
    }
    buffers::reset(m_text);
    if (m_eofEmitted)
        return Kind::EndOfFile;
    if (!m_final && m_size < m_retryAt)
        return Kind::NeedInput;

    // Where the token starts, to begin it again when the input ends before it does.
    const std::size_t start = m_pos;
    const State state = m_state;
    const State returnState = m_returnState;
    // Each state hands back a token or leaves the next state in m_state.
    for (;;) {
        const Kind kind = step();
        if (kind == kContinue)
            continue;
        if (m_starved) [[unlikely]] {
            m_starved = false;
            m_pos = m_lastPos = start;
            m_state = state;
            m_returnState = returnState;
            m_eofEmitted = false;
            m_pending = false;
            buffers::reset(m_text);
            buffers::reset(m_pendingText);
            m_retryAt = m_size + (m_size - start);
            return Kind::NeedInput;
        }
        return kind;
    }
}
