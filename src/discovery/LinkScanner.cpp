#include "discovery/LinkScanner.h"

#include "core/Bytes.h"
#include "core/Cancellation.h"
#include "core/ErrorTrap.h"
#include "core/Ui.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The scan looks only where an equals sign is followed by a double quote and preceded by a c or
// an f: both openings end that way, so every other byte, and the many class="…" and id="…" of a
// page, are passed over in bulk. Returns the index of such an "=" in [from, limit), or -1. from
// is at least 1 (the byte before it is read); limit never exceeds size - 1, so the quote always
// lies inside the page.
qsizetype findEqualsQuote(const char* p, qsizetype from, qsizetype limit) {
    qsizetype i = from;
#if defined(__SSE2__)
    const __m128i equals = _mm_set1_epi8('=');
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i caseBit = _mm_set1_epi8(0x20);
    const __m128i c = _mm_set1_epi8('c');
    const __m128i f = _mm_set1_epi8('f');
    for (; i + 16 <= limit; i += 16) {
        const __m128i before =
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i - 1)), caseBit);
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        const __m128i named = _mm_or_si128(_mm_cmpeq_epi8(before, c), _mm_cmpeq_epi8(before, f));
        const int mask = _mm_movemask_epi8(
            _mm_and_si128(named, _mm_and_si128(_mm_cmpeq_epi8(a, equals), _mm_cmpeq_epi8(b, quote))));
        if (mask)
            return i + __builtin_ctz(unsigned(mask));
    }
#endif
    while (i < limit) {
        const void* hit = std::memchr(p + i, '=', size_t(limit - i));
        if (!hit)
            return -1;
        i = static_cast<const char*>(hit) - p;
        const char named = char(p[i - 1] | 0x20);
        if (p[i + 1] == '"' && (named == 'c' || named == 'f'))
            return i;
        ++i;
    }
    return -1;
}

bool lowerEquals(const char* p, const char* word, qsizetype n) {
    for (qsizetype k = 0; k < n; ++k)
        if (bytes::lower(p[k]) != word[k])
            return false;
    return true;
}

bool usableLink(const QByteArray& link) {
    return !link.contains('@') && !link.contains("file://");
}

// Once the list holds 32,767 entries, IsListed either finds a link or fails, so the scan lists
// nothing more. Asking first spares a page with more image links than that one thrown failure
// per link.
bool listIsFull(const ImageList& list) {
    return list.count() >= 32767;
}

// How much of the page is scanned between two looks at the clock.
constexpr qsizetype sliceBytes = 256 * 1024;
// How long the scan may keep the event loop waiting; a slice dense with links also looks at the
// clock every so many openings, since adding an entry to the window's list costs more.
constexpr qint64 yieldEveryMs = 15;
constexpr int openingsBetweenClockLooks = 256;

} // namespace

LinkScanner::LinkScanner(DiscoveryState& state, ImageList& list, std::function<QByteArray()> addressText)
    : m_state(state), m_list(&list), m_addressText(std::move(addressText)),
      m_yield([] { QCoreApplication::processEvents(); }) {}

void LinkScanner::startPage() {
    m_arriving = true;
    m_next = 3;
    m_quoteFrom = -1;
}

void LinkScanner::pageComplete() {
    m_arriving = false;
}

void LinkScanner::CollectData() {
    const qsizetype length = qMin<qsizetype>(m_state.PageLength, m_state.PageData.size());
    const char* p = m_state.PageData.constData();
    QElapsedTimer clock;
    clock.start();
    // The shortest name, src, stands before the first possible "=".
    qsizetype from = qMax<qsizetype>(m_next, 3);
    int openings = 0;
    // A page fed in pieces is scanned in short calls; the clock matters for a long page
    // scanned in one, which must not keep the window waiting.
    while (from < length - 1) {
        const qsizetype limit = qMin(length - 1, from + sliceBytes);
        for (;;) {
            const qsizetype q = findEqualsQuote(p, from, limit);
            if (q < 0) {
                from = limit;
                break;
            }
            const bool src = q >= 3 && lowerEquals(p + q - 3, "src", 3);
            const bool href = !src && q >= 4 && lowerEquals(p + q - 4, "href", 4);
            if ((src || href) && m_arriving) {
                // The value runs up to the next quote behind its first byte: until that quote
                // has arrived, the opening waits where it is.
                const qsizetype searchFrom = m_quoteFrom >= 0 ? m_quoteFrom : q + 3;
                if (searchFrom >= length || !std::memchr(p + searchFrom, '"', size_t(length - searchFrom))) {
                    m_next = q;
                    m_quoteFrom = qMax(searchFrom, length);
                    return;
                }
            }
            m_quoteFrom = -1;
            from = q + 1;
            // A value starts right behind the quote; positions here are counted from 1.
            const qint64 valueStart = q + 3;
            try {
                if (src)
                    handleSrc(valueStart);
                else if (href && !m_imagesOnly)
                    handleHref(valueStart);
            } catch (...) {
                // A failure while handling one opening costs only that opening.
            }
            if (++openings == openingsBetweenClockLooks) {
                openings = 0;
                if (clock.elapsed() >= yieldEveryMs)
                    break;
            }
        }
        if (clock.elapsed() >= yieldEveryMs) {
            m_yield();
            if (Cancellation::requested()) {
                m_next = from;
                return;
            }
            clock.restart();
        }
    }
    // The next call starts where this one found no more: an arriving page goes on from there,
    // a whole one is scanned afresh.
    m_next = m_arriving ? qMax<qsizetype>(from, 3) : 3;
}

