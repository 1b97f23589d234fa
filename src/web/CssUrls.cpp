#include "web/CssUrls.h"

#include "web/Chars.h"
#include "web/CssProperties.h"

#include <QHash>

#include <vector>

using css::Tok;
using css::Token;

namespace {

bool opensBlock(Tok type) {
    return type == Tok::Function || type == Tok::LParen || type == Tok::LBracket || type == Tok::LBrace;
}

Tok closerOf(Tok type) {
    switch (type) {
    case Tok::LBracket:
        return Tok::RBracket;
    case Tok::LBrace:
        return Tok::RBrace;
    default:
        return Tok::RParen;
    }
}

using chars::equalsIgnoringCase;
using chars::isOneOf;

bool knownPseudoClass(const QByteArray& name) {
    return isOneOf(name,
                   {"active", "any-link", "autofill", "checked", "default", "defined", "dir", "disabled",
                    "empty", "enabled", "first", "first-child", "first-of-type", "focus", "focus-visible",
                    "focus-within", "fullscreen", "future", "has", "host", "host-context", "hover",
                    "in-range", "indeterminate", "invalid", "is", "lang", "last-child", "last-of-type",
                    "left", "link", "modal", "not", "nth-child", "nth-last-child", "nth-last-of-type",
                    "nth-of-type", "only-child", "only-of-type", "optional", "out-of-range", "past", "paused",
                    "picture-in-picture", "placeholder-shown", "playing", "popover-open", "read-only",
                    "read-write", "required", "right", "root", "scope", "state", "target", "user-invalid",
                    "user-valid", "valid", "visited", "where", "open", "closed", "muted", "seeking",
                    "stalled", "buffering", "volume-locked", "current", "xr-overlay", "-webkit-any",
                    "-webkit-any-link", "-webkit-autofill", "-webkit-drag", "-webkit-full-page-media",
                    "-webkit-full-screen", "-webkit-full-screen-ancestor", "-webkit-full-screen-document",
                    "-webkit-full-screen-controls-hidden", "horizontal", "vertical", "decrement", "increment",
                    "start", "end", "double-button", "single-button", "no-button", "corner-present",
                    "window-inactive", "active-view-transition", "active-view-transition-type",
                    // The legacy pseudo-elements, also written with one colon.
                    "before", "after", "first-line", "first-letter"});
}

bool knownPseudoElement(const QByteArray& name) {
    return name.startsWith("-webkit-") || isOneOf(name, {"after",
                                                         "before",
                                                         "backdrop",
                                                         "cue",
                                                         "cue-region",
                                                         "first-letter",
                                                         "first-line",
                                                         "grammar-error",
                                                         "highlight",
                                                         "marker",
                                                         "part",
                                                         "placeholder",
                                                         "selection",
                                                         "slotted",
                                                         "spelling-error",
                                                         "target-text",
                                                         "file-selector-button",
                                                         "view-transition",
                                                         "view-transition-group",
                                                         "view-transition-image-pair",
                                                         "view-transition-old",
                                                         "view-transition-new",
                                                         "details-content",
                                                         "picker",
                                                         "picker-icon",
                                                         "checkmark",
                                                         "scroll-marker",
                                                         "scroll-marker-group",
                                                         "scroll-button",
                                                         "column",
                                                         "search-text"});
}

// A selector list as a browser accepts it: one selector it does not know (":-moz-focusring",
// "::-ms-clear", "*html") invalidates the whole rule. Arguments of functional pseudo-classes
// are not looked into.
bool selectorListParses(const std::vector<Token>& tokens) {
    bool compoundStarted = false;
    bool selectorEmpty = true;
    bool pendingCombinator = false;
    for (size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        auto skipBlock = [&] {
            std::vector<Tok> closers{closerOf(t.type)};
            while (++i < tokens.size() && !closers.empty()) {
                if (tokens[i].type == closers.back()) {
                    closers.pop_back();
                    if (closers.empty())
                        break;
                } else if (opensBlock(tokens[i].type)) {
                    closers.push_back(closerOf(tokens[i].type));
                }
            }
        };
        switch (t.type) {
        case Tok::Whitespace:
            compoundStarted = false;
            continue;
        case Tok::Comma:
            if (selectorEmpty || pendingCombinator)
                return false;
            selectorEmpty = true;
            compoundStarted = false;
            continue;
        case Tok::Ident:
            if (compoundStarted)
                return false;
            break;
        case Tok::Hash:
            if (!t.hashIsId)
                return false;
            break;
        case Tok::LBracket:
            skipBlock();
            break;
        case Tok::Colon: {
            bool element = false;
            ++i;
            if (i < tokens.size() && tokens[i].type == Tok::Colon) {
                element = true;
                ++i;
            }
            if (i >= tokens.size())
                return false;
            const Token& name = tokens[i];
            if (name.type != Tok::Ident && name.type != Tok::Function)
                return false;
            if (element ? !knownPseudoElement(name.text.toLower()) : !knownPseudoClass(name.text))
                return false;
            if (name.type == Tok::Function) {
                const Token& function = name;
                std::vector<Tok> closers{closerOf(function.type)};
                while (++i < tokens.size() && !closers.empty()) {
                    if (tokens[i].type == closers.back()) {
                        closers.pop_back();
                        if (closers.empty())
                            break;
                    } else if (opensBlock(tokens[i].type)) {
                        closers.push_back(closerOf(tokens[i].type));
                    }
                }
            }
            break;
        }
        case Tok::Delim: {
            const char d = t.text.isEmpty() ? '\0' : t.text[0];
            if (d == '*') {
                if (compoundStarted)
                    return false;
            } else if (d == '.') {
                if (i + 1 >= tokens.size() || tokens[i + 1].type != Tok::Ident)
                    return false;
                ++i;
            } else if (d == '>' || d == '+' || d == '~') {
                if (pendingCombinator)
                    return false;
                pendingCombinator = true;
                compoundStarted = false;
                continue;
            } else if (d == '&' || d == '|') {
                // nesting selector, namespace bar
            } else {
                return false;
            }
            break;
        }
        default:
            return false;
        }
        compoundStarted = true;
        selectorEmpty = false;
        pendingCombinator = false;
    }
    return !selectorEmpty && !pendingCombinator;
}

// Rules deeper than this are skipped whole, so that hostile nesting cannot exhaust the stack.
constexpr int kMaxRuleDepth = 64;

// The winning declaration of each url-carrying property of one block, in the order a browser
// keeps them: where the winner stands, the important ones after all others. A later declaration
// replaces an earlier one unless only the earlier one is important.
class Winners {
public:
    void set(int slot, bool important, QList<QByteArray>&& urls) {
        size_t* index = indexOf(slot);
        if (*index != kNone) {
            Entry& old = m_entries[*index];
            if (old.important && !important)
                return;
            old.live = false;
            old.urls.clear();
        }
        *index = m_entries.size();
        m_entries.push_back({important, true, std::move(urls)});
    }

