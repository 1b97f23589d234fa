#include "cli/CliRunSetup.h"

#include "net/CookieFile.h"

#include <QDir>

#include <cstdio>

Expected<std::unique_ptr<net::NetworkRun>, net::Result> cliRunSetup(const net::RunOptions& options) {
    if (!options.cookieFile.isEmpty()) {
        const net::CookieFileCheck cookies = net::checkCookieFile(options.cookieFile);
        if (!cookies.readable)
            return net::Result::localFile(QStringLiteral("option '--cookies': %1").arg(cookies.problem));
        if (const int malformed = cookies.malformedLines; malformed > 0)
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
