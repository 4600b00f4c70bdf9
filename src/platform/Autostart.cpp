#include "platform/Autostart.h"

#include "core/AtomicFile.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "platform/Installation.h"

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

bool LaunchAtLogin::set(bool enabled, QString* error) {
    auto failed = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (!enabled)
        return !QFile::exists(entryPath()) || QFile::remove(entryPath()) || failed(entryPath());
    const QString command = installation::installedCommand(QCoreApplication::applicationFilePath(), QDir::homePath());
    if (command.isEmpty())
        return failed(i18n::text("autostart.notInstalled"));
    QDir().mkpath(QFileInfo(entryPath()).path());
    const QByteArray entry =
        QStringLiteral("[Desktop Entry]\nType=Application\nName=Quippet\nExec=%1\nIcon=%2\n"
                       "Terminal=false\nX-GNOME-Autostart-enabled=true\n")
            .arg(QString::fromUtf8(installation::desktopEntryExec(command)), QString::fromLatin1(installation::kAppId))
            .toUtf8();
    return writeFileAtomically(entryPath(), entry) || failed(entryPath());
}

void LaunchAtLogin::seedOnFirstLaunch(const NoteFn& note) {
    if (Settings::boolValue(Settings::kLaunchAtLoginSeeded, false))
        return;
    Settings::setValue(Settings::kLaunchAtLoginSeeded, true);
    QString error;
    const bool ok = set(true, &error);
    if (note)
        note(ok ? QStringLiteral("autostart: włączony") : QStringLiteral("autostart: niedostępny — ") + error);
}

} // namespace quippet
