#include "download/BodySniffer.h"

#include <string_view>

namespace {

using namespace std::string_view_literals;

bool isImage(std::string_view b) {
    static constexpr std::string_view signatures[] = {
        "\xFF\xD8\xFF"sv,             // JPEG
        "\x89PNG\r\n\x1A\n"sv,        // PNG
        "GIF87a"sv,                   // GIF
        "GIF89a"sv,                   //
        "II*\0"sv,                    // TIFF, little-endian
        "MM\0*"sv,                    // TIFF, big-endian
        "\0\0\1\0"sv,                 // ICO
        "\0\0\2\0"sv,                 // CUR
        "\0\0\0\x0CjP  \r\n\x87\n"sv, // JPEG 2000
        "\0\0\0\x0CJXL \r\n\x87\n"sv, // JPEG XL in its container
        "\xFF\x0A"sv,                 // JPEG XL
        "BM"sv,                       // BMP
    };
    for (std::string_view signature : signatures)
        if (b.starts_with(signature))
            return true;
    if (b.starts_with("RIFF"sv) && b.size() >= 12 && b.substr(8, 4) == "WEBP"sv)
        return true;
    // ISO media files (AVIF, HEIF) name their brand after a box size.
    if (b.size() >= 12 && b.substr(4, 4) == "ftyp"sv)
        for (std::string_view brand : {"avif"sv, "avis"sv, "heic"sv, "heix"sv, "mif1"sv, "msf1"sv})
            if (b.substr(8, 4) == brand)
                return true;
    return false;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

// text starts with the opening, letter case ignored, followed by the end of the tag or a blank.
bool opensWith(std::string_view text, std::string_view opening) {
    if (text.size() < opening.size())
        return false;
    for (size_t i = 0; i < opening.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != opening[i])
            return false;
    }
    return text.size() == opening.size() || text[opening.size()] == '>' || text[opening.size()] == '/' ||
           isBlank(text[opening.size()]);
}

} // namespace

BodyKind sniffBody(QByteArrayView firstBytes) {
    std::string_view bytes(firstBytes.data(), size_t(firstBytes.size()));
    if (isImage(bytes))
        return BodyKind::Image;
    // HTML may start with a byte-order mark and blank space.
    if (bytes.starts_with("\xEF\xBB\xBF"sv))
        bytes.remove_prefix(3);
    while (!bytes.empty() && isBlank(bytes.front()))
        bytes.remove_prefix(1);
    // "<!DOCTYPE svg" is an image; only an HTML document type counts.
    for (std::string_view opening : {"<!doctype html"sv, "<html"sv, "<head"sv, "<body"sv})
        if (opensWith(bytes, opening))
            return BodyKind::Html;
    return BodyKind::Unknown;
}
