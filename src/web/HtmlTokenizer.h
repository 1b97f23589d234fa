#pragma once

#include "web/Buffers.h"
#include "web/Chars.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <optional>
#include <vector>

// The HTML standard's tokenizer over a page already decoded to UTF-8, pulled one token at a time
// so that the tree builder can switch its state after a start tag (<style>, <title>, <script>).
// Text is skipped in bulk unless it is asked for: discovery needs the text of few elements, and
// jumping from '<' to '<' is what makes a large page fast.
//
// A page that arrives in pieces is tokenized as it comes: the input is extended with each piece,
// and a token the input does not yet finish is not given out (NeedInput); it is tokenized again,
// from where it began, once more has arrived. The tokens are exactly those of the whole page.
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

    // NeedInput: the rest of the input has not arrived yet; extend() and ask again.
    enum class Kind : std::uint8_t { StartTag, EndTag, Characters, Comment, Doctype, EndOfFile, NeedInput };

    struct Attribute {
        QByteArray name;
        QByteArray value;
    };

    // final: the input is the whole page; otherwise more follows through extend().
    explicit HtmlTokenizer(QByteArrayView input, bool final = true);

    // The input so far, the earlier bytes unchanged (they may have moved); final once it is all.
    void extend(QByteArrayView input, bool final);
    // Where the next token starts: the input before it is done with.
    std::size_t position() const { return m_pos; }

    // The next token. Characters and comments carry their text only while text is kept.
    Kind next();

    // For the tree builder and the tests: the state to go on in, the start tag that an end tag
    // must match in the text states, whether <![CDATA[ opens a section (foreign content), and
    // whether text and comments are collected.
    void setState(State state) { m_state = state; }
    void setLastStartTag(QByteArrayView name) { buffers::assign(m_lastStartTag, name); }
    void setCdataAllowed(bool allowed) { m_cdataAllowed = allowed; }
    void setKeepText(bool keep) { m_keepText = keep; }

    // The current token's parts.
    const QByteArray& name() const { return m_name; }
    std::size_t attributeCount() const { return m_attributeCount; }
    const Attribute& attribute(std::size_t i) const { return m_attributes[i]; }
    const Attribute* findAttribute(QByteArrayView name) const;
    bool selfClosing() const { return m_selfClosing; }
    const QByteArray& text() const { return m_text; } // characters or comment data
    // A doctype token's parts; a missing identifier is nullopt.
    const std::optional<QByteArray>& doctypePublicId() const { return m_publicId; }
    const std::optional<QByteArray>& doctypeSystemId() const { return m_systemId; }
    bool doctypeNameMissing() const { return m_doctypeNameMissing; }
    bool forceQuirks() const { return m_forceQuirks; }

