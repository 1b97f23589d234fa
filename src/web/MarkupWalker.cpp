#include "web/MarkupWalker.h"

#include "web/Buffers.h"
#include "web/Chars.h"

#include "web/CssUrls.h"
#include "web/HtmlTokenizer.h"
#include "web/Srcset.h"

#include <QByteArray>
#include <QList>

#include <cstring>
#include <utility>
#include <vector>

namespace {

bool sameBytes(QByteArrayView a, QByteArrayView b) {
    return a.size() == b.size() &&
           (a.isEmpty() || std::memcmp(a.data(), b.data(), std::size_t(a.size())) == 0);
}

// A name written in the source ("li"_bv). The walk compares names many times a token: this
// comparison is inlined, with the word's length known where it is written.
struct Word {
    const char* data;
    qsizetype size;
    constexpr operator QByteArrayView() const { return QByteArrayView(data, size); }
    friend bool operator==(QByteArrayView a, Word w) { return sameBytes(a, w); }
};

constexpr Word operator""_bv(const char* s, std::size_t n) {
    return Word{s, qsizetype(n)};
}

enum class Ns : std::uint8_t { Html, Svg, MathMl };

// What the tree builder needs to know of an HTML tag name.
enum TagFlag : std::uint32_t {
    Void = 1 << 0,        // never has content: not kept open
    Special = 1 << 1,     // the "special" category: stops an unmatched end tag's search
    ScopeMarker = 1 << 2, // ends the search for an element "in scope"
    ClosesP = 1 << 3,     // a start tag that first closes an open <p>
    Formatting = 1 << 4,  // a formatting element (its end tag runs the adoption agency)
    Rcdata = 1 << 5,      // text with references, no tags
    Rawtext = 1 << 6,     // text without references or tags
    Script = 1 << 7,      // script data
    Plaintext = 1 << 8,   // the rest of the page is text
    Heading = 1 << 9,     // h1 to h6
    NotOnStack = 1 << 10, // html, head, body: the walk never needs them open
    BreaksOut = 1 << 11,  // leaves svg or math content when it starts there
    Watched = 1 << 12,    // named in a rule below: other names skip those comparisons
};

// The known HTML names and their flags, open addressing over a power of two: a lookup, made
// several times a tag, is a short hash, a mask and a comparison or two.
class TagTable {
public:
    std::uint32_t& operator[](QByteArrayView name) {
        Entry& e = m_entries[slotOf(name)];
        e.name = name;
        return e.flags;
    }
    std::uint32_t find(QByteArrayView name) const { return m_entries[slotOf(name)].flags; }
    // Each known name gets a number in the high bits, so open elements can be counted by name.
    void number(std::uint32_t shift) {
        std::uint32_t id = 0;
        for (Entry& e : m_entries)
            if (!e.name.isNull())
                e.flags |= ++id << shift;
    }

private:
    struct Entry {
        QByteArrayView name;
        std::uint32_t flags = 0;
    };
    static constexpr std::size_t kSlots = 512; // a power of two, over thrice the names

    static std::size_t hash(QByteArrayView name) {
        std::uint32_t h = 2166136261u;
        for (const char c : name)
            h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
        return h;
    }
    // The name's slot, or the empty one where it would go.
    std::size_t slotOf(QByteArrayView name) const {
        for (std::size_t i = hash(name) & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
            const Entry& e = m_entries[i];
            if (e.name.isNull() || sameBytes(e.name, name))
                return i;
        }
    }