namespace {

// The value at s as a view into the page, so that making a link copies its bytes only once.
// Empty when no closing quote stands before the end of the page.
QByteArrayView valueAt(const DiscoveryState& state, qint64 s) {
    const QByteArray& data = state.PageData;
    const qsizetype length = qMin<qsizetype>(state.PageLength, data.size());
    // The byte at s is never the closing quote: the search starts behind it.
    if (s < 1 || s >= length)
        return {};
    const void* close = std::memchr(data.constData() + s, '"', size_t(length - s));
    if (!close)
        return {};
    const char* begin = data.constData() + (s - 1);
    return QByteArrayView(begin, static_cast<const char*>(close) - begin);
}

} // namespace

QByteArray LinkScanner::GetLinkValue(qint64 s) const {
    return valueAt(m_state, s).toByteArray();
}

QByteArray resolveLink(QByteArrayView pageBase, QByteArrayView value) {
    if (value.startsWith('/'))
        value = value.sliced(1);
    if (value.size() >= 4 && bytes::equalsNoCase(value.first(4), "http"))
        return value.toByteArray();
    QByteArray link;
    link.reserve(pageBase.size() + 1 + value.size());
    link.append(pageBase).append('/').append(value);
    return link;
}

QByteArray LinkScanner::MakeAbsolute(qint64 s) const {
    const QByteArrayView value = valueAt(m_state, s);
    if (value.isEmpty())
        return {};
    return resolveLink(m_state.PageBase, value);
}

void LinkScanner::AddImageLink(qint64 s) {
    const QByteArray link = MakeAbsolute(s);
    if (!link.isEmpty())
        addLink(link);
}

void LinkScanner::handleSrc(qint64 valueStart) {
    const QByteArray link = MakeAbsolute(valueStart);
    if (!link.isEmpty() && usableLink(link) && !listIsFull(*m_list))
        addLink(link);
}

void LinkScanner::handleHref(qint64 valueStart) {
    const QByteArray link = MakeAbsolute(valueStart);
    if (link.isEmpty())
        return;
    const QByteArrayView lastPiece = QByteArrayView(link).sliced(link.lastIndexOf('/') + 1);
    if (lastPiece.contains('.')) {
        if (usableLink(link) && !listIsFull(*m_list))
            addLink(link);
        return;
    }
    if (bytes::containsNoCase(link, m_addressText()) && !IsSortLink(link)) {
        if (!m_state.PendingPages)
            throw StepFailure(QStringLiteral("Object variable not set"));
        m_state.PendingPages->addKeyed(link, link);
    }
}

void LinkScanner::addLink(const QByteArray& link) {
    if (!m_state.ImageFilter.passes(link) || IsListed(*m_list, link))
        return;
    const int entry = m_list->add(link);
    m_list->setTicked(entry, true);
    m_list->scrollTo(entry);
}

bool IsSortLink(QByteArrayView link) {
    const qsizetype at = bytes::indexOfNoCase(link, "/?C=");
    return at >= 0 && bytes::indexOfNoCase(link, ";O=", at + 4) >= 0;
}

bool IsListed(const ImageList& list, const QByteArray& text) {
    // The entry count and position were 16-bit: past 32,767 the test overflows instead of answering.
    const int n = list.count();
    if (n > 32767)
        throw StepFailure(QStringLiteral("Overflow"));
    if (list.contains(text))
        return true;
    if (n == 32767)
        throw StepFailure(QStringLiteral("Overflow"));
    return false;
}
