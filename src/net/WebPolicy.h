#pragma once

#include <QByteArray>
#include <QList>

class QUrl;

#include <functional>

// Rules browsers and command-line downloaders follow when they make a request: which Referer an
// image request carries, and which proxy the environment names for an address.
namespace net {

// The Referer a browser sends by its default policy (strict-origin-when-cross-origin) when the
// page at pageAddress asks for target: the page's address without fragment and credentials to
// its own origin, only its origin to another one, nothing from https to plain http. Both are
// wire addresses; empty when nothing is to be sent.
QByteArray refererFor(const QByteArray& pageAddress, const QByteArray& target);
// The same for a target already parsed.
QByteArray refererFor(const QByteArray& pageAddress, const QUrl& target);

// Whether two wire addresses share scheme, host and port.
bool sameOrigin(const QByteArray& a, const QByteArray& b);

// Whether a "Name: value" line carries a credential: Authorization, Cookie or
// Proxy-Authorization, whatever the letter case.
bool carriesCredential(QByteArrayView line);

// The header lines a request to target carries: every line when target is on the origin of
// credentialsFor (the address the user gave them for), else all but those carrying a credential.
// So a redirect or a link to another host, or from https to http, never takes them along.
QList<QByteArray> headersFor(const QList<QByteArray>& lines, const QByteArray& credentialsFor,
                             const QByteArray& target);

// The proxy for an address as curl reads the environment: no_proxy (or NO_PROXY) first, then
// SCHEME_proxy in lower case (upper case too, except HTTP_PROXY), then all_proxy or ALL_PROXY.
// Empty for a direct connection. getenv is the environment, replaceable for tests.
using Environment = std::function<QByteArray(const char* name)>;
QByteArray proxyFor(const QByteArray& scheme, const QByteArray& host, const Environment& getenv);
QByteArray proxyFor(const QByteArray& scheme, const QByteArray& host);

// Whether a no_proxy list exempts host: "*" exempts every host; an entry matches the host itself
// and its subdomains, a leading dot ignored; letter case is ignored.
bool exemptFromProxy(const QByteArray& noProxy, const QByteArray& host);

} // namespace net