private:
    int consume();
    void reconsume() { m_pos = m_lastPos; }
    bool lookaheadNoCase(QByteArrayView word) const;
    bool lookahead(QByteArrayView word) const;
    void appendText(char c) {
        if (m_keepText)
            buffers::append(m_text, c);
    }
    void appendText(QByteArrayView s) {
        if (m_keepText)
            buffers::append(m_text, s);
    }
    void appendReplacement(QByteArray& to) {
        buffers::append(to, chars::kReplacement, chars::kReplacementSize);
    }
    void startTag(bool end);
    void startAttribute();
    void finishAttributeName();
    bool appropriateEndTag() const { return !m_endTag ? false : m_name == m_lastStartTag; }
    // Decodes a character reference after its '&' into out (or leaves its text as it stands).
    void characterReference(QByteArray& out, bool inAttribute);
    void textRun(State state);
    Kind emitTag();
    Kind emitComment();
    Kind emitDoctype();
    Kind endOfFile();
    Attribute& attr() { return m_attributes[m_attributeCount - 1]; }

    // What a state function hands back when it has only moved on to another state.
    static constexpr Kind kContinue = Kind(0xFF);
    // The states, one function each, named as the HTML standard's tokenization section names
    // them. Each consumes what its state consumes and hands back a token, or kContinue when
    // it has only moved on to another state; step() calls the current one.
    Kind step();
    Kind textState();
    Kind dataState();       // 13.2.5.1 Data state
    Kind rcdataState();     // 13.2.5.2 RCDATA state
    Kind rawtextState();    // 13.2.5.3 RAWTEXT state
    Kind scriptDataState(); // 13.2.5.4 Script data state
    Kind plaintextState();  // 13.2.5.5 PLAINTEXT state
    Kind tagOpenState();
    Kind endTagOpenState();
    Kind tagNameState();
    Kind textLessThanSign();
    Kind rcdataLessThanState();  // 13.2.5.9 RCDATA less-than sign state
    Kind rawtextLessThanState(); // 13.2.5.12 RAWTEXT less-than sign state
    Kind textEndTagOpen();
    Kind rcdataEndTagOpenState();        // 13.2.5.10 RCDATA end tag open state
    Kind rawtextEndTagOpenState();       // 13.2.5.13 RAWTEXT end tag open state
    Kind scriptEndTagOpenState();        // 13.2.5.16 Script data end tag open state
    Kind scriptEscapedEndTagOpenState(); // 13.2.5.24 Script data escaped end tag open state
    Kind textEndTagName();
    Kind rcdataEndTagNameState();        // 13.2.5.11 RCDATA end tag name state
    Kind rawtextEndTagNameState();       // 13.2.5.14 RAWTEXT end tag name state
    Kind scriptEndTagNameState();        // 13.2.5.17 Script data end tag name state
    Kind scriptEscapedEndTagNameState(); // 13.2.5.25 Script data escaped end tag name state
    Kind scriptLessThanState();
    Kind scriptEscapeStart();
    Kind scriptEscapeStartState();     // 13.2.5.18 Script data escape start state
    Kind scriptEscapeStartDashState(); // 13.2.5.19 Script data escape start dash state
    Kind scriptEscapedText();
    Kind scriptEscapedState();         // 13.2.5.20 Script data escaped state
    Kind scriptEscapedDashState();     // 13.2.5.21 Script data escaped dash state
    Kind scriptEscapedDashDashState(); // 13.2.5.22 Script data escaped dash dash state
    Kind scriptEscapedLessThanState();
    Kind scriptDoubleEscapeBoundary();
    Kind scriptDoubleEscapeStartState(); // 13.2.5.26 Script data double escape start state
    Kind scriptDoubleEscapeEndState();   // 13.2.5.31 Script data double escape end state
    Kind scriptDoubleEscapedText();
    Kind scriptDoubleEscapedState();         // 13.2.5.27 Script data double escaped state
    Kind scriptDoubleEscapedDashState();     // 13.2.5.28 Script data double escaped dash state
    Kind scriptDoubleEscapedDashDashState(); // 13.2.5.29 Script data double escaped dash dash state
    Kind scriptDoubleEscapedLessThanState();
    Kind beforeAttributeNameState();
    Kind attributeNameState();
    Kind afterAttributeNameState();
    Kind beforeAttributeValueState();
    Kind quotedAttributeValue();
    Kind attributeValueDoubleState(); // 13.2.5.36 Attribute value (double-quoted) state
    Kind attributeValueSingleState(); // 13.2.5.37 Attribute value (single-quoted) state
    Kind attributeValueUnquotedState();
    Kind afterAttributeValueQuotedState();
    Kind selfClosingStartTagState();
    Kind bogusCommentState();
    Kind markupDeclarationOpenState();
    Kind commentStartState();
    Kind commentStartDashState();
    Kind commentState();
    Kind commentLessThanState();
    Kind commentLessThanBang();
    Kind commentLessThanBangState();     // 13.2.5.47 Comment less-than sign bang state
    Kind commentLessThanBangDashState(); // 13.2.5.48 Comment less-than sign bang dash state
    Kind commentLessThanBangDashDashState();
    Kind commentEndDashState();
    Kind commentEndState();
    Kind commentEndBangState();
    Kind doctypeState();
    Kind beforeDoctypeNameState();
    Kind doctypeNameState();
    Kind afterDoctypeNameState();
    Kind doctypeIdentifierStart();
    Kind afterDoctypePublicKeywordState(); // 13.2.5.57 After DOCTYPE public keyword state
    Kind beforeDoctypePublicIdState();     // 13.2.5.58 Before DOCTYPE public identifier state
    Kind afterDoctypeSystemKeywordState(); // 13.2.5.63 After DOCTYPE system keyword state
    Kind beforeDoctypeSystemIdState();     // 13.2.5.64 Before DOCTYPE system identifier state
    Kind quotedDoctypeIdentifier();
    Kind doctypePublicIdDoubleState(); // 13.2.5.59 DOCTYPE public identifier (double-quoted) state
    Kind doctypePublicIdSingleState(); // 13.2.5.60 DOCTYPE public identifier (single-quoted) state
    Kind doctypeSystemIdDoubleState(); // 13.2.5.65 DOCTYPE system identifier (double-quoted) state
    Kind doctypeSystemIdSingleState(); // 13.2.5.66 DOCTYPE system identifier (single-quoted) state
    Kind afterDoctypePublicIdentifier();
    Kind afterDoctypePublicIdState(); // 13.2.5.61 After DOCTYPE public identifier state
    Kind
    betweenDoctypePublicAndSystemIdsState(); // 13.2.5.62 Between DOCTYPE public and system identifiers state
    Kind afterDoctypeSystemIdState();
    Kind bogusDoctypeState();
    Kind cdataSectionState();
    Kind cdataSectionBracketState();
    Kind cdataSectionEndState();

    QByteArrayView m_input;
    std::size_t m_size; // m_input.size(), unsigned as the positions are
    std::size_t m_pos = 0;
    std::size_t m_lastPos = 0;
    State m_state = State::Data;
    State m_returnState = State::Data;
    bool m_cdataAllowed = false;
    bool m_keepText = false;
    bool m_eofEmitted = false;
    // Whether the input is all there, and whether the current token ran into its end before it.
    bool m_final = true;
    bool m_starved = false;
    // A token cut by the end of the input is tried again once the input has grown to this size,
    // by as much as was pending: a token longer than many pieces is not rescanned for each one.
    std::size_t m_retryAt = 0;

    // The pending token; a tag or comment waits while the characters before it go out first.
    Kind m_pendingKind = Kind::EndOfFile;
    bool m_pending = false;
    QByteArray m_text;
    QByteArray m_pendingText;
    QByteArray m_name;
    QByteArray m_lastStartTag;
    QByteArray m_buffer; // the temporary buffer of the end-tag states
    bool m_endTag = false;
    bool m_selfClosing = false;
    std::vector<Attribute> m_attributes;
    std::size_t m_attributeCount = 0;
    bool m_dropAttribute = false;
    std::optional<QByteArray> m_publicId;
    std::optional<QByteArray> m_systemId;
    bool m_doctypeNameMissing = true;
    bool m_forceQuirks = false;
};
