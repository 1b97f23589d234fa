#include "download/NameTemplate.h"

#include "download/FileName.h"

#include <algorithm>
#include <string_view>

namespace {

using namespace std::string_view_literals;

net::Result refused(const QString& why) {
    return {net::Status::Failed, why};
}

// The name with its query and fragment cut, where stem and extension are read.
QByteArray pathPart(const QByteArray& name) {
    qsizetype end = name.size();
    for (const char c : {'?', '#'})
        if (const qsizetype at = name.indexOf(c); at >= 0)
            end = qMin(end, at);
    return name.left(end);
}

// The part after the last "." of the name's path part; a leading dot starts no extension.
qsizetype extensionDot(const QByteArray& path) {
    const qsizetype dot = path.lastIndexOf('.');
    return dot > 0 ? dot : -1;
}

// Text a page wrote (a title, an alt text) as a part of a name: white space runs made one
// space, each character no file name may hold (a separator, a control character, a text-direction
// mark, on Windows also the characters it refuses) made "_", cut to maxBytes at a character's
// end. changed and cut say what happened. The listing hands over UTF-8; anything else would
// decode to U+FFFD.
QByteArray namePartOfText(const QByteArray& text, qsizetype maxBytes, bool& changed, bool& cut) {
    const QString decoded = QString::fromUtf8(text);
    QString out;
    out.reserve(decoded.size());
    bool space = false;
    for (QChar c : decoded) {
        const char16_t u = c.unicode();
        if (u == u' ' || u == u'\t' || u == u'\n' || u == u'\r' || u == u'\f') {
            space = !out.isEmpty();
            continue;
        }
        if (space)
            out += u' ';
        space = false;
        const bool control = u < 0x20 || (u >= 0x7F && u <= 0x9F);
        const bool direction = u == 0x061C || u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E) ||
                               (u >= 0x2066 && u <= 0x2069);
        const bool separator = u == u'/' || u == u'\\';
        const bool windows =
            fileName::buildPlatform == fileName::Platform::Windows && QStringView(u"<>:\"|?*").contains(c);
        if (control || direction || separator || windows) {
            out += u'_';
            changed = true;
        } else {
            out += c;
        }
    }
    QByteArray bytes = out.toUtf8();
    if (bytes.size() > maxBytes) {
        qsizetype end = maxBytes;
        while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80)
            --end;
        bytes.truncate(end);
        while (bytes.endsWith(' '))
            bytes.chop(1);
        cut = true;
    }
    return bytes;
}

} // namespace

