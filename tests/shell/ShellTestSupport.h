#pragma once

#include "core/Ui.h"
#include "support/RecordingUi.h"

#include <QDir>
#include <QList>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <optional>

// A per-test settings store location: QSettings' per-user INI files go to a fresh temporary
// folder for the life of this object.
class TemporarySettings {
public:
    TemporarySettings() { QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path()); }
    QString path() const { return m_dir.path(); }
    QString fileName() const { return m_dir.filePath(QStringLiteral("Quennick/Quennick.ini")); }

    // Writes the section "Varnolux" the way the program would, before the program starts.
    void put(const QString& key, const QString& value) const {
        QSettings settings = open();
        settings.setValue(QStringLiteral("Varnolux/") + key, value);
    }
    // What the store holds under the section, read back independently of the program.
    std::optional<QString> stored(const QString& key) const {
        QSettings settings = open();
        const QString full = QStringLiteral("Varnolux/") + key;
        if (!settings.contains(full))
            return std::nullopt;
        return settings.value(full).toString();
    }
    QStringList keys() const {
        QSettings settings = open();
        settings.beginGroup(QStringLiteral("Varnolux"));
        QStringList keys = settings.childKeys();
        keys.sort();
        return keys;
    }

private:
    QSettings open() const {
        return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Quennick"),
                         QStringLiteral("Quennick"));
    }
    QTemporaryDir m_dir;
};
