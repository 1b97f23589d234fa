#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <functional>
#include <optional>

// A URL as the WHATWG URL Standard parses it, which is how browsers resolve the links of a page
// (backslashes, tabs and newlines, percent-encoding sets, IDNA hosts, dot segments). Every text
// in and out is UTF-8; a serialised URL is ASCII.
class WebUrl {
public:
    // Turns the query's text (UTF-8) into the bytes of the page's own encoding, for a page that
    // is not UTF-8; unmappable characters as "&#N;" the way browsers encode them.
    using QueryEncoder = std::function<QByteArray(QByteArrayView utf8)>;

    // The basic URL parser: input against base (none for an absolute input). Failure gives
    // nullopt. Without an encoder the query is encoded as UTF-8.
    static std::optional<WebUrl> parse(QByteArrayView input, const WebUrl* base = nullptr,
                                       const QueryEncoder& queryEncoder = {});
    // The same as a browser reads it where browsers and the standard part on real pages: Chromium
    // percent-encodes "|" in the path of a special URL other than file: ("a|b.jpg" is fetched as
    // "a%7Cb.jpg"). For listing what a page's browser would fetch.
    static std::optional<WebUrl> parseAsBrowser(QByteArrayView input, const WebUrl* base = nullptr,
                                                const QueryEncoder& queryEncoder = {});
    // The domain-to-ASCII step for a host (IDNA); nullopt when the host is not valid.
    static std::optional<QByteArray> domainToAscii(QByteArrayView domain);

    // The serialisation ("href").
    const QByteArray& href() const { return m_href; }
    // The URL API's getters, as the web-platform tests name them.
    QByteArray protocol() const; // "https:"
    QByteArray username() const;
    QByteArray password() const;
    QByteArray host() const; // hostname plus ":port" when the port is not the default
    QByteArray hostname() const;
    QByteArray port() const; // empty for the scheme's default port
    QByteArray pathname() const;
    QByteArray search() const; // "?query" or empty
    QByteArray hash() const;   // "#fragment" or empty
    // http or https: the only URLs a page's images are fetched from.
    bool isHttp() const;

private:
    QByteArray m_href;
    // Offsets into m_href: end of the scheme (before ':'), start of the username, host, port,
    // path, query ('?') and fragment ('#'); a missing part takes the next part's start.
    qsizetype m_schemeEnd = 0;
    qsizetype m_usernameStart = 0;
    qsizetype m_hostStart = 0;
    qsizetype m_hostEnd = 0;
    qsizetype m_portStart = 0;
    qsizetype m_pathStart = 0;
    qsizetype m_queryStart = -1;
    qsizetype m_fragmentStart = -1;
    bool m_hasOpaquePath = false;
    bool m_hasHost = false;
    friend class WebUrlParser;
};