Expected<NameTemplate, net::Result> NameTemplate::parse(const QString& text) {
    using Kind = Part::Kind;
    if (text.isEmpty())
        return refused(QStringLiteral("option '--output' needs a template, such as {name}"));
    if (text.size() > maxLength)
        return refused(
            QStringLiteral("option '--output': the template is longer than %1 characters").arg(maxLength));
    if (text.startsWith(u'/') || text.startsWith(u'\\') || (text.size() > 1 && text[1] == u':'))
        return refused(QStringLiteral("option '--output': '%1' is an absolute path; the template names "
                                      "files inside FOLDER")
                           .arg(text));
    NameTemplate made;
    Segment segment;
    QByteArray literal;
    auto flushLiteral = [&] {
        if (!literal.isEmpty())
            segment.append({Kind::Text, std::exchange(literal, {}), 0});
    };
    // Literal text is checked as a name of its own: what the template itself says may not leave
    // the folder either.
    auto endSegment = [&]() -> net::Result {
        flushLiteral();
        if (segment.isEmpty())
            return refused(
                QStringLiteral("option '--output': '%1' has an empty folder or file name").arg(text));
        bool onlyText = true;
        for (const Part& part : std::as_const(segment)) {
            onlyText = onlyText && part.kind == Kind::Text;
            if (part.kind == Kind::Text) {
                const QByteArray probe = part.text == "." || part.text == ".." ? QByteArray("x") : part.text;
                if (const net::Result checked = fileName::checkFileName(probe); !checked.ok())
                    return refused(QStringLiteral("option '--output': %1").arg(net::reasonText(checked)));
            }
        }
        if (onlyText) {
            QByteArray whole;
            for (const Part& part : std::as_const(segment))
                whole += part.text;
            if (whole == "." || whole == "..")
                return refused(QStringLiteral("option '--output': '%1' may not name '%2': nothing is saved "
                                              "outside FOLDER")
                                   .arg(text, QString::fromUtf8(whole)));
        }
        made.m_segments.append(std::exchange(segment, {}));
        return {};
    };
    const QByteArray bytes = text.toUtf8();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '/') {
            if (net::Result ended = endSegment(); !ended.ok())
                return ended;
            continue;
        }
        if (c == '}') {
            if (i + 1 < bytes.size() && bytes[i + 1] == '}') {
                literal += '}';
                ++i;
                continue;
            }
            return refused(QStringLiteral("option '--output': a '}' without its '{' in '%1' (write }} for "
                                          "a brace)")
                               .arg(text));
        }
        if (c != '{') {
            literal += c;
            continue;
        }
        if (i + 1 < bytes.size() && bytes[i + 1] == '{') {
            literal += '{';
            ++i;
            continue;
        }
        const qsizetype close = bytes.indexOf('}', i + 1);
        if (close < 0)
            return refused(QStringLiteral("option '--output': a '{' without its '}' in '%1'").arg(text));
        const QByteArray field = bytes.mid(i + 1, close - i - 1);
        i = close;
        const qsizetype colon = field.indexOf(':');
        const QByteArray key = colon < 0 ? field : field.left(colon);
        const QByteArray widthText = colon < 0 ? QByteArray() : field.mid(colon + 1);
        Part part;
        static const QList<std::pair<QByteArray, Kind>> known{{"name", Kind::Name},
                                                              {"stem", Kind::Stem},
                                                              {"ext", Kind::Ext},
                                                              {"host", Kind::Host},
                                                              {"page_host", Kind::PageHost},
                                                              {"index", Kind::Index},
                                                              {"sha256", Kind::Sha256},
                                                              {"width", Kind::Width},
                                                              {"height", Kind::Height},
                                                              {"page_title", Kind::PageTitle},
                                                              {"alt", Kind::Alt}};
        bool found = false;
        for (const auto& [word, kind] : known)
            if (key == word) {
                part.kind = kind;
                found = true;
            }
        if (!found)
            return refused(QStringLiteral("option '--output': unknown field {%1}; the fields are {name}, "
                                          "{stem}, {ext}, {host}, {page_host}, {page_title}, {alt}, "
                                          "{index}, {index:03}, {sha256}, {sha256:N}, {width} and "
                                          "{height}")
                               .arg(QString::fromUtf8(field)));
        if (!widthText.isEmpty()) {
            bool number = false;
            const int width = widthText.toInt(&number);
            const bool digits =
                std::all_of(widthText.begin(), widthText.end(), [](char d) { return d >= '0' && d <= '9'; });
            const bool fits = part.kind == Kind::Index
                                  ? widthText.startsWith('0') && width <= 12
                                  : part.kind == Kind::Sha256 && width >= 1 && width <= 64;
            if (!number || !digits || !fits)
                return refused(QStringLiteral("option '--output': {%1} takes no such width; write {index:03} "
                                              "(zero-padded, up to 12) or {sha256:N} (1 to 64 digits)")
                                   .arg(QString::fromUtf8(field)));
            part.width = width;
        }
        flushLiteral();
        segment.append(part);
    }
    if (net::Result ended = endSegment(); !ended.ok())
        return ended;
    return made;
}

bool NameTemplate::isDefault() const {
    return m_segments.size() == 1 && m_segments[0].size() == 1 && m_segments[0][0].kind == Part::Kind::Name;
}

bool NameTemplate::needsDimensions() const {
    for (const Segment& segment : m_segments)
        for (const Part& part : segment)
            if (part.kind == Part::Kind::Width || part.kind == Part::Kind::Height)
                return true;
    return false;
}

