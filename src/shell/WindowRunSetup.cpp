#include "shell/WindowRunSetup.h"

#include "core/Ui.h"
#include "download/DownloadOptions.h"
#include "net/CookieFile.h"
#include "shell/SettingsStore.h"

#include <QDir>

std::unique_ptr<net::NetworkRun> windowRunSetup(const SettingsStore& store, MessageBoxes& messages,
                                                const QString& browserCookies) {
    DownloadOptions options = storedDownloadOptions(store);
    options.sendReferer = store.readTick(Setting::SendReferer);
    if (!browserCookies.isEmpty()) {
        options.cookieFile = browserCookies;
    } else if (!options.cookieFile.isEmpty()) {
        if (!net::checkCookieFile(options.cookieFile).readable) {
            messages.show(QStringLiteral("The cookie file %1 cannot be read; no cookies are sent.")
                              .arg(QDir::toNativeSeparators(options.cookieFile)),
                          MessageIcon::Warning);
            options.cookieFile.clear();
        }
    }
    return std::make_unique<net::NetworkRun>(std::move(options));
}

net::RunOptions windowRequestOptions(const SettingsStore& store) {
    DownloadOptions options = storedDownloadOptions(store);
    options.sendReferer = store.readTick(Setting::SendReferer);
    if (!options.cookieFile.isEmpty() && !net::checkCookieFile(options.cookieFile).readable)
        options.cookieFile.clear();
    return options;
}

bool sameRequestOptions(const net::RunOptions& a, const net::RunOptions& b) {
    return a.userAgent == b.userAgent && a.headers == b.headers && a.cookieFile == b.cookieFile &&
           a.limitRate == b.limitRate && a.credentialsForEachLink == b.credentialsForEachLink &&
           a.waitMs == b.waitMs;
}
