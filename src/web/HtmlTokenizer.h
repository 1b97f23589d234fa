#pragma once

#include "web/Chars.h"

#include <QByteArrayView>

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

    explicit HtmlTokenizer(QByteArrayView input);

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
    Kind endOfFile();
    Attribute& attr() { return m_attributes[m_attributeCount - 1]; }

    // The states, one function each, named as the HTML standard's tokenization section names
    // them. Each consumes what its state consumes and hands back a token, or nothing when it
    // has only moved on to another state; step() calls the current one.
    std::optional<Kind> step();
    std::optional<Kind> textState();
    std::optional<Kind> dataState();       // 13.2.5.1 Data state
    std::optional<Kind> rcdataState();     // 13.2.5.2 RCDATA state
    std::optional<Kind> rawtextState();    // 13.2.5.3 RAWTEXT state
    std::optional<Kind> scriptDataState(); // 13.2.5.4 Script data state
    std::optional<Kind> plaintextState();  // 13.2.5.5 PLAINTEXT state
    std::optional<Kind> tagOpenState();
    std::optional<Kind> endTagOpenState();
    std::optional<Kind> tagNameState();
    std::optional<Kind> textLessThanSign();
    std::optional<Kind> rcdataLessThanState();  // 13.2.5.9 RCDATA less-than sign state
    std::optional<Kind> rawtextLessThanState(); // 13.2.5.12 RAWTEXT less-than sign state
    std::optional<Kind> textEndTagOpen();
    std::optional<Kind> rcdataEndTagOpenState();        // 13.2.5.10 RCDATA end tag open state
    std::optional<Kind> rawtextEndTagOpenState();       // 13.2.5.13 RAWTEXT end tag open state
    std::optional<Kind> scriptEndTagOpenState();        // 13.2.5.16 Script data end tag open state
    std::optional<Kind> scriptEscapedEndTagOpenState(); // 13.2.5.24 Script data escaped end tag open state
    std::optional<Kind> textEndTagName();
    std::optional<Kind> rcdataEndTagNameState();        // 13.2.5.11 RCDATA end tag name state
    std::optional<Kind> rawtextEndTagNameState();       // 13.2.5.14 RAWTEXT end tag name state
    std::optional<Kind> scriptEndTagNameState();        // 13.2.5.17 Script data end tag name state
    std::optional<Kind> scriptEscapedEndTagNameState(); // 13.2.5.25 Script data escaped end tag name state
    std::optional<Kind> scriptLessThanState();
    std::optional<Kind> scriptEscapeStart();
    std::optional<Kind> scriptEscapeStartState();     // 13.2.5.18 Script data escape start state
    std::optional<Kind> scriptEscapeStartDashState(); // 13.2.5.19 Script data escape start dash state
    std::optional<Kind> scriptEscapedText();
    std::optional<Kind> scriptEscapedState();         // 13.2.5.20 Script data escaped state
    std::optional<Kind> scriptEscapedDashState();     // 13.2.5.21 Script data escaped dash state
    std::optional<Kind> scriptEscapedDashDashState(); // 13.2.5.22 Script data escaped dash dash state
    std::optional<Kind> scriptEscapedLessThanState();
    std::optional<Kind> scriptDoubleEscapeBoundary();
    std::optional<Kind> scriptDoubleEscapeStartState(); // 13.2.5.26 Script data double escape start state
    std::optional<Kind> scriptDoubleEscapeEndState();   // 13.2.5.31 Script data double escape end state
    std::optional<Kind> scriptDoubleEscapedText();
    std::optional<Kind> scriptDoubleEscapedState();     // 13.2.5.27 Script data double escaped state
    std::optional<Kind> scriptDoubleEscapedDashState(); // 13.2.5.28 Script data double escaped dash state
    std::optional<Kind>
    scriptDoubleEscapedDashDashState(); // 13.2.5.29 Script data double escaped dash dash state
    std::optional<Kind> scriptDoubleEscapedLessThanState();
    std::optional<Kind> beforeAttributeNameState();
    std::optional<Kind> attributeNameState();
    std::optional<Kind> afterAttributeNameState();
    std::optional<Kind> beforeAttributeValueState();
    std::optional<Kind> quotedAttributeValue();
    std::optional<Kind> attributeValueDoubleState(); // 13.2.5.36 Attribute value (double-quoted) state
    std::optional<Kind> attributeValueSingleState(); // 13.2.5.37 Attribute value (single-quoted) state
    std::optional<Kind> attributeValueUnquotedState();
    std::optional<Kind> afterAttributeValueQuotedState();
    std::optional<Kind> selfClosingStartTagState();
    std::optional<Kind> bogusCommentState();
    std::optional<Kind> markupDeclarationOpenState();
    std::optional<Kind> commentStartState();
    std::optional<Kind> commentStartDashState();
    std::optional<Kind> commentState();
    std::optional<Kind> commentLessThanState();
    std::optional<Kind> commentLessThanBang();
    std::optional<Kind> commentLessThanBangState();     // 13.2.5.47 Comment less-than sign bang state
    std::optional<Kind> commentLessThanBangDashState(); // 13.2.5.48 Comment less-than sign bang dash state
    std::optional<Kind> commentLessThanBangDashDashState();
    std::optional<Kind> commentEndDashState();
    std::optional<Kind> commentEndState();
    std::optional<Kind> commentEndBangState();
    std::optional<Kind> doctypeState();
    std::optional<Kind> beforeDoctypeNameState();
    std::optional<Kind> doctypeNameState();
    std::optional<Kind> afterDoctypeNameState();
    std::optional<Kind> doctypeIdentifierStart();
    std::optional<Kind> afterDoctypePublicKeywordState(); // 13.2.5.57 After DOCTYPE public keyword state
    std::optional<Kind> beforeDoctypePublicIdState();     // 13.2.5.58 Before DOCTYPE public identifier state
    std::optional<Kind> afterDoctypeSystemKeywordState(); // 13.2.5.63 After DOCTYPE system keyword state
    std::optional<Kind> beforeDoctypeSystemIdState();     // 13.2.5.64 Before DOCTYPE system identifier state
    std::optional<Kind> quotedDoctypeIdentifier();
    std::optional<Kind>
    doctypePublicIdDoubleState(); // 13.2.5.59 DOCTYPE public identifier (double-quoted) state
    std::optional<Kind>
    doctypePublicIdSingleState(); // 13.2.5.60 DOCTYPE public identifier (single-quoted) state
    std::optional<Kind>
    doctypeSystemIdDoubleState(); // 13.2.5.65 DOCTYPE system identifier (double-quoted) state
    std::optional<Kind>
    doctypeSystemIdSingleState(); // 13.2.5.66 DOCTYPE system identifier (single-quoted) state
    std::optional<Kind> afterDoctypePublicIdentifier();
    std::optional<Kind> afterDoctypePublicIdState(); // 13.2.5.61 After DOCTYPE public identifier state
    std::optional<Kind>
    betweenDoctypePublicAndSystemIdsState(); // 13.2.5.62 Between DOCTYPE public and system identifiers state
    std::optional<Kind> afterDoctypeSystemIdState();
    std::optional<Kind> bogusDoctypeState();
    std::optional<Kind> cdataSectionState();
    std::optional<Kind> cdataSectionBracketState();
    std::optional<Kind> cdataSectionEndState();

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