    void appendTo(QList<QByteArray>& out) {
        for (int pass = 0; pass < 2; ++pass)
            for (Entry& entry : m_entries)
                if (entry.live && entry.important == (pass == 1))
                    for (QByteArray& url : entry.urls)
                        out.append(std::move(url));
    }

private:
    static constexpr size_t kNone = ~size_t(0);
    struct Entry {
        bool important;
        bool live;
        QList<QByteArray> urls;
    };

    // The few standard properties by number, the custom ones, rarer, in a hash.
    size_t* indexOf(int slot) {
        if (slot < int(std::size(m_standard)))
            return &m_standard[slot];
        auto found = m_custom.find(slot);
        if (found == m_custom.end())
            found = m_custom.insert(slot, kNone);
        return &found.value();
    }

    std::vector<Entry> m_entries;
    size_t m_standard[32] = {kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone,
                             kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone,
                             kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone};
    QHash<int, size_t> m_custom;
};

class Parser {
public:
    Parser(QByteArrayView text, QList<QByteArray>& out) : m_tokenizer(text), m_sink(&out) { advance(); }

    void styleSheet() { ruleList(false, 0); }
    void declarationList() { blockContents(false, 0); }

private:
    void advance() { m_tokenizer.next(m_token); }

    // Consumes the component value that starts at the current token, keeping its tokens in kept.
    void consumeComponentValue(std::vector<Token>* kept = nullptr) {
        if (kept)
            kept->push_back(m_token);
        if (!opensBlock(m_token.type)) {
            advance();
            return;
        }
        std::vector<Tok> closers{closerOf(m_token.type)};
        advance();
        while (!closers.empty() && m_token.type != Tok::End) {
            if (m_token.type == closers.back())
                closers.pop_back();
            else if (opensBlock(m_token.type))
                closers.push_back(closerOf(m_token.type));
            if (kept)
                kept->push_back(m_token);
            advance();
        }
    }

