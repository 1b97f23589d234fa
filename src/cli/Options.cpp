#include "cli/Options.h"

#include "download/NameTemplate.h"

#include <array>

namespace cli {
namespace {

using namespace Qt::StringLiterals;

bool hasLineBreak(const QString& text) {
    return text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(0));
}

// A refused argument: the usage message says why.
net::Result refusal(QString message) {
    return {net::Status::Failed, std::move(message)};
}

// A header line the user adds to every request; ok when it is good, else why not.
net::Result checkHeader(const QString& line) {
    if (hasLineBreak(line))
        return refusal(u"option '--header' may not contain a line break"_s);
    const qsizetype colon = line.indexOf(u':');
    const QString name = line.left(colon).trimmed();
    static const QString token = u"!#$%&'*+-.^_`|~"_s;
    bool tokenName = colon > 0 && name == line.left(colon);
    for (QChar c : name)
        tokenName = tokenName && c.unicode() < 128 && (c.isLetterOrNumber() || token.contains(c));
    if (!tokenName)
        return refusal(u"option '--header' takes \"Name: value\", not '%1'"_s.arg(line));
    if (name.compare(u"Host", Qt::CaseInsensitive) == 0 ||
        name.compare(u"Content-Length", Qt::CaseInsensitive) == 0)
        return refusal(u"option '--header' may not set %1"_s.arg(name));
    return {};
}

constexpr QLatin1StringView none;

// The options, in the order of the help. The parser takes them for both commands; the texts
// say which command each is for.
const std::array table{
    Option{"filter"_L1, 0, ValueKind::Text, "TEXT"_L1, 0, 0, none, Scope::Both,
           "comma-separated image types, as the window's filter boxes build them (default JPG,GIF); "
           "letter case is ignored."_L1,
           "The image types to accept, separated by commas, as the window's filter boxes build them; "
           "default *JPG,GIF*. Letter case is ignored; one final comma is dropped. A link passes when "
           "the text after its last dot equals one of the types."_L1,
           none, none,
           [](const QString& value, CommandOptions& options) {
               options.filter = value;
               return net::Result();
           }},
    Option{"match"_L1, 0, ValueKind::Text, "REGEX"_L1, 0, 0, none, Scope::Both,
           "keep only links in which the regular expression is found (repeatable: a link found by any "
           "one is kept), after the image types; with --input, of the links read."_L1,
           "Keeps only the links in which the regular expression _REGEX_ (Perl-compatible, as Qt's "
           "QRegularExpression reads it) is found anywhere, as grep finds it; letter case counts "
           "unless the pattern says *(?i)*. It is applied after the image types, to the link as "
           "listed; with *--input*, to each link read. Given more than once, a link found by any one "
           "of them is kept. A pattern that does not compile is a bad argument (exit status 2) and "
           "names itself."_L1,
           "varnolux list --match '/large/' --exclude '(?i)thumb' URL"_L1, none,
           [](const QString& value, CommandOptions& options) { return options.patterns.addMatch(value); }},
    Option{"exclude"_L1, 0, ValueKind::Text, "REGEX"_L1, 0, 0, none, Scope::Both,
           "leave out links in which the regular expression is found (repeatable), after --match."_L1,
           "Leaves out the links in which the regular expression _REGEX_ is found, read as for "
           "*--match*; given more than once, a link found by any one of them is left out, whatever "
           "*--match* says."_L1,
           "varnolux download --exclude '\\.gif$' URL DIR"_L1, none,
           [](const QString& value, CommandOptions& options) { return options.patterns.addExclude(value); }},
    Option{"min-width"_L1, 0, ValueKind::Number, "W"_L1, 1, 1000000, none, Scope::Both,
           "keep only images at least W pixels wide, read from their first bytes (what cannot be "
           "read is kept); list probes each image, download stops one that is narrower."_L1,
           "Keeps only images at least _W_ pixels wide (1 to 1000000). The width is read from the "
           "image's first bytes by Qt's image readers (PNG, JPEG, GIF, WebP, BMP, ICO, SVG and what "
           "else a plug-in reads), as few as the format needs. *list* probes each listed image with "
           "a request for its first 64 KiB (a server that ignores the range is read only as far); "
           "*download* reads the transfer itself and stops an image that falls short, removing its "
           "temporary file, so nothing is fetched twice. An image whose dimensions cannot be read "
           "(an unknown format, an HTML page) is kept, and its line says so."_L1,
           "varnolux list --min-width 800 --min-height 600 URL"_L1, none,
           [](const QString& value, CommandOptions& options) {
               options.download.minWidth = value.toInt();
               return net::Result();
           }},
    Option{"min-height"_L1, 0, ValueKind::Number, "H"_L1, 1, 1000000, none, Scope::Both,
           "keep only images at least H pixels high, read as for --min-width."_L1,
           "Keeps only images at least _H_ pixels high (1 to 1000000), read as for *--min-width*."_L1, none,
           none,
           [](const QString& value, CommandOptions& options) {
               options.download.minHeight = value.toInt();
               return net::Result();
           }},
    Option{"min-bytes"_L1, 0, ValueKind::Size, "N"_L1, 0, 0, none, Scope::Both,
           "keep only images of at least N bytes (k, M, G as --limit-rate takes them), by their "
           "length or, without one, by what arrives."_L1,
           "Keeps only images of at least _N_ bytes, with k, M or G as *--limit-rate* takes them. The "
           "size is the image's Content-Length (or a range answer's total); without one, *download* "
           "counts what arrives."_L1,
           "varnolux download --min-bytes 20k URL DIR"_L1, none,
           [](const QString& value, CommandOptions& options) {
               options.download.minBytes = parseRate(value).value_or(0);
               return net::Result();
           }},
    Option{"max-bytes"_L1, 0, ValueKind::Size, "N"_L1, 0, 0, none, Scope::Both,
           "keep only images of at most N bytes; download stops one whose length or body goes "
           "beyond."_L1,
           "Keeps only images of at most _N_ bytes, with k, M or G. *download* stops an image as soon "
           "as its length says it is larger, or, without a length, once its body grows past _N_, and "
           "removes its temporary file."_L1,
           "varnolux download --max-bytes 5M URL DIR"_L1, none,
           [](const QString& value, CommandOptions& options) {
               options.download.maxBytes = parseRate(value).value_or(0);
               return net::Result();
           }},
    Option{"find"_L1, 0, ValueKind::Choice, "MODE"_L1, 0, 0, "classic browser rendered"_L1, Scope::Both,
           "classic (the default): the src=\"...\" and href=\"...\" values of the page; browser: every "
           "image a browser would show on the page (srcset, lazy-loading attributes, CSS url(), icons, "
           "og:image) and every link, resolved as a browser resolves them. In browser mode an image "
           "without a known image type is listed whatever the filter. rendered: the page as Chromium "
           "shows it with scripts on, scrolled to its end and settled, then the same reading of the "
           "tree it built, then the images it fetched (needs the chromium package)."_L1,
           "How the page's images are found. *classic* (the default) finds every *src=\"...\"* and "
           "*href=\"...\"* value of the page, makes each one absolute against the page's address and "
           "keeps those whose extension passes the filter, in the order found, each once. *browser* "
           "reads the page as a browser does with scripting disabled: the charset of the HTTP "
           "Content-Type, else a byte order mark, else a meta charset in the first 1024 bytes, else "
           "UTF-8; quotes of any kind and character references in attribute values; nothing inside "
           "comments, scripts, styles, titles or text areas; the first *<base href>* as the base. It "
           "lists the images of *img* (src, srcset, data-src, data-lazy-src, data-original, "
           "data-srcset, data-lazy-srcset), *source* inside *picture*, *input type=image*, *video* "
           "posters, SVG images, icon and image-preload *link*s, og:image and twitter:image *meta*s, "
           "and the *url()* values of style attributes and style sheets, plus the *a* and *area* "
           "links, each resolved as a browser resolves it and printed once in the order of the page. "
           "An image passes the filter when its type is a filtered one, and also when its address has "
           "no extension or one that is no known image type (its type is known only once it is "
           "fetched); a link passes only with a filtered extension.\n"
           "*rendered* opens the page in Debian's *chromium* (the program that *VARNOLUX_CHROMIUM* "
           "names, else *chromium* on the PATH), headless, in a fresh profile that is removed at the "
           "end, with a viewport of 1280x800 CSS pixels. From the page's load event it scrolls one "
           "screen every 250 ms until the page stops growing, then waits until no request has been in "
           "flight for 500 ms (at most 5 s), all within *--render-time*. It lists what browser mode "
           "lists, read from the tree the browser built with scripts on (open shadow roots and "
           "same-origin frames included, *noscript* content as text, each style element's current "
           "rules), then every image that the page or its same-origin frames fetched with success, in "
           "the order requested. Dialogs are dismissed and downloads the page starts are refused. An "
           "answer of 400 or more to the page itself fails the listing. *download* asks for the images "
           "with every cookie the browser held at the end, HttpOnly ones included, and the final page as "
           "Referer. Frames of other sites keep the wait for a quiet network going but their images are "
           "not listed. Without Chromium it is a usage error.\n"
           "A value other than classic, browser or rendered is a usage error."_L1,
           none, "Find Mode"_L1,
           [](const QString& value, CommandOptions& options) {
               options.find = value == "browser"_L1    ? FindMode::Browser
                              : value == "rendered"_L1 ? FindMode::Rendered
                                                       : FindMode::Classic;
               return net::Result();
           }},
    Option{"render-time"_L1, 0, ValueKind::Seconds, "SECONDS"_L1, 1, 300, none, Scope::Both,
           "with --find rendered: the longest the page is given to settle (1 to 300, fractions allowed, "
           "default 30); what it shows then is listed."_L1,
           "With *--find rendered*: the longest time, from the page's load event, that scrolling and "
           "waiting for the network may take, 1 to 300 seconds, fractions allowed (default 30). A page "
           "that never stops growing is listed as it stands then."_L1,
           "varnolux list --find rendered --render-time 10 URL"_L1, none,
           [](const QString& value, CommandOptions& options) {
               options.renderSeconds = value.toDouble();
               return net::Result();
           }},
    Option{"follow"_L1, 0, ValueKind::Choice, "none|thumbnails|links"_L1, 0, 0, "none thumbnails links"_L1,
           Scope::Both,
           "also list the images of the pages the page links to, one level deep: thumbnails follows "
           "each link that holds an image (a gallery's thumbnail), links every link; none (the "
           "default) follows nothing. Only pages on the page's own host (or --follow-hosts), at most "
           "--follow-max of them, each read by the find mode; a page that cannot be read is named in "
           "a warning and the run goes on."_L1,
           "Also lists the images of the pages the page links to, one level deep (the links of a "
           "followed page are not followed). *thumbnails* follows every *a* element whose content "
           "holds an image (an *img*, *picture*, *input type=image*, SVG *image*, or an element whose "
           "style attribute holds a *url()*): the thumbnail of a gallery that links to the page of its "
           "full-size picture. *links* follows every *a* and *area* link. *none* (the default) "
           "follows nothing, and the listing is exactly as without the option. In every find mode the "
           "links are found as *--find browser* reads the page, resolved against its base, without "
           "their fragments; a link that the filter lists itself is listed, not followed. Each target "
           "is asked for once, never the page itself, and only on the page's own host (host name or "
           "address, whatever the scheme and port) or a host that *--follow-hosts* names; the first "
           "*--follow-max* targets in link order are asked for.\n"
           "Followed pages go through the run's connections with its cookies, headers and user agent, "
           "each request naming the page as Referer by the run's Referer rule, at most *--parallel* at "
           "once. Only an answer of type text/html or application/xhtml+xml of at most 16 MiB is read; "
           "a page that answers with an error, another type, more than 16 MiB, more than 20 redirects, "
           "a redirect to a host not followed, or a connection error adds nothing and is named in one "
           "warning line on standard error; the exit status stays that of the page. Each followed "
           "page is read by the find mode (its images, not its links), under the filter, and what it "
           "adds is listed after the page's own links, the pages in the order of their links, each "
           "link once over the whole run. With *--json* such an entry has *\"via\"*: the followed "
           "page's address as linked."_L1,
           "varnolux list --follow thumbnails URL"_L1, "Follow Links"_L1,
           [](const QString& value, CommandOptions& options) {
               options.follow.mode = value == "thumbnails"_L1 ? FollowMode::Thumbnails
                                     : value == "links"_L1    ? FollowMode::Links
                                                              : FollowMode::None;
               return net::Result();
           }},
    Option{"follow-hosts"_L1, 0, ValueKind::Text, "HOSTS"_L1, 0, 0, none, Scope::Both,
           "with --follow: the hosts followed besides the page's own, comma-separated host names or "
           "IP addresses (letter case ignored), or any."_L1,
           "With *--follow*: the hosts whose pages are followed besides the page's own host, as "
           "comma-separated host names or IP addresses, ASCII letter case ignored; *any* allows every "
           "host. A redirect of a followed page to a host not allowed is refused. An empty list or "
           "entry, or one with a scheme, port, path or space, is a usage error."_L1,
           "varnolux list --follow thumbnails --follow-hosts images.example.org URL"_L1, none,
           [](const QString& value, CommandOptions& options) {
               QString why;
               const std::optional<QList<QByteArray>> hosts = parseFollowHosts(value, &why);
               if (!hosts)
                   return refusal(u"option '--follow-hosts' takes host names or addresses: %1"_s.arg(why));
               options.follow.hosts = *hosts;
               options.follow.anyHost = hosts->contains("any");
               options.followHostsGiven = true;
               return net::Result();
           }},
    Option{"follow-max"_L1, 0, ValueKind::Number, "N"_L1, 1, FollowOptions::largestMax, none, Scope::Both,
           "with --follow: ask for at most N linked pages (1 to 10000, default 200), the first in link "
           "order."_L1,
           "With *--follow*: at most _N_ linked pages are asked for, 1 to 10000 (default 200): the first "
           "ones in link order, after the host rule and each link once. Every page asked for counts, "
           "whether it can be read or not."_L1,
           "varnolux list --follow links --follow-max 50 URL"_L1, none,
           [](const QString& value, CommandOptions& options) {
               options.follow.max = value.toInt();
               options.followMaxGiven = true;
               return net::Result();
           }},
    Option{"sizes"_L1, 0, ValueKind::Choice, "all|largest"_L1, 0, 0, "all largest"_L1, Scope::Both,
           "all (the default): every size of a picture offered in several sizes; largest: only its "
           "largest (srcset w, else x); in browser and rendered modes only, classic lists as ever."_L1,
           "*all* (the default) lists every size of a picture offered in several sizes. *largest* "
           "lists, of each picture, only its largest candidate among those that pass the filter: the "
           "candidates of an *img* are its src, srcset, data-src, data-srcset and the other lazy-loading "
           "attributes; those of a *picture* are its *source* elements' and its *img*'s. The largest "
           "is the one with the greatest *w* descriptor when any has one, else the one with the "
           "greatest *x* descriptor (none, src included, counts as 1x); of equals the first wins, and "
           "it is listed at its own place. It works in *--find browser* and *rendered* and on "
           "followed pages; in *classic* mode it changes nothing."_L1,
           "varnolux list --find browser --sizes largest URL"_L1, "Picture Sizes"_L1,
           [](const QString& value, CommandOptions& options) {
               options.largestOnly = value == "largest"_L1;
               return net::Result();
           }},
    Option{"user-agent"_L1, 0, ValueKind::Text, "TEXT"_L1, 0, 0, none, Scope::Both,
           "sent as User-Agent instead of Varnolux/VERSION."_L1,
           "Sent as the User-Agent of every request instead of *Varnolux/VERSION*. A text with a line "
           "break is refused (exit status 2)."_L1,
           none, none,
           [](const QString& value, CommandOptions& options) {
               // A line break would end the header and start another of the user's making.
               if (hasLineBreak(value))
                   return refusal(u"the user agent may not contain a line break"_s);
               if (value.isEmpty())
                   return refusal(u"the user agent may not be empty"_s);
               options.download.userAgent = value.toUtf8();
               return net::Result();
           }},
    Option{"no-referer"_L1, 0, ValueKind::Flag, none, 0, 0, none, Scope::Both,
           "image requests carry no Referer; by default they name the page as a browser does (its full "
           "address to its own site, only the site to another one, nothing from https to http), worked out "
           "again for every redirect."_L1,
           "Image requests carry no Referer. By default each names the page as a browser does by its "
           "default policy (strict-origin-when-cross-origin): the page's full address to the page's own "
           "site, only the site (\"https://example.org/\") to another one, and nothing from an https "
           "page to a plain http image. The rule is applied again at every redirect, against the address "
           "the request actually goes to."_L1,
           none, "Send Referer"_L1,
           [](const QString&, CommandOptions& options) {
               options.download.sendReferer = false;
               return net::Result();
           }},
    Option{"parallel"_L1, 0, ValueKind::Number, "N"_L1, 1, DownloadOptions::maxParallel, none, Scope::Both,
           "at most N image requests (and with --follow, followed pages) in flight (1 to 16, default "
           "1: exactly one at a time), at most 6 "
           "connections to one host; a host that answers 429 or 503 is paused for every request to "
           "it, and a 429 halves its share for the rest of the run; among links of one file name the "
           "last one listed is what remains. With list and a size or dimension limit: at most N probes "
           "at once."_L1,
           "Keeps at most _N_ image requests in flight, 1 to 16 (default 1: exactly one request at a "
           "time, none sent early). All go through one connection pool: over HTTP/2 they share one "
           "connection per host, over HTTP/1.1 at most 6 connections go to one host. Politeness is "
           "per host and shared by every request to it: a 429 or 503 pauses that host for all its "
           "requests (as long as Retry-After says, at most 120 s, or else by a growing back-off), "
           "and a 429 also halves how many of its requests may run at once, for the rest of the run. "
           "The progress line and the summary name a paused host and until when. The run still "
           "decides in list order what to fetch and where to save it; of several links with one file "
           "name, the last one listed is what remains under *replace*. The progress line counts "
           "finished images. With *--follow*, _N_ is also how many followed pages are asked for at "
           "once, by *list* as well. With *list* and a size or dimension limit (*--min-width* ...), at "
           "most _N_ images are probed at once."_L1,
           "varnolux download --parallel 8 URL ~/Pictures"_L1, "Parallel"_L1,
           [](const QString& value, CommandOptions& options) {
               options.download.parallel = value.toInt();
               return net::Result();
           }},
    Option{"on-exists"_L1, 0, ValueKind::Choice, "replace|skip|rename"_L1, 0, 0, "replace skip rename"_L1,
           Scope::Download,
           "what to do with a file of the same name: replace it once the new one is whole (default), "
           "keep it and skip the link, or save as 'name (1).ext', 'name (2).ext', ..."_L1,
           "What happens when a file of the image's name exists: *replace* (the default) puts the new "
           "file in its place once it has arrived whole; *skip* keeps the file and does not fetch the "
           "link (its line and the summary say \"skipped\", and it counts as no failure); *rename* "
           "saves as _name (1).ext_, _name (2).ext_, ... (the number before the last extension), also "
           "when two links of one run share a name. The new name is taken by creating it exclusively, "
           "so two runs into one folder never write the same file."_L1,
           "varnolux download --on-exists rename URL DIR"_L1, "On Exists"_L1,
           [](const QString& value, CommandOptions& options) {
               options.download.onExists = onExistsFromText(value).value_or(OnExists::Replace);
               return net::Result();
           }},
    Option{"retries"_L1, 0, ValueKind::Number, "N"_L1, 0, DownloadOptions::maxRetries, none, Scope::Download,
           "try a link again up to N times (0 to 100, default 0) after a connection error, a time-out "
           "or HTTP 408, 429, 500, 502, 503 or 504, waiting 1 s, 2 s, 4 s ... (at most 60 s) or the "
           "server's Retry-After (at most 120 s); a body that broke off resumes where it stopped when "
           "the server offers ranges."_L1,
           "Tries an image again up to _N_ times, 0 to 100 (default 0), when it failed on a connection "
           "error, a time-out, or HTTP 408, 429, 500, 502, 503 or 504: after 1 s, 2 s, 4 s ... (at most "
           "60 s), or after the server's Retry-After (seconds or a date; at most 120 s, a longer one "
           "fails the image with that reason; one in the past or malformed gets the ordinary wait). A "
           "body that broke off resumes into the same temporary file when the server takes ranges and "
           "names the same version (ETag or Last-Modified); any other answer starts it again from "
           "zero, so pieces of two versions are never joined. The image's line says how many tries it "
           "took."_L1,
           "varnolux download --retries 3 URL DIR"_L1, "Retries"_L1,
           [](const QString& value, CommandOptions& options) {
               options.download.retries = value.toInt();
               return net::Result();
           }},
    Option{"limit-rate"_L1, 0, ValueKind::Rate, "RATE"_L1, 0, 0, none, Scope::Both,
           "at most RATE bytes per second for the whole run, all parallel downloads together, with k, "
           "M or G as curl takes them (1024, 1024^2, 1024^3)."_L1,
           "At most _RATE_ bytes per second for the whole run, all parallel downloads together, with "
           "k, M or G as curl takes them (1024, 1024^2, 1024^3)."_L1,
           "varnolux download --limit-rate 500k URL DIR"_L1, "Limit Rate"_L1,
           [](const QString& value, CommandOptions& options) {
               options.download.limitRate = parseRate(value).value_or(0);
               return net::Result();
           }},
    Option{"wait"_L1, 0, ValueKind::Seconds, "SECONDS"_L1, 0, 86400, none, Scope::Download,
           "a pause between two requests to one host, kept per host for the page and the images alike "
           "(fractions allowed)."_L1,
           "A pause between two requests to the same host, fractions allowed (0 to 86400). It is kept "
           "per host, for every request of the run (the page's and the images'), whatever *--parallel* "
           "allows: requests to other hosts go on meanwhile."_L1,
           "varnolux download --wait 1.5 URL DIR"_L1, "Wait"_L1,
           [](const QString& value, CommandOptions& options) {
               options.download.waitMs = qint64(value.toDouble() * 1000);
               return net::Result();
           }},
    Option{"cookies"_L1, 0, ValueKind::File, "FILE"_L1, 0, 0, none, Scope::Both,
           "a Netscape-format cookie file (as curl, wget and the browser export extensions write it), "
           "sent with the page and the image requests for their domains; never written back. Malformed "
           "lines are skipped with one warning."_L1,
           "A Netscape-format cookie file (what curl, wget and the browser cookie-export extensions "
           "write), sent with the page and the image requests for their domains; never written back. "
           "Malformed lines are skipped with one warning; a file that cannot be read is a bad "
           "argument."_L1,
           "varnolux download --cookies cookies.txt URL DIR"_L1, "Cookies"_L1,
           [](const QString& value, CommandOptions& options) {
               options.download.cookieFile = value;
               return net::Result();
           }},
    Option{"header"_L1, 0, ValueKind::Text, "\"Name: value\""_L1, 0, 0, none, Scope::Both,
           "adds the header to every request (repeatable); Authorization, Cookie and "
           "Proxy-Authorization go only to the original host (same scheme, host and port). Host, "
           "Content-Length and line breaks are refused."_L1,
           "Adds the header to every request; may be given more than once. Authorization, Cookie and "
           "Proxy-Authorization go only to the original host (same scheme, host and port), never to "
           "another one a redirect leads to. A header with a line break, or naming Host or "
           "Content-Length, is a bad argument."_L1,
           "varnolux list --header \"Accept-Language: de\" URL"_L1, none,
           [](const QString& value, CommandOptions& options) {
               net::Result checked = checkHeader(value);
               if (checked.ok())
                   options.download.headers.append(value.toUtf8());
               return checked;
           }},
    Option{"input"_L1, 0, ValueKind::File, "FILE"_L1, 0, 0, none, Scope::Download,
           "take the links from FILE ('-': standard input), one per line; blank lines and lines "
           "starting with # are skipped; no page is listed and no Referer is sent unless --referer URL "
           "gives one."_L1,
           "Takes the links from _FILE_ (*-*: standard input), one per line, instead of listing a "
           "page; blank lines and lines starting with # are skipped. Names, checks and options are as "
           "for a page. No Referer is sent unless *--referer* gives one."_L1,
           "varnolux list URL | grep large | varnolux download --input - DIR"_L1, none,
           [](const QString& value, CommandOptions& options) {
               if (value.isEmpty())
                   return refusal(u"option '--input' needs a file name or '-'"_s);
               options.input = value;
               options.hasInput = true;
               // Without a page, each link is the original host of its own credentials.
               options.download.credentialsForEachLink = true;
               return net::Result();
           }},
    Option{"referer"_L1, 0, ValueKind::Address, "URL"_L1, 0, 0, none, Scope::Download,
           "with --input: the Referer of every image request."_L1,
           "The Referer of every image request, with *--input*."_L1, none, none,
           [](const QString& value, CommandOptions& options) {
               if (hasLineBreak(value) || value.isEmpty())
                   return refusal(u"option '--referer' takes an address without line breaks"_s);
               options.download.referer = value.toUtf8();
               return net::Result();
           }},
    Option{"download-archive"_L1, 0, ValueKind::File, "FILE"_L1, 0, 0, none, Scope::Download,
           "skip, without a request, every link listed in FILE (one per line) and add each saved link "
           "to it, so a second run fetches only what is new."_L1,
           "A text file of links, one per line. A link in it is skipped without a request; each saved "
           "link is added to it, flushed and synced once its file is saved, so a second run over the "
           "same page fetches only what is new. A half-written last line is ignored."_L1,
           "varnolux download --download-archive seen.txt URL DIR"_L1, "Download Archive"_L1,
           [](const QString& value, CommandOptions& options) {
               if (value.isEmpty())
                   return refusal(u"option '--download-archive' needs a file name"_s);
               options.download.archive = value;
               return net::Result();
           }},
    Option{"output"_L1, 0, ValueKind::Text, "TEMPLATE"_L1, 0, 0, none, Scope::Download,
           "name each file by TEMPLATE inside FOLDER (default {name}: the link's last part); fields "
           "{name}, {stem}, {ext}, {host}, {page_host}, {page_title}, {alt}, {index} or {index:03}, "
           "{sha256} or {sha256:N}, {width}, {height}; "
           "\"/\" makes sub-folders. A field that would make an unsafe name becomes \"_\"."_L1,
           "Names each saved file by _TEMPLATE_, a path inside _FOLDER_ whose \"/\" makes sub-folders, "
           "created as needed (never through a symbolic link). The default *{name}* gives the names "
           "the run always gave. Fields: *{name}* the link's last \"/\"-part; *{stem}* and *{ext}* "
           "that part's name and extension, its query cut (without one, *{ext}* is the type of the "
           "body, from its first bytes or its Content-Type, and a \".\" just before an unknown "
           "*{ext}* is dropped); *{host}* the link's host; *{page_host}* the page's; *{index}* the "
           "entry's place in the list, *{index:03}* zero-padded to 3 digits; *{sha256}* the content's "
           "SHA-256 in hex, *{sha256:N}* its first _N_ digits; *{width}* and *{height}* the image's, read "
           "from its first bytes (empty when they cannot be read); *{page_title}* the title of the page "
           "the image was found on (the followed page's for an image of a followed page; in *rendered* "
           "mode the title the page's scripts left, for followed pages their served HTML's), white space "
           "collapsed, the page's host when it has no title, empty with *--input*; *{alt}* the alt text "
           "of the first *img* that gave the link, empty for a link no *img* gave (a link, CSS, a "
           "picture's *source*). The page is read for these two only when the template names them. In "
           "them every character a file name cannot hold (a path separator, a control character, a "
           "text-direction mark) becomes \"_\" and each is cut to 120 bytes; the image's line says "
           "so. *{{* and *}}* are braces. A template "
           "that is empty, absolute, longer than 4096 characters, names \".\" or \"..\", or names an "
           "unknown field is a bad argument (exit status 2). A field whose value would make an unsafe "
           "name (a \"/\", \"..\", a control character, ...) is replaced by \"_\" and the image's line "
           "says so; a name that still cannot be used fails that image. With a field known only once "
           "the body is (*{sha256}*, *{width}*, *{height}*, an *{ext}* the link lacks), *--on-exists* "
           "applies to the name "
           "made then."_L1,
           "varnolux download --output '{host}/{index:03}-{stem}.{ext}' URL DIR"_L1, none,
           [](const QString& value, CommandOptions& options) {
               const auto parsed = NameTemplate::parse(value);
               if (!parsed)
                   return parsed.failure();
               options.download.nameTemplate = value;
               return net::Result();
           }},
    Option{"fix-ext"_L1, 0, ValueKind::Flag, none, 0, 0, none, Scope::Download,
           "give a file whose extension disagrees with its content the content's one (photo.jpg that "
           "is WebP is saved as photo.webp)."_L1,
           "Gives a saved file whose extension disagrees with its content the right one: the type its "
           "first bytes show (JPEG, PNG, GIF, WebP, AVIF, TIFF, BMP, ICO), else its Content-Type. "
           "*photo.jpg* that is WebP is saved as *photo.webp*, *photo* as *photo.webp*; *photo.jpeg* "
           "of a JPEG stays. Applied to the name *--output* makes; *--on-exists* applies to the name "
           "so made."_L1,
           "varnolux download --fix-ext URL DIR"_L1, none,
           [](const QString&, CommandOptions& options) {
               options.download.fixExtension = true;
               return net::Result();
           }},
    Option{"dedupe"_L1, 0, ValueKind::Flag, none, 0, 0, none, Scope::Download,
           "do not keep an image whose content (SHA-256) equals one saved in this run or recorded "
           "in --download-archive: its line says \"duplicate of PATH\", --json says \"duplicate\"."_L1,
           "Keeps no second copy of one content: an image whose bytes have the SHA-256 of a file saved "
           "earlier in this run, or of one recorded in *--download-archive*, is not kept (its "
           "temporary file is removed). Its line says *duplicate of PATH* (or of the archived link), "
           "*--json* gives it the status *duplicate*, and it counts as skipped: no failure. The hash "
           "is taken while the body arrives; nothing is read twice. With *--download-archive*, every "
           "saved file's hash is recorded beside its link. A copy takes no name: with *--on-exists "
           "rename* the names are numbered in the order the files are kept (with *--parallel*, the "
           "first to arrive is kept). A file that could not be put in place, or that a later image of "
           "the same name replaced, no longer counts: the next copy of its content is saved."_L1,
           "varnolux download --dedupe --download-archive seen.txt URL DIR"_L1, none,
           [](const QString&, CommandOptions& options) {
               options.download.dedupe = true;
               return net::Result();
           }},
    Option{"create-dirs"_L1, 0, ValueKind::Flag, none, 0, 0, none, Scope::Download,
           "create FOLDER, and the folders above it, when it is missing."_L1,
           "Creates _FOLDER_, and the folders above it, when it is missing, before anything is fetched "
           "(as curl's option of that name does). Without it a missing folder ends the command with "
           "*varnolux: FOLDER: no such folder* and exit status 2."_L1,
           "varnolux download --create-dirs URL ~/Pictures/new"_L1, none,
           [](const QString&, CommandOptions& options) {
               options.createDirs = true;
               return net::Result();
           }},
    Option{
        "json"_L1, 0, ValueKind::Flag, none, 0, 0, none, Scope::Both,
        "(list and download) one JSON object per line on standard output: list {\"url\": ...} (with "
        "--follow, \"via\": the followed page an image was found on); "
        "download {\"url\", \"path\", \"status\" (saved, failed, skipped), \"bytes\", "
        "\"http_status\", \"tries\", \"seconds\", \"reason\", \"warning\" (a saved body that is an HTML "
        "page)} and a last summary object; the lines "
        "for people stay on standard error. Bytes that are not UTF-8 are written as \\u00XX "
        "escapes, one per byte."_L1,
        "Standard output gets one JSON object per line: *list* prints *{\"url\": ...}* per link (with "
        "*--follow*, an image found on a followed page also has *\"via\"*, that page's address as "
        "linked); "
        "*download* prints per image *url*, *path*, *status* (saved, failed, skipped), *bytes*, "
        "*http_status*, *tries*, *seconds*, *reason* and *warning* (set when a saved body is an HTML page, "
        "not an image), then one summary object. The lines for "
        "people stay on standard error. Bytes that are not UTF-8 are written as \\u00XX escapes, "
        "one per byte, so nothing is lost and the JSON stays valid."_L1,
        "varnolux list --json URL"_L1, none,
        [](const QString&, CommandOptions& options) {
            options.json = true;
            return net::Result();
        }},
    Option{"help"_L1, 'h', ValueKind::Flag, none, 0, 0, none, Scope::Program, "show the usage and exit."_L1,
           "Shows the usage and exits."_L1, none, none, nullptr},
    Option{"version"_L1, 'V', ValueKind::Flag, none, 0, 0, none, Scope::Program,
           "show the version and exit."_L1, "Shows the version and exits."_L1, none, none, nullptr},
};

// Why the value does not suit the option's kind; ok when it does.
net::Result checkValue(const Option& option, const QString& value) {
    switch (option.kind) {
    case ValueKind::Number: {
        bool ok = false;
        const int number = value.toInt(&ok);
        if (!ok || number < option.low || number > option.high || value.startsWith(u'+'))
            return refusal(
                u"option '%1' takes a whole number from %2 to %3, not '%4'"_s.arg(option.longName())
                    .arg(option.low)
                    .arg(option.high)
                    .arg(value));
        return {};
    }
    case ValueKind::Seconds: {
        bool ok = false;
        const double seconds = value.toDouble(&ok);
        bool plain = !value.isEmpty();
        for (QChar c : value)
            plain = plain && (c.isDigit() || c == u'.');
        if (!ok || !plain || seconds < option.low || seconds > option.high)
            return refusal(
                u"option '%1' takes seconds from %2 to %3 (such as 1.5), not '%4'"_s.arg(option.longName())
                    .arg(option.low)
                    .arg(option.high)
                    .arg(value));
        return {};
    }
    case ValueKind::Rate:
        if (!parseRate(value))
            return refusal(
                u"option '%1' takes bytes per second, with k, M or G (such as 500k), not '%2'"_s.arg(
                    option.longName(), value));
        return {};
    case ValueKind::Size:
        if (!parseRate(value))
            return refusal(
                u"option '%1' takes a number of bytes, with k, M or G (such as 200k), not '%2'"_s.arg(
                    option.longName(), value));
        return {};
    case ValueKind::Choice: {
        const QStringList words = option.choiceWords();
        if (words.contains(value))
            return {};
        const QString listed = words.size() < 2
                                   ? words.join(QString())
                                   : words.first(words.size() - 1).join(u", "_s) + u" or "_s + words.last();
        return refusal(u"option '%1' takes %2, not '%3'"_s.arg(option.longName(), listed, value));
    }
    case ValueKind::Flag:
    case ValueKind::Text:
    case ValueKind::File:
    case ValueKind::Address:
        return {};
    }
    return {};
}

} // namespace

