#include "core/Settings.h"

#include <QSettings>
#include <QStandardPaths>

namespace quippet {

namespace {
// A fresh QSettings per call on an explicit path. QSettings works out its own user path once per process, which
// would pin every later test to the first test's config directory; QStandardPaths reads XDG_CONFIG_HOME each time.
// The file is the one QSettings would pick for organisation and application "Quippet".
QSettings store() {
    return QSettings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QStringLiteral("/Quippet/Quippet.conf"),
                     QSettings::IniFormat);
}
} // namespace

QVariant Settings::value(const char* key, const QVariant& fallback) {
    return store().value(QLatin1String(key), fallback);
}

bool Settings::contains(const char* key) {
    return store().contains(QLatin1String(key));
}

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
