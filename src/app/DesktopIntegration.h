#pragma once

#include "platform/DiagnosticsLog.h"

#include <QImage>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>

namespace quippet {

// Installation offer: a Linux build is installed by the package or the build tree it runs from, so there is
// nothing to move and launching always continues.
namespace Installer {
bool ensureInstalled();
}

// Updates come from the distribution's package manager; there is no in-app update feed. The controller still
// creates the process-wide object so menus can ask whether a check is available.
class Updater {
public:
    static Updater& controller();
    bool canCheckForUpdates() const { return false; }
};

// Start at login through an XDG autostart entry (~/.config/autostart/quippet.desktop).
namespace LaunchAtLogin {
QString entryPath();
bool isEnabled();
bool set(bool enabled);
// Registers the entry once, on the very first launch, so the user opts out rather than in.
void seedOnFirstLaunch(const NoteFn& note);
} // namespace LaunchAtLogin

// The tray item: a click toggles the panel.
class StatusItemController : public QObject {
    Q_OBJECT
public:
    explicit StatusItemController(std::function<void()> onToggle, QObject* parent = nullptr);
    void install();
    bool isInstalled() const { return m_tray != nullptr; }
    // A small level meter: three rounded bars of different heights.
    static QImage iconImage(int side);

private:
    std::function<void()> m_onToggle;
    QSystemTrayIcon* m_tray = nullptr;
};

} // namespace quippet