    Entry m_entries[kSlots];
};

const TagTable& htmlTags() {
    static const TagTable tags = [] {
        TagTable t;
        auto add = [&t](std::initializer_list<QByteArrayView> names, std::uint32_t flags) {
            for (QByteArrayView n : names)
                t[n] |= flags;
        };
        add({"area", "base", "basefont", "bgsound", "br", "col", "embed", "frame", "hr", "img", "input",
             "keygen", "link", "meta", "param", "source", "track", "wbr", "image"},
            Void);
        add({"address",    "applet",   "area",   "article", "aside",     "base",     "basefont", "bgsound",
             "blockquote", "body",     "br",     "button",  "caption",   "center",   "col",      "colgroup",
             "dd",         "details",  "dir",    "div",     "dl",        "dt",       "embed",    "fieldset",
             "figcaption", "figure",   "footer", "form",    "frame",     "frameset", "h1",       "h2",
             "h3",         "h4",       "h5",     "h6",      "head",      "header",   "hgroup",   "hr",
             "html",       "iframe",   "img",    "input",   "keygen",    "li",       "link",     "listing",
             "main",       "marquee",  "menu",   "meta",    "nav",       "noembed",  "noframes", "noscript",
             "object",     "ol",       "p",      "param",   "plaintext", "pre",      "script",   "search",
             "section",    "select",   "source", "style",   "summary",   "table",    "tbody",    "td",
             "template",   "textarea", "tfoot",  "th",      "thead",     "title",    "tr",       "track",
             "ul",         "wbr",      "xmp"},
            Special);
        add({"applet", "caption", "html", "table", "td", "th", "marquee", "object", "template"}, ScopeMarker);
        add({"address", "article", "aside",     "blockquote", "center",     "details", "dialog",
             "dir",     "div",     "dl",        "fieldset",   "figcaption", "figure",  "footer",
             "header",  "hgroup",  "main",      "menu",       "nav",        "ol",      "p",
             "search",  "section", "summary",   "ul",         "h1",         "h2",      "h3",
             "h4",      "h5",      "h6",        "pre",        "listing",    "form",    "table",
             "hr",      "xmp",     "plaintext", "dd",         "dt",         "li"},
            ClosesP);
        add({"a", "b", "big", "code", "em", "font", "i", "nobr", "s", "small", "strike", "strong", "tt", "u"},
            Formatting);
        add({"title", "textarea"}, Rcdata);
        add({"style", "xmp", "iframe", "noembed", "noframes"}, Rawtext);
        add({"script"}, Script);
        add({"plaintext"}, Plaintext);
        add({"h1", "h2", "h3", "h4", "h5", "h6"}, Heading);
        add({"html", "head", "body"}, NotOnStack);
        add({"li",    "dd",    "dt",    "option",   "optgroup", "td",   "th",     "tr",     "tbody",
             "thead", "tfoot", "a",     "base",     "img",      "area", "source", "input",  "video",
             "link",  "meta",  "style", "template", "svg",      "math", "image",  "picture"},
            Watched);
        add({"b",      "big",  "blockquote", "body",  "br",   "center", "code",    "dd",   "div",
             "dl",     "dt",   "em",         "embed", "h1",   "h2",     "h3",      "h4",   "h5",
             "h6",     "head", "hr",         "i",     "img",  "li",     "listing", "menu", "meta",
             "nobr",   "ol",   "p",          "pre",   "ruby", "s",      "small",   "span", "strong",
             "strike", "sub",  "sup",        "table", "tt",   "u",      "ul",      "var"},
            BreaksOut);
        t.number(16);
        return t;
    }();
    return tags;
}

constexpr std::uint32_t idShift = 16;
constexpr std::size_t idCount = 1 << 10;

std::uint32_t flagsOf(QByteArrayView name) {
    return htmlTags().find(name);
}

// The numbers of the names the tree builder looks for most.
struct Ids {
    std::uint32_t p, li, dd, dt, td, th, tr, tbody, thead, tfoot, a, h1, h2, h3, h4, h5, h6;
};

const Ids& ids() {
    static const Ids ids = [] {
        auto id = [](QByteArrayView n) { return flagsOf(n) >> idShift; };
        return Ids{id("p"),  id("li"),    id("dd"),    id("dt"),    id("td"), id("th"),
                   id("tr"), id("tbody"), id("thead"), id("tfoot"), id("a"),  id("h1"),
                   id("h2"), id("h3"),    id("h4"),    id("h5"),    id("h6")};
    }();
    return ids;
}

// Lowers s into out, whose buffer is kept from call to call.
void asciiLowerInto(QByteArray& out, QByteArrayView s) {
    out.resize(s.size());
    char* const d = out.data();
    for (qsizetype i = 0; i < s.size(); ++i)
        d[i] = chars::asciiLower(s[i]);
}

bool equalsNoCase(QByteArrayView a, QByteArrayView lowerWord) {
    if (a.size() != lowerWord.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (chars::asciiLower(a[i]) != lowerWord[i])
            return false;
    }
    return true;
}

// Whether the whitespace-separated tokens of value include word; case as given.
bool hasToken(QByteArrayView value, QByteArrayView word) {
    qsizetype i = 0;
    while (i < value.size()) {
        while (i < value.size() && chars::isAsciiWhitespace(value[i]))
            ++i;
        const qsizetype start = i;
        while (i < value.size() && !chars::isAsciiWhitespace(value[i]))
            ++i;
        if (i > start && value.sliced(start, i - start) == word)
            return true;
    }
    return false;
}

// A style sheet is made only for a style element of no type or of type text/css.
template <class Attribute> bool isCssType(const Attribute* type) {
    return !type || type->value.isEmpty() || equalsNoCase(type->value, "text/css");
}

// The attributes of the element at hand, as the contexts read them: the tokenizer's start tag,
// or an element of a tree a browser built.
struct TagAttributes {
    const HtmlTokenizer& tag;
    std::size_t count() const { return tag.attributeCount(); }
    const HtmlTokenizer::Attribute& at(std::size_t i) const { return tag.attribute(i); }
    const HtmlTokenizer::Attribute* find(QByteArrayView name) const { return tag.findAttribute(name); }
};

struct DomAttributes {
    const MarkupWalker::DomElement& element;
    std::size_t count() const { return std::size_t(element.attributes.size()); }
    const MarkupWalker::DomAttribute& at(std::size_t i) const { return element.attributes[qsizetype(i)]; }
    // The first of a name, as the tokenizer keeps the first of duplicates.
    const MarkupWalker::DomAttribute* find(QByteArrayView name) const {
        for (const MarkupWalker::DomAttribute& a : element.attributes)
            if (sameBytes(a.name, name))
                return &a;
        return nullptr;
    }
};

// The image and link contexts of one element: which of its attributes name an image or a link,
// in the order of its attribute list. One home for the rules, whether the element comes from
// the markup or from the tree a browser built with scripts on.
class Contexts {
public:
    explicit Contexts(MarkupWalker::Handler& handler) : m_handler(handler), m_facts(handler.wantsFacts()) {}

