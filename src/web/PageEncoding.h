#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <functional>

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

} // namespace pageEncoding