    // Skips the rest of a {} block whose "{" has been consumed, and its "}".
    void skipBlockRest() {
        while (m_token.type != Tok::RBrace && m_token.type != Tok::End)
            consumeComponentValue();
        if (m_token.type == Tok::RBrace)
            advance();
    }

    // A style sheet's rules, or a group rule's, which end at "}".
    void ruleList(bool nested, int depth) {
        for (;;) {
            switch (m_token.type) {
            case Tok::End:
                return;
            case Tok::RBrace:
                if (nested) {
                    advance();
                    return;
                }
                // At the top a stray "}" starts a rule's selector, which then does not parse.
                qualifiedRule(depth, false);
                break;
            case Tok::CDO:
            case Tok::CDC:
                // "<!--" and "-->" are ignored only at the top of a style sheet.
                if (nested)
                    qualifiedRule(depth, false);
                else
                    advance();
                break;
            case Tok::Whitespace:
                advance();
                break;
            case Tok::AtKeyword:
                atRule(depth);
                break;
            default:
                qualifiedRule(depth, false);
                break;
            }
        }
    }

    void atRule(int depth) {
        const QByteArray name = m_token.text.toLower();
        advance();
        bool preludeParses = true;
        while (m_token.type != Tok::Semicolon && m_token.type != Tok::LBrace && m_token.type != Tok::End) {
            if (m_token.type == Tok::RBrace)
                return; // the end of the block this at-rule stands in: the caller takes it
            if (m_token.type == Tok::BadUrl || m_token.type == Tok::BadString)
                preludeParses = false;
            consumeComponentValue();
        }
        if (m_token.type != Tok::LBrace) {
            if (m_token.type == Tok::Semicolon)
                advance();
            return;
        }
        advance();
        // Only group rules hold style rules; @font-face, @keyframes, @page and the rest are skipped.
        if ((name == "media" || name == "supports") && preludeParses && depth < kMaxRuleDepth) {
            ruleList(true, depth + 1);
            return;
        }
        skipBlockRest();
    }

    // A style rule: its selector, then its block. Nested in a block, a ";" or "}" before any "{"
    // ends it as something that was neither a declaration nor a rule.
    void qualifiedRule(int depth, bool nested) {
        std::vector<Token> prelude;
        while (m_token.type != Tok::LBrace) {
            if (m_token.type == Tok::End)
                return;
            if (nested && (m_token.type == Tok::Semicolon || m_token.type == Tok::RBrace)) {
                if (m_token.type == Tok::Semicolon)
                    advance();
                return;
            }
            consumeComponentValue(&prelude);
        }
        if (m_tokenizer.skipBlockWithoutUrls()) {
            advance();
            return;
        }
        advance();
        while (!prelude.empty() && prelude.back().type == Tok::Whitespace)
            prelude.pop_back();
        while (!prelude.empty() && prelude.front().type == Tok::Whitespace)
            prelude.erase(prelude.begin());
        if ((!nested && !selectorListParses(prelude)) || depth >= kMaxRuleDepth) {
            skipBlockRest();
            return;
        }
        blockContents(true, depth + 1);
    }

    // A block's declarations, and in a style sheet its nested rules, whose references follow the
    // block's own. Ends after the block's "}".
    void blockContents(bool inStyleSheet, int depth) {
        Winners winners;
        QList<QByteArray> nestedUrls;
        for (;;) {
            const Tok type = m_token.type;
            if (type == Tok::End)
                break;
            if (type == Tok::RBrace) {
                advance();
                if (inStyleSheet)
                    break;
                continue;
            }
            if (type == Tok::Whitespace || type == Tok::Semicolon) {
                advance();
                continue;
            }
            if (type == Tok::Ident && declaration(winners))
                continue;
            if (!inStyleSheet) {
                skipBadDeclaration();
                continue;
            }
            QList<QByteArray>* const saved = m_sink;
            m_sink = &nestedUrls;
            if (type == Tok::AtKeyword)
                atRule(depth);
            else
                qualifiedRule(depth, true);
            m_sink = saved;
        }
        winners.appendTo(*m_sink);
        for (QByteArray& url : nestedUrls)
            m_sink->append(std::move(url));
    }