    template <class Attrs> void styleAttributes(const Attrs& attrs) {
        for (std::size_t i = 0; i < attrs.count(); ++i)
            if (attrs.at(i).name == "style"_bv)
                styleAttribute(attrs.at(i).value);
    }

    // An SVG or MathML element: the SVG image's href, style attributes.
    template <class Attrs> void foreign(QByteArrayView name, Ns ns, const Attrs& attrs) {
        decltype(attrs.find("")) href = nullptr;
        if (ns == Ns::Svg && name == "image"_bv) {
            href = attrs.find("href");
            if (!href)
                href = attrs.find("xlink:href");
        }
        for (std::size_t i = 0; i < attrs.count(); ++i) {
            const auto& a = attrs.at(i);
            if (&a == href)
                m_handler.reference(a.value, ReferenceContext::Image);
            else if (a.name == "style"_bv)
                styleAttribute(a.value);
        }
    }

    // An HTML element whose name a rule names (flags has Watched). inPicture: its parent is a
    // picture, whose group of sizes its candidates join.
    template <class Attrs> void html(QByteArrayView name, bool inPicture, const Attrs& attrs) {
        enum How { None, One, Set, LinkOne, OneSize, Sizes };
        bool imageInput = false;
        bool imageLinkElement = false;
        bool imageMetaElement = false;
        if (name == "input"_bv) {
            const auto* type = attrs.find("type");
            imageInput = type && equalsNoCase(type->value, "image");
        } else if (name == "link"_bv) {
            imageLinkElement = imageLink(attrs);
        } else if (name == "meta"_bv) {
            imageMetaElement = imageMeta(attrs);
        }
        auto howFor = [&](QByteArrayView attribute) -> How {
            if (name == "img"_bv) {
                if (attribute == "src"_bv || attribute == "data-src"_bv || attribute == "data-lazy-src"_bv ||
                    attribute == "data-original"_bv)
                    return OneSize;
                if (attribute == "srcset"_bv || attribute == "data-srcset"_bv ||
                    attribute == "data-lazy-srcset"_bv)
                    return Sizes;
            } else if (name == "a"_bv || name == "area"_bv) {
                if (attribute == "href"_bv)
                    return LinkOne;
            } else if (name == "source"_bv) {
                if (attribute == "srcset"_bv || attribute == "data-srcset"_bv)
                    return inPicture ? Sizes : None;
            } else if (name == "input"_bv) {
                if (attribute == "src"_bv)
                    return imageInput ? One : None;
            } else if (name == "video"_bv) {
                if (attribute == "poster"_bv)
                    return One;
            } else if (name == "link"_bv) {
                if (attribute == "href"_bv)
                    return imageLinkElement ? One : None;
                if (attribute == "imagesrcset"_bv)
                    return imageLinkElement ? Set : None;
            } else if (name == "meta"_bv) {
                if (attribute == "content"_bv)
                    return imageMetaElement ? One : None;
            }
            return None;
        };
        // An img is a picture of its own unless its picture's group holds it.
        const bool img = m_facts && name == "img"_bv;
        const bool ownGroup = name == "img"_bv && !inPicture;
        if (ownGroup)
            m_handler.groupStart();
        if (img) {
            const auto* alt = attrs.find("alt");
            m_handler.imgStart(alt ? QByteArrayView(alt->value) : QByteArrayView());
        }
        for (std::size_t i = 0; i < attrs.count(); ++i) {
            const auto& a = attrs.at(i);
            if (a.name == "style"_bv) {
                styleAttribute(a.value);
                continue;
            }
            switch (howFor(a.name)) {
            case None:
                break;
            case One:
                m_handler.reference(a.value, ReferenceContext::Image);
                break;
            case LinkOne:
                m_handler.reference(a.value, ReferenceContext::Link);
                break;
            case Set:
                for (QByteArrayView url : srcsetUrls(a.value))
                    m_handler.reference(url, ReferenceContext::Image);
                break;
            case OneSize:
                m_handler.candidate(a.value, {});
                break;
            case Sizes:
                for (const SrcsetCandidate& c : srcsetCandidates(a.value))
                    m_handler.candidate(c.url, {MarkupWalker::Handler::Size::Kind(int(c.kind)), c.value});
                break;
            }
        }
        if (img)
            m_handler.imgEnd();
        if (ownGroup)
            m_handler.groupEnd();
    }

    // How many url() values style attributes have given so far: an element whose style
    // attribute holds one counts as an image inside a link.
    qsizetype styleUrls() const { return m_styleUrls; }

    void styleAttribute(QByteArrayView value) {
        m_urls.clear();
        cssUrlsOfDeclarations(value, m_urls);
        m_styleUrls += m_urls.size();
        for (const QByteArray& url : m_urls)
            m_handler.reference(url, ReferenceContext::Image);
    }

