#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <QStringDecoder>

#include <functional>
#include <memory>
#include <optional>

// How a browser decides and applies a page's character encoding: the Encoding Standard's labels,
// the HTML standard's sniffing (BOM, the HTTP charset, the prescan of the first 1024 bytes, else
// UTF-8) and decoding into UTF-8, with U+FFFD for what does not decode.
namespace pageEncoding {

// The encoding's name for a label ("latin1" -> "windows-1252"); empty for an unknown label.
QByteArray forLabel(QByteArrayView label);

// The charset parameter of a Content-Type value, unquoted; empty when there is none.
QByteArray charsetOfContentType(QByteArrayView contentType);

// The HTML standard's prescan of a byte stream for a meta charset; empty when it finds none.
// UTF-16 answers are taken as UTF-8 and x-user-defined as windows-1252, as the standard says.
QByteArray prescan(QByteArrayView bytes);

// The encoding a browser parses the page in, and how many BOM bytes start it.
struct Sniffed {
    QByteArray name;
    qsizetype bomLength = 0;
};
Sniffed sniff(QByteArrayView bytes, QByteArrayView contentType);

// The page's bytes as UTF-8 in the given encoding, BOM bytes skipped. A page that is valid
// UTF-8 already is returned as it is, without a copy. betweenPieces runs between the pieces a
// large legacy-encoded page is decoded in.
QByteArray decode(const QByteArray& bytes, const Sniffed& encoding,
                  const std::function<void()>& betweenPieces = {});

// Whether the bytes are well-formed UTF-8.
bool isValidUtf8(QByteArrayView bytes);

// Decodes a page that arrives in pieces into exactly the text decode() makes of the whole. The
// encoding is decided, as sniff() decides it, once the bytes so far settle it: a BOM, the
// header's charset, else the first 1024 bytes for the meta prescan (or the whole page when it
// is shorter). A sequence cut at a piece's end waits for the next piece.
class StreamDecoder {
public:
    explicit StreamDecoder(QByteArray contentType);
    ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // bytes: the whole page so far as fetched, the earlier bytes unchanged though they may have
    // moved; final: nothing more follows. The text decoded so far (UTF-8), valid until the next
    // feed or until the bytes move; empty while the encoding is still undecided.
    QByteArrayView feed(QByteArrayView bytes, bool final);
    // The encoding, once decided.
    const std::optional<Sniffed>& encoding() const { return m_encoding; }

private:
    enum class Kind { Utf8, Utf8Repair, Utf16Le, Utf16Be, Windows1252, UserDefined, Replacement, Converter };
    bool decide(QByteArrayView bytes, bool final);

    QByteArray m_contentType;
    std::optional<Sniffed> m_encoding;
    Kind m_kind = Kind::Utf8;
    qsizetype m_consumed = 0; // bytes decoded so far, the BOM's included
    qsizetype m_validEnd = 0; // while valid UTF-8: how far the bytes have been checked
    QByteArray m_text;
    std::unique_ptr<QStringDecoder> m_decoder;
};

} // namespace pageEncoding