    void skipBadDeclaration() {
        while (m_token.type != Tok::Semicolon && m_token.type != Tok::End && m_token.type != Tok::RBrace)
            consumeComponentValue();
        if (m_token.type == Tok::Semicolon)
            advance();
    }

    // "name: value" up to ";" or the block's "}". False when no colon follows the name: what
    // comes next is a nested rule or junk, for the caller to consume.
    bool declaration(Winners& winners) {
        const QByteArray name = m_token.text;
        advance();
        while (m_token.type == Tok::Whitespace)
            advance();
        if (m_token.type != Tok::Colon)
            return false;
        advance();
        // A property that cannot hold a URL cannot change the answer: its value is only skipped.
        const bool wanted = name.startsWith("--") || css::mayHoldUrls(name.toLower());
        m_value.clear();
        while (m_token.type != Tok::Semicolon && m_token.type != Tok::RBrace && m_token.type != Tok::End)
            consumeComponentValue(wanted ? &m_value : nullptr);
        if (m_token.type == Tok::Semicolon)
            advance();
        if (wanted)
            applyDeclaration(name, m_value, winners);
        return true;
    }

    void applyDeclaration(const QByteArray& name, std::vector<Token>& value, Winners& winners) {
        auto trim = [&] {
            while (!value.empty() && value.back().type == Tok::Whitespace)
                value.pop_back();
        };
        trim();
        while (!value.empty() && value.front().type == Tok::Whitespace)
            value.erase(value.begin());
        bool important = false;
        if (!value.empty() && value.back().type == Tok::Ident &&
            equalsIgnoringCase(value.back().text, "important")) {
            size_t i = value.size() - 1;
            while (i > 0 && value[i - 1].type == Tok::Whitespace)
                --i;
            if (i > 0 && value[i - 1].type == Tok::Delim && value[i - 1].text == "!") {
                important = true;
                value.resize(i - 1);
                trim();
            }
        }
        for (const Token& token : value)
            if (token.type == Tok::BadUrl || token.type == Tok::BadString)
                return;
        if (hasStrayCloser(value))
            return;
        std::vector<css::PropertyUrls> targets;
        if (name.startsWith("--")) {
            targets.push_back({customSlot(name), css::valueUrls(value, 0, value.size())});
        } else if (!css::propertyUrls(name.toLower(), value, targets)) {
            return;
        }
        for (css::PropertyUrls& target : targets)
            winners.set(target.slot, important, std::move(target.urls));
    }

    // A ")" or "]" that closes nothing makes the value invalid for every property.
    static bool hasStrayCloser(const std::vector<Token>& value) {
        std::vector<Tok> closers;
        for (const Token& t : value) {
            if (opensBlock(t.type)) {
                closers.push_back(closerOf(t.type));
            } else if (!closers.empty() && t.type == closers.back()) {
                closers.pop_back();
            } else if (t.type == Tok::RParen || t.type == Tok::RBracket) {
                return true;
            }
        }
        return false;
    }

    int customSlot(const QByteArray& name) {
        const auto found = m_customNames.constFind(name);
        if (found != m_customNames.constEnd())
            return *found;
        const int slot = css::kFirstCustomSlot + int(m_customNames.size());
        m_customNames.insert(name, slot);
        return slot;
    }

    css::Tokenizer m_tokenizer;
    Token m_token;
    QList<QByteArray>* m_sink;
    std::vector<Token> m_value;
    QHash<QByteArray, int> m_customNames;
};

} // namespace

namespace {

// Without a backslash, a URL needs "url(" or "image-set(" spelled out; most CSS of a page has
// neither and need not be parsed at all.
bool mayHoldUrls(QByteArrayView css) {
    if (css.contains('\\'))
        return true;
    for (qsizetype i = css.indexOf('('); i >= 0; i = css.indexOf('(', i + 1)) {
        if (i >= 3 && css.sliced(i - 3, 3).compare("url", Qt::CaseInsensitive) == 0)
            return true;
        if (i >= 9 && css.sliced(i - 9, 9).compare("image-set", Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

void cssUrlsOfDeclarations(QByteArrayView declarations, QList<QByteArray>& out) {
    if (mayHoldUrls(declarations))
        Parser(declarations, out).declarationList();
}

void cssUrlsOfStyleSheet(QByteArrayView sheet, QList<QByteArray>& out) {
    if (mayHoldUrls(sheet))
        Parser(sheet, out).styleSheet();
}