bool NameTemplate::needsPageFacts() const {
    for (const Segment& segment : m_segments)
        for (const Part& part : segment)
            if (part.kind == Part::Kind::PageTitle || part.kind == Part::Kind::Alt)
                return true;
    return false;
}

bool NameTemplate::needsBody(const NameFields& fields) const {
    for (const Segment& segment : m_segments)
        for (const Part& part : segment) {
            if (part.kind == Part::Kind::Sha256 || part.kind == Part::Kind::Width ||
                part.kind == Part::Kind::Height)
                return true;
            if (part.kind == Part::Kind::Ext && extensionDot(pathPart(fields.name)) < 0)
                return true;
        }
    return false;
}

Expected<NameTemplate::Made, net::Result> NameTemplate::expand(const NameFields& fields) const {
    using Kind = Part::Kind;
    const QByteArray path = pathPart(fields.name);
    const qsizetype dot = extensionDot(path);
    const QByteArray stem = dot < 0 ? path : path.left(dot);
    const QByteArray ext = dot < 0 ? fields.contentExtension : path.mid(dot + 1);
    Made made;
    qsizetype length = 0;
    for (const Segment& segment : m_segments) {
        QByteArray name;
        for (qsizetype p = 0; p < segment.size(); ++p) {
            const Part& part = segment[p];
            QByteArray value;
            const char* field = "";
            switch (part.kind) {
            case Kind::Text:
                // A "." right before an extension that is not known goes with it.
                // Fields before it that came out empty would leave the name starting with the
                // text's "." and so hidden; a "_" stands for them.
                if (name.isEmpty() && p > 0 && part.text.startsWith('.')) {
                    name += '_';
                    made.notes << QStringLiteral(
                        "the fields before '.' are empty: '_' stands in their place, "
                        "so the name is not hidden");
                }
                if (part.text.endsWith('.') && p + 1 < segment.size() && segment[p + 1].kind == Kind::Ext &&
                    ext.isEmpty())
                    name += part.text.chopped(1);
                else
                    name += part.text;
                continue;
            case Kind::Name:
                value = fields.name, field = "name";
                break;
            case Kind::Stem:
                value = stem, field = "stem";
                break;
            case Kind::Ext:
                value = ext, field = "ext";
                break;
            case Kind::Host:
                value = fields.host, field = "host";
                break;
            case Kind::PageHost:
                value = fields.pageHost, field = "page_host";
                break;
            case Kind::Index:
                value = QByteArray::number(fields.index).rightJustified(part.width, '0');
                field = "index";
                break;
            case Kind::Width:
                value = fields.width >= 0 ? QByteArray::number(fields.width) : QByteArray();
                field = "width";
                break;
            case Kind::Height:
                value = fields.height >= 0 ? QByteArray::number(fields.height) : QByteArray();
                field = "height";
                break;
            case Kind::Sha256:
                value = part.width > 0 ? fields.sha256.left(part.width) : fields.sha256;
                field = "sha256";
                break;
            case Kind::PageTitle:
            case Kind::Alt: {
                // A page's own text: what cannot stand in a name gives way character by character.
                field = part.kind == Kind::Alt ? "alt" : "page_title";
                bool changed = false;
                bool cut = false;
                value = namePartOfText(part.kind == Kind::Alt ? fields.alt : fields.pageTitle, maxTextField,
                                       changed, cut);
                if (changed)
                    made.notes << QStringLiteral("{%1} held characters a file name cannot: '_' stands in "
                                                 "their place")
                                      .arg(QLatin1StringView(field));
                if (cut)
                    made.notes << QStringLiteral("{%1} was cut to %2 bytes")
                                      .arg(QLatin1StringView(field))
                                      .arg(maxTextField);
                break;
            }
            }
            // A value that could not stand as a name of its own (a "/", "..", a control
            // character, ...) gives way to "_"; an empty one stays empty.
            if (!value.isEmpty() && !fileName::checkFileName(value).ok()) {
                made.notes << QStringLiteral("{%1} would make an unsafe name: '_' stands in its place")
                                  .arg(QLatin1StringView(field));
                value = "_";
            }
            // Nor may a page's text make its file a hidden one.
            if ((part.kind == Kind::Alt || part.kind == Kind::PageTitle) && name.isEmpty() &&
                value.startsWith('.')) {
                for (qsizetype i = 0; i < value.size() && value[i] == '.'; ++i)
                    value[i] = '_';
                made.notes << QStringLiteral(
                                  "{%1} began with '.': '_' stands in its place, so the name is not "
                                  "hidden")
                                  .arg(QLatin1StringView(field));
            }
            name += value;
        }
        if (name.isEmpty())
            return refused(QStringLiteral("the name template makes an empty name for this link"));
        if (const net::Result checked = fileName::checkFileName(name); !checked.ok())
            return refused(QStringLiteral("the name template makes a name that cannot be used: %1")
                               .arg(net::reasonText(checked)));
        length += name.size() + 1;
        made.segments.append(name);
    }
    if (length > maxLength)
        return refused(QStringLiteral("the name template makes a path longer than %1 bytes").arg(maxLength));
    return made;
}