    void styleSheet(QByteArrayView sheet) {
        m_urls.clear();
        cssUrlsOfStyleSheet(sheet, m_urls);
        for (const QByteArray& url : m_urls)
            m_handler.reference(url, ReferenceContext::Image);
    }

private:
    template <class Attrs> bool imageLink(const Attrs& attrs) {
        const auto* rel = attrs.find("rel");
        if (!rel)
            return false;
        asciiLowerInto(m_lowered, rel->value);
        const QByteArray& rels = m_lowered;
        if (hasToken(rels, "icon") || hasToken(rels, "apple-touch-icon") ||
            hasToken(rels, "apple-touch-icon-precomposed") || hasToken(rels, "mask-icon"))
            return true;
        const auto* as = attrs.find("as");
        return hasToken(rels, "preload") && as && equalsNoCase(as->value, "image");
    }

    template <class Attrs> bool imageMeta(const Attrs& attrs) {
        static constexpr QByteArrayView names[] = {"og:image", "og:image:url", "og:image:secure_url",
                                                   "twitter:image", "twitter:image:src"};
        for (const char* attribute : {"property", "name"}) {
            if (const auto* a = attrs.find(attribute)) {
                asciiLowerInto(m_lowered, a->value);
                const QByteArray& value = m_lowered;
                for (QByteArrayView n : names)
                    if (value == n)
                        return true;
            }
        }
        const auto* itemprop = attrs.find("itemprop");
        return itemprop && hasToken(itemprop->value, "image");
    }

    MarkupWalker::Handler& m_handler;
    const bool m_facts; // the handler wants an img's alt
    qsizetype m_styleUrls = 0;
    // A lowered attribute value, compared and dropped.
    QByteArray m_lowered;
    QList<QByteArray> m_urls;
};

// Open elements beyond this depth are not kept: the walk stays linear on endless nesting, as
// browsers stop nesting their trees at a like depth.
constexpr std::size_t maxDepth = 512;
// Tokens between two questions whether to go on.
constexpr unsigned tokensPerTick = 2048;

class Walker {
public:
    Walker(QByteArrayView page, MarkupWalker::Handler& handler, bool baseOnly, bool final = true)
        : m_tokenizer(page, final), m_handler(handler), m_contexts(handler), m_baseOnly(baseOnly),
          m_anchors(!baseOnly && handler.wantsAnchors()), m_wantsTitle(!baseOnly && handler.wantsFacts()) {}

    // More of the page: the text so far, the earlier bytes unchanged.
    void extend(QByteArrayView page, bool final) { m_tokenizer.extend(page, final); }
    // Whether the walk is over: the page ended, the base was found or the handler stopped it.
    bool over() const { return m_over; }
    std::size_t position() const { return m_tokenizer.position(); }

    // Walks as far as the input goes.
    void run() {
        while (!m_over) {
            const HtmlTokenizer::Kind kind = m_tokenizer.next();
            if (kind == HtmlTokenizer::Kind::NeedInput)
                return;
            if (kind == HtmlTokenizer::Kind::EndOfFile) {
                m_over = true;
                // A style element the page never closes still has its sheet, a title its text.
                if (m_collecting)
                    finishSheet();
                if (m_titleOpen)
                    finishTitle();
                // And a picture it never closes ends its group of sizes.
                for (std::size_t i = m_stack.size(); i-- > 0;)
                    if (std::exchange(m_stack[i].group, false))
                        m_handler.groupEnd();
                return;
            }
            switch (kind) {
            case HtmlTokenizer::Kind::StartTag:
                startTag();
                break;
            case HtmlTokenizer::Kind::EndTag:
                endTag(m_tokenizer.name());
                break;
            case HtmlTokenizer::Kind::Characters:
                if (m_collecting)
                    buffers::append(m_sheet, m_tokenizer.text());
                else if (m_titleOpen && m_title.size() < MarkupWalker::maxTitleBytes)
                    m_title += m_tokenizer.text().first(
                        qMin(m_tokenizer.text().size(), MarkupWalker::maxTitleBytes - m_title.size()));
                break;
            default:
                break;
            }
            if (m_done) {
                m_over = true;
                return;
            }
            if (++m_sinceTick == tokensPerTick) {
                m_sinceTick = 0;
                if (!m_handler.keepGoing()) {
                    m_over = true;
                    return;
                }
            }
        }
    }

private:
    struct Open {
        QByteArray name;
        Ns ns;
        std::uint32_t flags; // TagFlag of an HTML element
        bool htmlIntegration;
        bool mathTextIntegration;
        bool group = false;    // a picture whose group of sizes ends with it
        qsizetype anchor = -1; // an a element with an href: its number
    };

    bool inTemplate() const { return m_templates > 0; }

    // How many elements of a known HTML name are open: most searches of the stack for one end
    // before they start.
    int& openCount(const Open& e) { return m_openCount[e.ns == Ns::Html ? (e.flags >> idShift) : 0]; }
    bool noneOpen(QByteArrayView name) const { return noneOpenId(flagsOf(name) >> idShift); }
    bool noneOpenId(std::uint32_t id) const { return id != 0 && m_openCount[id] == 0; }

    void push(QByteArrayView name, Ns ns, std::uint32_t flags, bool htmlIntegration, bool mathText) {
        if (m_stack.size() >= maxDepth)
            return;
        QByteArray owned;
        if (!m_spareNames.empty()) {
            owned = std::move(m_spareNames.back());
            m_spareNames.pop_back();
        }
        buffers::assign(owned, name);
        m_stack.push_back({std::move(owned), ns, flags, htmlIntegration, mathText});
        ++openCount(m_stack.back());
        if (ns == Ns::Html && name == "template"_bv)
            ++m_templates;
        m_tokenizer.setCdataAllowed(ns != Ns::Html);
    }

