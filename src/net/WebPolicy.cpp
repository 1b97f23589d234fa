#include "net/WebPolicy.h"

#include <QList>
#include <QUrl>

#include <algorithm>

namespace net {

namespace {

struct Origin {
    QString scheme;
    QString host;
    int port = -1;
    bool operator==(const Origin&) const = default;
};

Origin originOf(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return {scheme, url.host().toLower(), url.port(scheme == u"https" ? 443 : 80)};
}

bool isWeb(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() && (scheme == u"http" || scheme == u"https");
}

} // namespace

QByteArray refererFor(const QByteArray& pageAddress, const QByteArray& target) {
    return refererFor(pageAddress, QUrl::fromEncoded(target, QUrl::TolerantMode));
}

QByteArray refererFor(const QByteArray& pageAddress, const QUrl& to) {
    if (pageAddress.isEmpty())
        return {};
    // A run asks for many images from one page: its address is parsed once per thread, not per
    // request.
    thread_local QByteArray lastAddress;
    thread_local QUrl lastPage;
    if (pageAddress != lastAddress) {
        lastPage = QUrl::fromEncoded(pageAddress, QUrl::TolerantMode);
        lastAddress = pageAddress;
    }
    const QUrl& page = lastPage;
    if (!isWeb(page) || !isWeb(to))
        return {};
    if (page.scheme().toLower() == u"https" && to.scheme().toLower() == u"http")
        return {};
    if (originOf(page) == originOf(to))
        return page.adjusted(QUrl::RemoveFragment | QUrl::RemoveUserInfo).toEncoded();
    return page.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo)
               .toEncoded() +
           '/';
}

bool sameOrigin(const QByteArray& a, const QByteArray& b) {
    const QUrl one = QUrl::fromEncoded(a, QUrl::TolerantMode);
    const QUrl two = QUrl::fromEncoded(b, QUrl::TolerantMode);
    return isWeb(one) && isWeb(two) && originOf(one) == originOf(two);
}

bool carriesCredential(QByteArrayView line) {
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return false;
    const QByteArrayView name = line.first(colon).trimmed();
    for (const char* credential : {"Authorization", "Cookie", "Proxy-Authorization"})
        if (name.compare(credential, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QList<QByteArray> headersFor(const QList<QByteArray>& lines, const QByteArray& credentialsFor,
                             const QByteArray& target) {
    // Most requests carry no credential at all: nothing to decide, no address to parse.
    if (std::none_of(lines.begin(), lines.end(),
                     [](const QByteArray& line) { return carriesCredential(line); }))
        return lines;
    if (sameOrigin(credentialsFor, target))
        return lines;
    QList<QByteArray> kept;
    for (const QByteArray& line : lines)
        if (!carriesCredential(line))
            kept.append(line);
    return kept;
}

bool exemptFromProxy(const QByteArray& noProxy, const QByteArray& host) {
    QByteArray name = host.toLower();
    if (name.startsWith('[') && name.endsWith(']'))
        name = name.sliced(1, name.size() - 2);
    while (name.endsWith('.'))
        name.chop(1);
    const QByteArray list = noProxy.trimmed();
    if (list == "*")
        return true;
    QByteArray normalised = list;
    normalised.replace(' ', ',');
    for (QByteArray entry : normalised.split(',')) {
        entry = entry.trimmed().toLower();
        while (entry.startsWith('.'))
            entry.remove(0, 1);
        while (entry.endsWith('.'))
            entry.chop(1);
        if (entry.isEmpty())
            continue;
        if (name == entry || name.endsWith('.' + entry))
            return true;
    }
    return false;
}

QByteArray proxyFor(const QByteArray& scheme, const QByteArray& host, const Environment& getenv) {
    QByteArray noProxy = getenv("no_proxy");
    if (noProxy.isEmpty())
        noProxy = getenv("NO_PROXY");
    if (!noProxy.isEmpty() && exemptFromProxy(noProxy, host))
        return {};
    const QByteArray lower = scheme.toLower() + "_proxy";
    QByteArray proxy = getenv(lower.constData());
    // An upper-case HTTP_PROXY may come from a CGI request's "Proxy:" header, so it is not read.
    if (proxy.isEmpty() && lower != "http_proxy")
        proxy = getenv(lower.toUpper().constData());
    if (proxy.isEmpty())
        proxy = getenv("all_proxy");
    if (proxy.isEmpty())
        proxy = getenv("ALL_PROXY");
    return proxy;
}

QByteArray proxyFor(const QByteArray& scheme, const QByteArray& host) {
    return proxyFor(scheme, host, [](const char* name) { return qgetenv(name); });
}

} // namespace net
