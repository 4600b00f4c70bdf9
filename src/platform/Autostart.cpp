#include "platform/Autostart.h"

#include "core/AtomicFile.h"
#include "core/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace quippet {

QString LaunchAtLogin::entryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/quippet.desktop");
}

bool LaunchAtLogin::isEnabled() {
    return QFile::exists(entryPath());
}

bool LaunchAtLogin::set(bool enabled) {
    if (!enabled)
        return !QFile::exists(entryPath()) || QFile::remove(entryPath());
    QDir().mkpath(QFileInfo(entryPath()).path());
    const QString exec = QCoreApplication::applicationFilePath();
    return writeFileAtomically(entryPath(),
                               QStringLiteral("[Desktop Entry]\nType=Application\nName=Quippet\nExec=\"%1\"\n"
                                              "Terminal=false\nX-GNOME-Autostart-enabled=true\n")
                                   .arg(exec)
                                   .toUtf8());
}

void LaunchAtLogin::seedOnFirstLaunch(const NoteFn& note) {
    if (Settings::boolValue(Settings::kLaunchAtLoginSeeded, false))
        return;
    Settings::setValue(Settings::kLaunchAtLoginSeeded, true);
    const bool ok = set(true);
    if (note)
        note(ok ? QStringLiteral("autostart: włączony") : QStringLiteral("autostart: nie udało się włączyć"));
}

} // namespace quippet