    void popTo(std::size_t size) {
        while (m_stack.size() > size) {
            const Open& top = m_stack.back();
            if (top.ns == Ns::Html && top.name == "template"_bv)
                --m_templates;
            if (m_collecting && m_stack.size() - 1 == m_sheetDepth)
                finishSheet();
            if (top.group)
                m_handler.groupEnd();
            --openCount(m_stack.back());
            m_spareNames.push_back(std::move(m_stack.back().name));
            m_stack.pop_back();
        }
        m_tokenizer.setCdataAllowed(!m_stack.empty() && m_stack.back().ns != Ns::Html);
    }

    void eraseAt(std::size_t index) {
        if (m_stack[index].ns == Ns::Html && m_stack[index].name == "template"_bv)
            --m_templates;
        if (m_collecting && index == m_sheetDepth)
            finishSheet();
        if (m_stack[index].group)
            m_handler.groupEnd();
        --openCount(m_stack[index]);
        m_spareNames.push_back(std::move(m_stack[index].name));
        m_stack.erase(m_stack.begin() + std::ptrdiff_t(index));
        if (m_collecting && m_sheetDepth > index)
            --m_sheetDepth;
    }

    // The element's index on the stack when it is in the given scope (the HTML namespace's
    // markers, plus extra names), or -1.
    std::ptrdiff_t inScope(QByteArrayView name, std::uint32_t id,
                           std::initializer_list<QByteArrayView> extra = {}) const {
        if (noneOpenId(id))
            return -1;
        for (std::size_t i = m_stack.size(); i-- > 0;) {
            const Open& e = m_stack[i];
            if (e.ns == Ns::Html && sameBytes(e.name, name))
                return std::ptrdiff_t(i);
            if (isScopeMarker(e))
                return -1;
            if (e.ns == Ns::Html)
                for (QByteArrayView x : extra)
                    if (sameBytes(e.name, x))
                        return -1;
        }
        return -1;
    }

    static bool isScopeMarker(const Open& e) {
        if (e.ns == Ns::Html)
            return (e.flags & ScopeMarker) != 0;
        return e.htmlIntegration || e.mathTextIntegration;
    }
    static bool isSpecial(const Open& e) {
        if (e.ns == Ns::Html)
            return (e.flags & Special) != 0;
        return e.htmlIntegration || e.mathTextIntegration;
    }

    void closeP() {
        const std::ptrdiff_t p = inScope("p", ids().p, {"button"});
        if (p >= 0)
            popTo(std::size_t(p));
    }

    // The implied closings a start tag brings in the HTML namespace.
    void impliedClosings(QByteArrayView name, std::uint32_t flags) {
        if (!(flags & Watched)) {
            if (flags & ClosesP)
                closeP();
            if ((flags & Heading) && !m_stack.empty() && m_stack.back().ns == Ns::Html &&
                (m_stack.back().flags & Heading))
                popTo(m_stack.size() - 1);
            return;
        }
        if ((name == "li"_bv && !noneOpenId(ids().li)) ||
            ((name == "dd"_bv || name == "dt"_bv) && !(noneOpenId(ids().dd) && noneOpenId(ids().dt)))) {
            for (std::size_t i = m_stack.size(); i-- > 0;) {
                const Open& e = m_stack[i];
                const bool match =
                    e.ns == Ns::Html &&
                    (name == "li"_bv ? e.name == "li"_bv : (e.name == "dd"_bv || e.name == "dt"_bv));
                if (match) {
                    popTo(i);
                    break;
                }
                if (isSpecial(e) &&
                    !(e.ns == Ns::Html && (e.name == "address"_bv || e.name == "div"_bv || e.name == "p"_bv)))
                    break;
            }
        }
        if (flags & ClosesP)
            closeP();
        if ((flags & Heading) && !m_stack.empty() && m_stack.back().ns == Ns::Html &&
            (m_stack.back().flags & Heading))
            popTo(m_stack.size() - 1);
        if ((name == "option"_bv || name == "optgroup"_bv) && !m_stack.empty() &&
            m_stack.back().ns == Ns::Html && m_stack.back().name == "option"_bv)
            popTo(m_stack.size() - 1);
        if (name == "td"_bv || name == "th"_bv || name == "tr"_bv || name == "tbody"_bv ||
            name == "thead"_bv || name == "tfoot"_bv) {
            // A new cell, row or section ends the one still open in the same table.
            for (std::size_t i = m_stack.size(); i-- > 0;) {
                const Open& e = m_stack[i];
                if (e.ns != Ns::Html)
                    continue;
                if (e.name == "table"_bv || e.name == "template"_bv)
                    break;
                const bool cell = e.name == "td"_bv || e.name == "th"_bv;
                const bool row = e.name == "tr"_bv;
                const bool section = e.name == "tbody"_bv || e.name == "thead"_bv || e.name == "tfoot"_bv;
                if ((name == "td"_bv || name == "th"_bv) && row)
                    break;
                if ((name == "td"_bv || name == "th"_bv) && cell) {
                    popTo(i);
                    break;
                }
                if (name == "tr"_bv && section)
                    break;
                if (name == "tr"_bv && row) {
                    popTo(i);
                    break;
                }
                if (section && name != "tr"_bv && name != "td"_bv && name != "th"_bv) {
                    popTo(i);
                    break;
                }
            }
        }
        if (name == "a"_bv && !noneOpenId(ids().a))
            closeFormatting("a");
    }

