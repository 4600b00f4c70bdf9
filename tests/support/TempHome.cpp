#include "support/TempHome.h"

#include <QDir>

namespace quippet::test {

TempHome::TempHome() {
    const QString root = m_dir.path();
    const std::pair<const char*, QString> vars[] = {
        {"HOME", root},
        {"XDG_CONFIG_HOME", root + QStringLiteral("/.config")},
        {"XDG_DATA_HOME", root + QStringLiteral("/.local/share")},
        {"XDG_CACHE_HOME", root + QStringLiteral("/.cache")},
        {"XDG_STATE_HOME", root + QStringLiteral("/.local/state")},
    };
    for (const auto& [name, value] : vars) {
        std::optional<QByteArray> old;
        if (qEnvironmentVariableIsSet(name))
            old = qgetenv(name);
        m_saved.append({QByteArray(name), old});
        QDir().mkpath(value);
        qputenv(name, value.toLocal8Bit());
    }
}

TempHome::~TempHome() {
    for (const auto& [name, old] : m_saved) {
        if (old)
            qputenv(name.constData(), *old);
        else
            qunsetenv(name.constData());
    }
}

} // namespace quippet::test