QByteArray contentExtension(QByteArrayView firstBytes, QByteArrayView contentType) {
    const std::string_view b(firstBytes.data(), size_t(firstBytes.size()));
    if (b.starts_with("\xFF\xD8\xFF"sv))
        return "jpg";
    if (b.starts_with("\x89PNG\r\n\x1A\n"sv))
        return "png";
    if (b.starts_with("GIF87a"sv) || b.starts_with("GIF89a"sv))
        return "gif";
    if (b.starts_with("RIFF"sv) && b.size() >= 12 && b.substr(8, 4) == "WEBP"sv)
        return "webp";
    if (b.size() >= 12 && b.substr(4, 4) == "ftyp"sv &&
        (b.substr(8, 4) == "avif"sv || b.substr(8, 4) == "avis"sv))
        return "avif";
    if (b.starts_with("II*\0"sv) || b.starts_with("MM\0*"sv))
        return "tiff";
    if (b.starts_with("BM"sv))
        return "bmp";
    if (b.starts_with("\0\0\1\0"sv))
        return "ico";
    QByteArray type = contentType.toByteArray();
    if (const qsizetype semicolon = type.indexOf(';'); semicolon >= 0)
        type.truncate(semicolon);
    type = type.trimmed().toLower();
    static const QList<std::pair<QByteArray, QByteArray>> types{
        {"image/jpeg", "jpg"},    {"image/pjpeg", "jpg"},           {"image/png", "png"},
        {"image/gif", "gif"},     {"image/webp", "webp"},           {"image/avif", "avif"},
        {"image/bmp", "bmp"},     {"image/x-ms-bmp", "bmp"},        {"image/tiff", "tiff"},
        {"image/svg+xml", "svg"}, {"image/x-icon", "ico"},          {"image/vnd.microsoft.icon", "ico"},
        {"text/html", "html"},    {"application/xhtml+xml", "html"}};
    for (const auto& [name, extension] : types)
        if (type == name)
            return extension;
    return {};
}

QByteArray withContentExtension(const QByteArray& name, const QByteArray& extension) {
    if (extension.isEmpty())
        return name;
    const QByteArray path = pathPart(name);
    const qsizetype dot = extensionDot(path);
    const QByteArray own = dot < 0 ? QByteArray() : path.mid(dot + 1).toLower();
    // Spellings of one type.
    static const QList<QList<QByteArray>> same{
        {"jpg", "jpeg", "jpe", "jfif"}, {"tif", "tiff"}, {"htm", "html"}};
    if (own == extension)
        return name;
    for (const QList<QByteArray>& spellings : same)
        if (spellings.contains(own) && spellings.contains(extension))
            return name;
    // The query goes with the old extension: the saved name is the file's, not the link's.
    return (dot < 0 ? path : path.left(dot)) + '.' + extension;
}
