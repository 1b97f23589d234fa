#pragma once

#include "core/Expected.h"
#include "net/Transfer.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What a saved file's name may be made of (--output): the fields of one entry.
struct NameFields {
    QByteArray name;     // the link's last "/"-part, as the run names files by default
    QByteArray host;     // the link's host
    QByteArray pageHost; // the page's host; empty without a page
    int index = 0;       // the entry's place in the list, from 1
    // Read by the listing from the page (hostile text: checked like any field, and more).
    QByteArray pageTitle; // the title of the page the link was found on; its host when it has none
    QByteArray alt;       // the alt text of the first img that gave the link; empty for others
    // Known once the body has begun or ended.
    QByteArray contentExtension; // from the body's first bytes or its Content-Type; empty: unknown
    QByteArray sha256;           // hex; empty until the body is complete
    int width = -1;              // read from the body's first bytes; -1: not known
    int height = -1;
};

// A file-name template such as "{host}/{index:03}-{stem}.{ext}": literal text and fields in
// braces ("{{" and "}}" stand for braces), "/" between folders inside the destination. Checked
// once, when given: nothing it can make may leave the folder. Each field's value is checked again
// for every entry: a value that would make an unsafe name (a "/", "..", a control character, ...)
// is replaced by "_" and noted.
class NameTemplate {
public:
    // The template, or why it is refused (the detail says it in words).
    static Expected<NameTemplate, net::Result> parse(const QString& text);

    // "{name}": the names the run always gave.
    bool isDefault() const;
    // Whether the name can be made only once the body is known: a hash, or an extension the link
    // does not give.
    bool needsBody(const NameFields& fields) const;
    // Whether it names the image's width or height, which only its first bytes tell.
    bool needsDimensions() const;
    // Whether it names the page's title or an image's alt text, which the listing reads only when
    // asked.
    bool needsPageFacts() const;

    struct Made {
        QList<QByteArray> segments; // folders inside the destination, then the file name
        QStringList notes;          // fields replaced by "_", in words
    };
    // The path relative to the destination, or why none can be made for this entry.
    Expected<Made, net::Result> expand(const NameFields& fields) const;

    static constexpr qsizetype maxLength = 4096;
    // The most of a title or an alt text a name takes, in bytes: two of them and some text still
    // fit one name.
    static constexpr qsizetype maxTextField = 120;

private:
    struct Part {
        enum class Kind {
            Text,
            Name,
            Stem,
            Ext,
            Host,
            PageHost,
            Index,
            Sha256,
            Width,
            Height,
            PageTitle,
            Alt
        } kind = Kind::Text;
        QByteArray text;
        int width = 0; // Index: zero-padded to it; Sha256: this many hex digits (0: all)
    };
    using Segment = QList<Part>;
    QList<Segment> m_segments;
};

// The extension the body's first bytes say it has ("jpg", "png", "webp", ...), else the one its
// Content-Type names; empty when neither tells.
QByteArray contentExtension(QByteArrayView firstBytes, QByteArrayView contentType);

// The name with the extension of its content when its own disagrees (--fix-ext): "photo.jpg" of
// a WebP body becomes "photo.webp", "photo" becomes "photo.webp"; "photo.jpeg" of a JPEG stays.
QByteArray withContentExtension(const QByteArray& name, const QByteArray& extension);
