// Fuzz target for a page's references: URL parsing against a base, srcset, CSS url().
// Input layout: base URL, "\n", the rest (missing parts are empty). The rest is read as a URL,
// as a srcset value, as declarations and as a style sheet.
#include "web/CssUrls.h"
#include "web/Srcset.h"
#include "web/WebUrl.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype newline = input.indexOf('\n');
    const QByteArrayView baseText = newline < 0 ? input : input.first(newline);
    const QByteArrayView rest = newline < 0 ? QByteArrayView() : input.sliced(newline + 1);

    const std::optional<WebUrl> base = WebUrl::parse(baseText);
    for (const bool asBrowser : {false, true}) {
        const std::optional<WebUrl> url = asBrowser ? WebUrl::parseAsBrowser(rest, base ? &*base : nullptr)
                                                    : WebUrl::parse(rest, base ? &*base : nullptr);
        if (url) {
            // A serialised URL is printable ASCII (an opaque path keeps its spaces) and parses back
            // to itself.
            for (const char c : url->href())
                if (uchar(c) >= 0x7f || uchar(c) < 0x20)
                    __builtin_trap();
            const std::optional<WebUrl> again = WebUrl::parse(url->href());
            if (!again || again->href() != url->href())
                __builtin_trap();
            const QByteArray parts = url->protocol() + url->username() + url->password() + url->host() +
                                     url->pathname() + url->search() + url->hash();
            if (parts.size() > url->href().size())
                __builtin_trap();
        }
    }
    for (const QByteArrayView candidate : srcsetUrls(rest))
        if (candidate.isEmpty() || candidate.data() < rest.data() ||
            candidate.data() + candidate.size() > rest.data() + rest.size())
            __builtin_trap();
    QList<QByteArray> urls;
    cssUrlsOfDeclarations(rest, urls);
    cssUrlsOfStyleSheet(rest, urls);
    return 0;
}