    // An end tag of a formatting element, or a new <a> inside one: the element ends; when block
    // elements were opened inside it, they stay open.
    void closeFormatting(QByteArrayView name) {
        if (noneOpen(name))
            return;
        for (std::size_t i = m_stack.size(); i-- > 0;) {
            const Open& e = m_stack[i];
            if (e.ns == Ns::Html && sameBytes(e.name, name)) {
                bool blockInside = false;
                for (std::size_t k = i + 1; k < m_stack.size(); ++k)
                    blockInside = blockInside || isSpecial(m_stack[k]);
                if (blockInside)
                    eraseAt(i);
                else
                    popTo(i);
                return;
            }
            if (isScopeMarker(e))
                return;
        }
    }

    bool breaksOut(QByteArrayView name, std::uint32_t flags) const {
        if (flags & BreaksOut)
            return true;
        return name == "font"_bv && (m_tokenizer.findAttribute("color") ||
                                     m_tokenizer.findAttribute("face") || m_tokenizer.findAttribute("size"));
    }

    // Whether a start tag goes by the rules of foreign content.
    bool foreignFor(QByteArrayView name) const {
        if (m_stack.empty())
            return false;
        const Open& top = m_stack.back();
        if (top.ns == Ns::Html || top.htmlIntegration)
            return false;
        if (top.mathTextIntegration && name != "mglyph"_bv && name != "malignmark"_bv)
            return false;
        if (top.ns == Ns::MathMl && top.name == "annotation-xml"_bv && name == "svg"_bv)
            return false;
        return true;
    }

    void startTag() {
        const QByteArrayView tokenName = m_tokenizer.name();
        std::uint32_t flags = flagsOf(tokenName);
        if (foreignFor(tokenName)) {
            if (!breaksOut(tokenName, flags)) {
                const Ns ns = m_stack.back().ns;
                foreignElement(tokenName, ns);
                return;
            }
            while (!m_stack.empty() && m_stack.back().ns != Ns::Html && !m_stack.back().htmlIntegration &&
                   !m_stack.back().mathTextIntegration)
                popTo(m_stack.size() - 1);
        }
        QByteArrayView name = tokenName;
        if (flags & Watched) {
            if (tokenName == "svg"_bv) {
                foreignElement(tokenName, Ns::Svg);
                return;
            }
            if (tokenName == "math"_bv) {
                foreignElement(tokenName, Ns::MathMl);
                return;
            }
            // An <image> start tag outside SVG is an <img>.
            if (tokenName == "image"_bv) {
                name = "img"_bv;
                flags = flagsOf(name);
            }
        }
        impliedClosings(name, flags);
        htmlElement(name, flags);
        // The document's title is its first HTML title element; one in a template is no part of it.
        if (m_wantsTitle && !m_titleSeen && (flags & Rcdata) && name == "title"_bv && !inTemplate()) {
            m_titleSeen = true;
            m_titleOpen = true;
            m_tokenizer.setKeepText(true);
        }
        if (flags & (Rcdata | Rawtext | Script | Plaintext)) {
            m_tokenizer.setLastStartTag(name);
            m_tokenizer.setState((flags & Rcdata)    ? HtmlTokenizer::State::Rcdata
                                 : (flags & Rawtext) ? HtmlTokenizer::State::Rawtext
                                 : (flags & Script)  ? HtmlTokenizer::State::ScriptData
                                                     : HtmlTokenizer::State::Plaintext);
        }
        const std::size_t depth = m_stack.size();
        if (!(flags & (Void | NotOnStack)))
            push(name, Ns::Html, flags, false, false);
        const bool pushed = m_stack.size() > depth;
        if (pushed) {
            m_stack.back().group = std::exchange(m_pendingGroup, false);
            m_stack.back().anchor = std::exchange(m_pendingAnchor, -1);
        } else {
            // Too deep to be kept open: its group of sizes ends at once.
            if (std::exchange(m_pendingGroup, false))
                m_handler.groupEnd();
            m_pendingAnchor = -1;
        }
        if (name == "style"_bv && m_pendingSheet)
            beginSheet();
    }

    // An image-context element just went by: every link open around it holds an image.
    void imageInOpenAnchors() {
        if (noneOpenId(ids().a))
            return;
        for (std::size_t i = m_stack.size(); i-- > 0;)
            if (m_stack[i].anchor >= 0)
                m_handler.imageInAnchor(m_stack[i].anchor);
    }

