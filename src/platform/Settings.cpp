#include "platform/Settings.h"

#include <QSettings>

namespace quippet {

namespace {
// A fresh QSettings per call: cheap, and it always sees the current XDG_CONFIG_HOME (tests change it per case).
QSettings store() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quippet"),
                                     QStringLiteral("Quippet")); }
} // namespace

QVariant Settings::value(const char* key, const QVariant& fallback) {
    return store().value(QLatin1String(key), fallback);
}

bool Settings::contains(const char* key) { return store().contains(QLatin1String(key)); }

void Settings::setValue(const char* key, const QVariant& value) {
    QSettings s = store();
    s.setValue(QLatin1String(key), value);
    s.sync();
}

void Settings::remove(const char* key) {
    QSettings s = store();
    s.remove(QLatin1String(key));
    s.sync();
}

std::optional<QString> Settings::string(const char* key) {
    const QVariant v = store().value(QLatin1String(key));
    if (!v.isValid())
        return std::nullopt;
    return v.toString();
}

} // namespace quippet
