#pragma once

#include "web/Chars.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The HTML standard's tokenizer over a page already decoded to UTF-8, pulled one token at a time
// so that the tree builder can switch its state after a start tag (<style>, <title>, <script>).
// Text is skipped in bulk unless it is asked for: discovery needs the text of few elements, and
// jumping from '<' to '<' is what makes a large page fast.
class HtmlTokenizer {
public:
    enum class State : std::uint8_t {
        Data,
        Rcdata,
        Rawtext,
        ScriptData,
        Plaintext,
        TagOpen,
        EndTagOpen,
        TagName,
        RcdataLessThan,
        RcdataEndTagOpen,
        RcdataEndTagName,
        RawtextLessThan,
        RawtextEndTagOpen,
        RawtextEndTagName,
        ScriptLessThan,
        ScriptEndTagOpen,
        ScriptEndTagName,
        ScriptEscapeStart,
        ScriptEscapeStartDash,
        ScriptEscaped,
        ScriptEscapedDash,
        ScriptEscapedDashDash,
        ScriptEscapedLessThan,
        ScriptEscapedEndTagOpen,
        ScriptEscapedEndTagName,
        ScriptDoubleEscapeStart,
        ScriptDoubleEscaped,
        ScriptDoubleEscapedDash,
        ScriptDoubleEscapedDashDash,
        ScriptDoubleEscapedLessThan,
        ScriptDoubleEscapeEnd,
        BeforeAttributeName,
        AttributeName,
        AfterAttributeName,
        BeforeAttributeValue,
        AttributeValueDouble,
        AttributeValueSingle,
        AttributeValueUnquoted,
        AfterAttributeValueQuoted,
        SelfClosingStartTag,
        BogusComment,
        MarkupDeclarationOpen,
        CommentStart,
        CommentStartDash,
        Comment,
        CommentLessThan,
        CommentLessThanBang,
        CommentLessThanBangDash,
        CommentLessThanBangDashDash,
        CommentEndDash,
        CommentEnd,
        CommentEndBang,
        Doctype,
        BeforeDoctypeName,
        DoctypeName,
        AfterDoctypeName,
        AfterDoctypePublicKeyword,
        BeforeDoctypePublicId,
        DoctypePublicIdDouble,
        DoctypePublicIdSingle,
        AfterDoctypePublicId,
        BetweenDoctypePublicAndSystemIds,
        AfterDoctypeSystemKeyword,
        BeforeDoctypeSystemId,
        DoctypeSystemIdDouble,
        DoctypeSystemIdSingle,
        AfterDoctypeSystemId,
        BogusDoctype,
        CdataSection,
        CdataSectionBracket,
        CdataSectionEnd,
    };

    enum class Kind : std::uint8_t { StartTag, EndTag, Characters, Comment, Doctype, EndOfFile };

    struct Attribute {
        std::string name;
        std::string value;
    };

    explicit HtmlTokenizer(std::string_view input);

    // The next token. Characters and comments carry their text only while text is kept.
    Kind next();

    // For the tree builder and the tests: the state to go on in, the start tag that an end tag
    // must match in the text states, whether <![CDATA[ opens a section (foreign content), and
    // whether text and comments are collected.
    void setState(State state) { m_state = state; }
    void setLastStartTag(std::string_view name) { m_lastStartTag.assign(name); }
    void setCdataAllowed(bool allowed) { m_cdataAllowed = allowed; }
    void setKeepText(bool keep) { m_keepText = keep; }

    // The current token's parts.
    const std::string& name() const { return m_name; }
    std::size_t attributeCount() const { return m_attributeCount; }
    const Attribute& attribute(std::size_t i) const { return m_attributes[i]; }
    const Attribute* findAttribute(std::string_view name) const;
    bool selfClosing() const { return m_selfClosing; }
    const std::string& text() const { return m_text; } // characters or comment data
    // A doctype token's parts; a missing identifier is nullopt.
    const std::optional<std::string>& doctypePublicId() const { return m_publicId; }
    const std::optional<std::string>& doctypeSystemId() const { return m_systemId; }
    bool doctypeNameMissing() const { return m_doctypeNameMissing; }
    bool forceQuirks() const { return m_forceQuirks; }

private:
    int consume();
    void reconsume() { m_pos = m_lastPos; }
    bool lookaheadNoCase(std::string_view word) const;
    bool lookahead(std::string_view word) const;
    void appendText(char c) {
        if (m_keepText)
            m_text.push_back(c);
    }
    void appendText(std::string_view s) {
        if (m_keepText)
            m_text.append(s);
    }
    void appendReplacement(std::string& to) { to.append(chars::kReplacement, chars::kReplacementSize); }
    void startTag(bool end);
    void startAttribute();
    void finishAttributeName();
    bool appropriateEndTag() const { return !m_endTag ? false : m_name == m_lastStartTag; }
    // Decodes a character reference after its '&' into out (or leaves its text as it stands).
    void characterReference(std::string& out, bool inAttribute);
    void textRun(State state);
    Kind emitTag();
    Kind emitComment();
    Kind emitDoctype();

    std::string_view m_input;
    std::size_t m_pos = 0;
    std::size_t m_lastPos = 0;
    State m_state = State::Data;
    State m_returnState = State::Data;
    bool m_cdataAllowed = false;
    bool m_keepText = false;
    bool m_eofEmitted = false;

    // The pending token; a tag or comment waits while the characters before it go out first.
    Kind m_pendingKind = Kind::EndOfFile;
    bool m_pending = false;
    std::string m_text;
    std::string m_pendingText;
    std::string m_name;
    std::string m_lastStartTag;
    std::string m_buffer; // the temporary buffer of the end-tag states
    bool m_endTag = false;
    bool m_selfClosing = false;
    std::vector<Attribute> m_attributes;
    std::size_t m_attributeCount = 0;
    bool m_dropAttribute = false;
    std::optional<std::string> m_publicId;
    std::optional<std::string> m_systemId;
    bool m_doctypeNameMissing = true;
    bool m_forceQuirks = false;
};