    void foreignElement(QByteArrayView name, Ns ns) {
        bool htmlIntegration = false;
        bool mathText = false;
        if (ns == Ns::Svg) {
            htmlIntegration = name == "foreignobject"_bv || name == "desc"_bv || name == "title"_bv;
        } else {
            mathText = name == "mi"_bv || name == "mo"_bv || name == "mn"_bv || name == "ms"_bv ||
                       name == "mtext"_bv;
            if (name == "annotation-xml"_bv) {
                const HtmlTokenizer::Attribute* encoding = m_tokenizer.findAttribute("encoding");
                htmlIntegration = encoding && (equalsNoCase(encoding->value, "text/html") ||
                                               equalsNoCase(encoding->value, "application/xhtml+xml"));
            }
        }
        if (!inTemplate() && !m_baseOnly) {
            const qsizetype styleUrls = m_contexts.styleUrls();
            m_contexts.foreign(name, ns, TagAttributes{m_tokenizer});
            if (m_anchors && ((ns == Ns::Svg && name == "image"_bv) || m_contexts.styleUrls() > styleUrls))
                imageInOpenAnchors();
        }
        const bool svgStyle = ns == Ns::Svg && name == "style"_bv && !inTemplate() && !m_baseOnly &&
                              isCssType(m_tokenizer.findAttribute("type"));
        if (m_tokenizer.selfClosing()) {
            return; // an empty style element has an empty sheet
        }
        push(name, ns, 0, htmlIntegration, mathText);
        if (svgStyle && !m_collecting && m_stack.size() < maxDepth && sameBytes(m_stack.back().name, name))
            beginSheetAt(m_stack.size() - 1);
    }

    void endTag(QByteArrayView name) {
        // A title's text ends at the first end tag: its text takes no tags.
        if (m_titleOpen)
            finishTitle();
        if (m_collecting && m_sheetDepth == unpushed && name == "style"_bv) {
            finishSheet();
            return;
        }
        if (!m_stack.empty() && m_stack.back().ns != Ns::Html) {
            if (name == "br"_bv || name == "p"_bv) {
                while (!m_stack.empty() && m_stack.back().ns != Ns::Html && !m_stack.back().htmlIntegration &&
                       !m_stack.back().mathTextIntegration)
                    popTo(m_stack.size() - 1);
            } else {
                for (std::size_t i = m_stack.size(); i-- > 0;) {
                    const Open& e = m_stack[i];
                    if (e.ns == Ns::Html)
                        break; // the HTML rules below take over
                    if (sameBytes(e.name, name)) {
                        popTo(i);
                        return;
                    }
                }
            }
        }
        const std::uint32_t flags = flagsOf(name);
        if (flags & NotOnStack)
            return;
        if (name == "template"_bv) {
            if (m_templates == 0)
                return;
            for (std::size_t i = m_stack.size(); i-- > 0;)
                if (m_stack[i].ns == Ns::Html && m_stack[i].name == "template"_bv) {
                    popTo(i);
                    return;
                }
            return;
        }
        if (flags & Formatting) {
            closeFormatting(name);
            return;
        }
        if (flags & Special) {
            const std::ptrdiff_t at = (flags & Heading) ? headingInScope() : inScope(name, flags >> idShift);
            if (at >= 0)
                popTo(std::size_t(at));
            return;
        }
        if (noneOpen(name))
            return;
        for (std::size_t i = m_stack.size(); i-- > 0;) {
            const Open& e = m_stack[i];
            if (e.ns == Ns::Html && sameBytes(e.name, name)) {
                popTo(i);
                return;
            }
            if (isSpecial(e))
                return;
        }
    }

    std::ptrdiff_t headingInScope() const {
        const Ids& id = ids();
        if (noneOpenId(id.h1) && noneOpenId(id.h2) && noneOpenId(id.h3) && noneOpenId(id.h4) &&
            noneOpenId(id.h5) && noneOpenId(id.h6))
            return -1;
        for (std::size_t i = m_stack.size(); i-- > 0;) {
            const Open& e = m_stack[i];
            if (e.ns == Ns::Html && (e.flags & Heading))
                return std::ptrdiff_t(i);
            if (isScopeMarker(e))
                return -1;
        }
        return -1;
    }

    void htmlElement(QByteArrayView name, std::uint32_t flags) {
        if (inTemplate())
            return;
        if (!(flags & Watched)) {
            // Of an element no rule names, only a style attribute counts.
            m_pendingSheet = false;
            if (m_baseOnly)
                return;
            const qsizetype styleUrls = m_contexts.styleUrls();
            m_contexts.styleAttributes(TagAttributes{m_tokenizer});
            if (m_anchors && m_contexts.styleUrls() > styleUrls)
                imageInOpenAnchors();
            return;
        }
        if (name == "base"_bv) {
            if (!m_baseSeen) {
                if (const HtmlTokenizer::Attribute* href = m_tokenizer.findAttribute("href")) {
                    m_baseSeen = true;
                    m_handler.base(href->value);
                    if (m_baseOnly)
                        m_done = true;
                }
            }
        }
        if (m_baseOnly)
            return;
        const bool inPicture = (name == "source"_bv || name == "img"_bv) && !m_stack.empty() &&
                               m_stack.back().ns == Ns::Html && m_stack.back().name == "picture"_bv;
        if (name == "picture"_bv) {
            // Its sources and its img are one picture in several sizes, until it ends.
            m_handler.groupStart();
            m_pendingGroup = true;
        }
        if (m_anchors && name == "a"_bv && m_tokenizer.findAttribute("href")) {
            m_pendingAnchor = m_anchorCount++;
            m_handler.anchor(m_pendingAnchor);
        }
        const qsizetype styleUrls = m_contexts.styleUrls();
        m_contexts.html(name, inPicture, TagAttributes{m_tokenizer});
        if (m_anchors) {
            const HtmlTokenizer::Attribute* type =
                name == "input"_bv ? m_tokenizer.findAttribute("type") : nullptr;
            if (name == "img"_bv || name == "picture"_bv || (type && equalsNoCase(type->value, "image")) ||
                m_contexts.styleUrls() > styleUrls)
                imageInOpenAnchors();
        }
        m_pendingSheet = name == "style"_bv && isCssType(m_tokenizer.findAttribute("type"));
    }