QStringList Option::choiceWords() const {
    return QString(choices).split(u' ', Qt::SkipEmptyParts);
}

std::span<const Option> options() {
    return table;
}

const Option* findOption(QLatin1StringView name) {
    for (const Option& option : table)
        if (option.name == name)
            return &option;
    return nullptr;
}

ParseResult parseOptions(const QStringList& args) {
    CommandOptions parsed;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (optionsEnded || !arg.startsWith(u'-') || arg == u'-') {
            parsed.positional << arg;
            continue;
        }
        if (arg == "--"_L1) {
            optionsEnded = true;
            continue;
        }
        const qsizetype equals = arg.indexOf(u'=');
        const QString name = arg.mid(2, equals < 0 ? -1 : equals - 2);
        const Option* option =
            arg.startsWith("--"_L1) ? findOption(QLatin1StringView(name.toLatin1())) : nullptr;
        // Flags take no "=VALUE"; --help and --version are the program's, not a command's.
        if (!option || option->scope == Scope::Program || (!option->takesValue() && equals >= 0)) {
            return refusal(u"unknown option '%1'"_s.arg(arg));
        }
        QString value;
        if (equals >= 0) {
            value = arg.mid(equals + 1);
        } else if (option->takesValue()) {
            if (i + 1 >= args.size()) {
                return refusal(u"option '%1' needs a value"_s.arg(option->longName()));
            }
            value = args[++i];
        }
        net::Result accepted = checkValue(*option, value);
        if (accepted.ok())
            accepted = option->apply(value, parsed);
        if (!accepted.ok())
            return accepted;
    }
    if ((parsed.followHostsGiven || parsed.followMaxGiven) && parsed.follow.mode == FollowMode::None)
        return refusal(u"option '%1' goes with '--follow thumbnails' or '--follow links'"_s.arg(
            parsed.followHostsGiven ? u"--follow-hosts"_s : u"--follow-max"_s));
    return parsed;
}

} // namespace cli
