#pragma once

#include <QString>

namespace net {

// What a look at a Netscape cookie file found, before libcurl is handed its name.
struct CookieFileCheck {
    bool readable = false;
    // Why the file cannot be read ("cannot read PATH: REASON"), when it cannot.
    QString problem;
    // Lines that are neither comments nor cookies; libcurl skips them as well.
    int malformedLines = 0;
};

// Checks a Netscape cookie file as curl and wget write it: tab-separated domain, subdomains flag,
// path, secure flag, expiry, name, value; "#" comments except "#HttpOnly_" lines.
CookieFileCheck checkCookieFile(const QString& path);

} // namespace net
