#include "discovery/PageFacts.h"

#include "core/Cancellation.h"
#include "discovery/LinkScanner.h"
#include "web/Chars.h"
#include "web/MarkupWalker.h"
#include "web/PageEncoding.h"
#include "web/WebUrl.h"

#include <optional>
#include <vector>

namespace {

// Collects the title and each img's sources with its alt; resolved once the base is known.
class FactsReader : public MarkupWalker::Handler {
public:
    bool wantsFacts() const override { return true; }
    void title(QByteArrayView text) override { m_title = collapsedWhitespace(text); }
    void base(QByteArrayView href) override { m_base = href.toByteArray(); }
    void imgStart(QByteArrayView alt) override {
        m_inImg = true;
        m_alt = alt.toByteArray();
    }
    void imgEnd() override { m_inImg = false; }
    // Only an img's own sources carry its alt; its style attribute's url() is CSS.
    void candidate(QByteArrayView value, Size) override {
        if (m_inImg)
            m_sources.push_back({value.toByteArray(), m_alt});
    }
    void reference(QByteArrayView, ReferenceContext) override {}
    // A long page's walk ends with the program.
    bool keepGoing() override { return !Cancellation::requested(); }

    struct Source {
        QByteArray value;
        QByteArray alt;
    };
    QByteArray m_title;
    std::optional<QByteArray> m_base;
    std::vector<Source> m_sources;
    QByteArray m_alt;
    bool m_inImg = false;
};

void note(PageFacts& facts, QByteArray link, const QByteArray& alt) {
    if (!link.isEmpty() && !facts.alts.contains(link))
        facts.alts.insert(std::move(link), alt);
}

QByteArray browserLink(QByteArrayView value, const std::optional<WebUrl>& base) {
    const std::optional<WebUrl> url = WebUrl::parseAsBrowser(value, base ? &*base : nullptr);
    return url && url->isHttp() ? url->href() : QByteArray();
}

} // namespace

QByteArray collapsedWhitespace(QByteArrayView text) {
    QByteArray out;
    out.reserve(text.size());
    bool space = false;
    for (const char c : text) {
        if (chars::isAsciiWhitespace(c)) {
            space = !out.isEmpty();
            continue;
        }
        if (space)
            out += ' ';
        space = false;
        out += c;
    }
    return out;
}

PageFacts readPageFacts(const QByteArray& page, const QByteArray& contentType,
                        const FactsResolution& resolution) {
    const QByteArray text = pageEncoding::decode(page, pageEncoding::sniff(page, contentType));
    FactsReader reader;
    MarkupWalker::walk(text, reader);
    PageFacts facts;
    facts.title = reader.m_title;
    if (resolution.classic) {
        // The classic scanner takes a src value up to its quote, as written.
        for (const FactsReader::Source& source : reader.m_sources)
            note(facts, resolveLink(resolution.classicBase, source.value), source.alt);
        return facts;
    }
    std::optional<WebUrl> base = WebUrl::parseAsBrowser(resolution.pageUrl);
    if (reader.m_base) {
        // As the listing: a base that does not parse, or a data: or javascript: one, is no base.
        std::optional<WebUrl> fromBase = WebUrl::parseAsBrowser(*reader.m_base, base ? &*base : nullptr);
        if (fromBase && !fromBase->protocol().startsWith("data:") &&
            !fromBase->protocol().startsWith("javascript:"))
            base = std::move(fromBase);
    }
    for (const FactsReader::Source& source : reader.m_sources)
        note(facts, browserLink(source.value, base), source.alt);
    return facts;
}

PageFacts readRenderedFacts(const QList<BrowserListing::RenderedElement>& elements, const QByteArray& title) {
    PageFacts facts;
    facts.title = collapsedWhitespace(title);
    FactsReader reader;
    for (const BrowserListing::RenderedElement& e : elements) {
        if (e.element.space != MarkupWalker::DomElement::Space::Html || e.element.name != "img")
            continue;
        reader.m_sources.clear();
        MarkupWalker::element(e.element, reader);
        const std::optional<WebUrl> base = WebUrl::parseAsBrowser(e.baseUrl);
        for (const FactsReader::Source& source : reader.m_sources)
            note(facts, browserLink(source.value, base), source.alt);
    }
    return facts;
}
