#include "download/DownloadEngine.h"

#include <cmath>

QString DownloadEngine::percentText(const QString& address, int percent) {
    return QLatin1StringView("Downloading ") + address + QLatin1StringView("...") + QString::number(percent) +
           QLatin1StringView(" % Downloaded");
}

QString DownloadEngine::bytesText(const QString& address, qint64 received) {
    return QLatin1StringView("Downloading ") + address + QLatin1StringView("...") +
           QString::number(received) + QLatin1StringView(" Bytes Downloaded");
}

int DownloadEngine::percentDone(qint64 received, qint64 expected) {
    if (expected <= 0)
        return 0;
    // nearbyint rounds in the default mode, to nearest with ties to even.
    return int(std::nearbyint((100.0 / double(expected)) * double(received)));
}

qint64 DownloadEngine::expectedLength(const QString& contentLength) {
    const QString value = contentLength.trimmed();
    if (value.isEmpty())
        return -1;
    for (QChar c : value)
        if (c < u'0' || c > u'9')
            return -1;
    bool ok = false;
    const qint64 length = value.toLongLong(&ok);
    return ok ? length : -1;
}
