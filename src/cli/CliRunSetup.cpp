#include "cli/CliRunSetup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

// Checks a Netscape cookie file as curl and wget write it: tab-separated domain, subdomains flag,
// path, secure flag, expiry, name, value; "#" comments except "#HttpOnly_" lines. False with a
// reason when it cannot be read; malformed lines are counted, and libcurl skips them too.
bool checkCookieFile(const QString& path, int* malformed, QString* reason) {
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("option '--cookies': cannot read %1: %2")
                      .arg(QDir::toNativeSeparators(path),
                           QFileInfo(path).isDir() ? QStringLiteral("it is a folder") : file.errorString());
        return false;
    }
    *malformed = 0;
    for (QByteArray line : file.readAll().split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith("#HttpOnly_"))
            line = line.mid(10);
        else if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split('\t');
        bool ok = fields.size() == 7 && !fields[0].isEmpty() && !fields[5].isEmpty();
        if (ok) {
            fields[4].toLongLong(&ok);
            ok = ok && (fields[1] == "TRUE" || fields[1] == "FALSE") &&
                 (fields[3] == "TRUE" || fields[3] == "FALSE");
        }
        if (!ok)
            ++*malformed;
    }
    return true;
}

} // namespace

std::unique_ptr<net::NetworkRun> cliRunSetup(const net::RunOptions& options, QString* error) {
    if (!options.cookieFile.isEmpty()) {
        int malformed = 0;
        if (!checkCookieFile(options.cookieFile, &malformed, error))
            return nullptr;
        if (malformed > 0)
            std::fputs(QStringLiteral("varnolux: warning: %1 malformed line%2 of %3 skipped\n")
                           .arg(malformed)
                           .arg(malformed == 1 ? QString() : QStringLiteral("s"))
                           .arg(QDir::toNativeSeparators(options.cookieFile))
                           .toLocal8Bit()
                           .constData(),
                       stderr);
    }
    return std::make_unique<net::NetworkRun>(options);
}