    void beginSheet() {
        m_pendingSheet = false;
        if (m_stack.empty() || m_stack.back().name != "style"_bv) {
            // Too deep to be kept open: the text still reaches the end tag.
            m_sheetDepth = unpushed;
        } else {
            m_sheetDepth = m_stack.size() - 1;
        }
        m_collecting = true;
        buffers::reset(m_sheet);
        m_tokenizer.setKeepText(true);
    }

    void beginSheetAt(std::size_t depth) {
        m_sheetDepth = depth;
        m_collecting = true;
        buffers::reset(m_sheet);
        m_tokenizer.setKeepText(true);
    }

    void finishTitle() {
        m_titleOpen = false;
        m_tokenizer.setKeepText(m_collecting);
        m_handler.title(m_title);
        m_title = {};
    }

    void finishSheet() {
        m_collecting = false;
        m_tokenizer.setKeepText(false);
        m_contexts.styleSheet(m_sheet);
        buffers::reset(m_sheet);
    }

    HtmlTokenizer m_tokenizer;
    MarkupWalker::Handler& m_handler;
    Contexts m_contexts;
    const bool m_baseOnly;
    // The handler wants to know which links hold images.
    const bool m_anchors;
    qsizetype m_anchorCount = 0;
    // The handler wants the title: whether it began, whether its text is being collected.
    const bool m_wantsTitle;
    bool m_titleSeen = false;
    bool m_titleOpen = false;
    QByteArray m_title;
    // What the element being started brings onto the stack with it.
    bool m_pendingGroup = false;
    qsizetype m_pendingAnchor = -1;
    bool m_done = false;
    bool m_over = false;
    unsigned m_sinceTick = 0;
    bool m_baseSeen = false;
    std::vector<Open> m_stack;
    std::vector<int> m_openCount = std::vector<int>(idCount, 0);
    int m_templates = 0;
    // A style element's text, collected until the element ends.
    bool m_pendingSheet = false;
    bool m_collecting = false;
    static constexpr std::size_t unpushed = std::size_t(-1);
    std::size_t m_sheetDepth = 0;
    QByteArray m_sheet;
    // The names of popped elements, whose buffers the next pushes take over.
    std::vector<QByteArray> m_spareNames;
};

class BaseOnly : public MarkupWalker::Handler {
public:
    explicit BaseOnly(const std::function<bool()>& goOn) : m_goOn(goOn) {}
    bool keepGoing() override { return !m_goOn || m_goOn(); }
    void base(QByteArrayView href) override {
        found = true;
        value = href.toByteArray();
    }
    void reference(QByteArrayView, ReferenceContext) override {}
    bool found = false;
    QByteArray value;

private:
    const std::function<bool()>& m_goOn;
};

} // namespace

bool MarkupWalker::findBase(QByteArrayView page, QByteArray& href, const std::function<bool()>& keepGoing) {
    BaseOnly handler(keepGoing);
    Walker(page, handler, true).run();
    if (handler.found)
        href = std::move(handler.value);
    return handler.found;
}

void MarkupWalker::walk(QByteArrayView page, Handler& handler) {
    Walker(page, handler, false).run();
}

struct MarkupWalker::Stream::Walking {
    Walking(Handler& handler) : walker({}, handler, false, false) {}
    Walker walker;
};

MarkupWalker::Stream::Stream(Handler& handler) : m_walking(std::make_unique<Walking>(handler)) {}

MarkupWalker::Stream::~Stream() = default;

void MarkupWalker::Stream::feed(QByteArrayView page, bool final) {
    if (m_walking->walker.over())
        return;
    m_walking->walker.extend(page, final);
    m_walking->walker.run();
}

bool MarkupWalker::Stream::over() const {
    return m_walking->walker.over();
}

qsizetype MarkupWalker::Stream::position() const {
    return qsizetype(m_walking->walker.position());
}

void MarkupWalker::element(const DomElement& element, Handler& handler) {
    Contexts contexts(handler);
    const DomAttributes attrs{element};
    switch (element.space) {
    case DomElement::Space::Html: {
        if (flagsOf(element.name) & Watched)
            contexts.html(element.name, element.inPicture, attrs);
        else
            contexts.styleAttributes(attrs);
        break;
    }
    case DomElement::Space::Svg:
        contexts.foreign(element.name, Ns::Svg, attrs);
        break;
    case DomElement::Space::MathMl:
        contexts.foreign(element.name, Ns::MathMl, attrs);
        break;
    case DomElement::Space::Other:
        break;
    }
    // The browser made a sheet only where the markup's rules would: a style element of CSS type.
    if (element.hasSheet)
        contexts.styleSheet(element.sheet);
}
