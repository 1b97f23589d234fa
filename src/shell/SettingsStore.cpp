#include "shell/SettingsStore.h"

#include "core/Ui.h"
#include "download/DownloadOptions.h"

#include <QSettings>
#include <QStringList>

#include <cmath>

namespace {
const QString organisation = QStringLiteral("Quennick");
const QString section = QStringLiteral("Varnolux");
} // namespace

const SettingInfo& settingInfo(Setting setting) {
    for (const SettingInfo& info : settingsTable)
        if (info.setting == setting)
            return info;
    Q_UNREACHABLE();
}

DownloadOptions storedDownloadOptions(const SettingsStore& store) {
    DownloadOptions options;
    auto number = [&](Setting setting, int low, int high, int fallback) {
        bool ok = false;
        const int value = store.read(setting).trimmed().toInt(&ok);
        return ok && value >= low && value <= high ? value : fallback;
    };
    options.parallel = number(Setting::Parallel, 1, DownloadOptions::maxParallel, options.parallel);
    options.retries = number(Setting::Retries, 0, DownloadOptions::maxRetries, options.retries);
    options.onExists = onExistsFromText(store.read(Setting::OnExists).trimmed()).value_or(options.onExists);
    options.limitRate = parseRate(store.read(Setting::LimitRate).trimmed()).value_or(0);
    bool ok = false;
    const double wait = store.read(Setting::Wait).trimmed().toDouble(&ok);
    options.waitMs = ok && wait > 0 && wait <= 86400 ? qint64(wait * 1000) : 0;
    options.cookieFile = store.read(Setting::Cookies).trimmed();
    options.archive = store.read(Setting::DownloadArchive).trimmed();
    return options;
}

double numericValue(const QString& text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    const qsizetype start = i;
    if (i < n && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    const qsizetype digitsStart = i;
    while (i < n && text[i].isDigit() && text[i].unicode() < 128)
        ++i;
    if (i < n && text[i] == u'.') {
        ++i;
        while (i < n && text[i].isDigit() && text[i].unicode() < 128)
            ++i;
    }
    if (i == digitsStart || (i == digitsStart + 1 && text[digitsStart] == u'.'))
        return 0;
    // An exponent counts only when digits follow it.
    qsizetype end = i;
    if (i < n && (text[i] == u'e' || text[i] == u'E')) {
        qsizetype j = i + 1;
        if (j < n && (text[j] == u'+' || text[j] == u'-'))
            ++j;
        const qsizetype expDigits = j;
        while (j < n && text[j].isDigit() && text[j].unicode() < 128)
            ++j;
        if (j > expDigits)
            end = j;
    }
    bool ok = false;
    const double value = text.mid(start, end - start).toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0;
}

SettingsStore::SettingsStore(MessageBoxes& notices, std::function<QString()> desktopFolder)
    : m_notices(notices), m_desktopFolder(std::move(desktopFolder)),
      m_settings(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, organisation,
                                             organisation)) {
    // A damaged file is left alone, so nothing the user had is overwritten.
    if (m_settings->status() != QSettings::NoError)
        m_state = State::Unreadable;
    m_settings->beginGroup(section);
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::fileName() const {
    return m_settings->fileName();
}

QString SettingsStore::read(Setting setting) const {
    const SettingInfo& info = settingInfo(setting);
    const QString fallback = info.defaultsToDesktop ? m_desktopFolder() : QString(info.defaultText);
    const QString key(info.key);
    if (m_state != State::Healthy)
        tellOnce();
    if (m_unsaved.contains(key))
        return m_unsaved.value(key);
    if (m_state == State::Unreadable || !m_settings->contains(key))
        return fallback;
    const QVariant value = m_settings->value(key);
    // A hand-edited file may hold a list (an unquoted comma); give back the text as written.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u',');
    return value.toString();
}

bool SettingsStore::readTick(Setting setting) const {
    return numericValue(read(setting)) == 1;
}

void SettingsStore::write(Setting setting, const QString& text) {
    const QString key(settingInfo(setting).key);
    if (m_state == State::Healthy) {
        m_settings->setValue(key, text);
        m_settings->sync();
        if (m_settings->status() == QSettings::NoError)
            return;
        m_state = State::Unwritable;
    }
    m_unsaved.insert(key, text);
    tellOnce();
}

void SettingsStore::writeTick(Setting setting, bool ticked) {
    write(setting, ticked ? QStringLiteral("1") : QStringLiteral("0"));
}

void SettingsStore::tellOnce() const {
    if (m_told)
        return;
    m_told = true;
    if (m_state == State::Unreadable)
        m_notices.show(
            QStringLiteral("The settings file %1 cannot be read, so Varnolux starts with its default "
                           "settings.\r\rSettings cannot be saved until that file is repaired or "
                           "removed; your changes last until Varnolux is closed.")
                .arg(fileName()));
    else
        m_notices.show(
            QStringLiteral("Settings cannot be saved to %1.\r\rYour changes last until Varnolux is "
                           "closed.")
                .arg(fileName()));
}
