#pragma once

#include "core/Expected.h"
#include "net/Transfer.h"

#include <QString>
#include <QTemporaryFile>

#include <memory>

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

// Cookies a run carries that no file of the user's holds (the browser's after a rendered
// listing): a private file under the temporary folder that libcurl reads like any cookie file,
// removed with this object, so it lasts exactly as long as the run that reads it.
class HeldCookies {
public:
    // Writes lines (a Netscape cookie file's) to a new private file; a failure names the file.
    static Expected<std::unique_ptr<HeldCookies>, Result> write(const QByteArray& lines);
    QString path() const { return m_file.fileName(); }

private:
    explicit HeldCookies(const QString& folder);
    QTemporaryFile m_file;
};

} // namespace net
