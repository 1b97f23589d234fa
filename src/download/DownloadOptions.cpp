#include "download/DownloadOptions.h"

#include <QLocale>

std::optional<OnExists> onExistsFromText(const QString& text) {
    for (OnExists value : {OnExists::Replace, OnExists::Skip, OnExists::Rename})
        if (text == onExistsText(value))
            return value;
    return std::nullopt;
}

QLatin1StringView onExistsText(OnExists onExists) {
    switch (onExists) {
    case OnExists::Replace:
        return QLatin1StringView("replace");
    case OnExists::Skip:
        return QLatin1StringView("skip");
    case OnExists::Rename:
        return QLatin1StringView("rename");
    }
    return QLatin1StringView("replace");
}

std::optional<qint64> parseRate(const QString& value) {
    QString number = value;
    qint64 unit = 1;
    if (!number.isEmpty()) {
        switch (number.back().toLower().unicode()) {
        case 'k':
            unit = qint64(1) << 10;
            break;
        case 'm':
            unit = qint64(1) << 20;
            break;
        case 'g':
            unit = qint64(1) << 30;
            break;
        default:
            break;
        }
        if (unit > 1)
            number.chop(1);
    }
    for (QChar c : number)
        if (!c.isDigit() && c != u'.')
            return std::nullopt;
    bool ok = false;
    const double amount = number.toDouble(&ok);
    if (!ok || !(amount * double(unit) >= 1) || amount * double(unit) > 1e15)
        return std::nullopt;
    return qint64(amount * double(unit));
}
