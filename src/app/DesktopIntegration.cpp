#include "app/DesktopIntegration.h"

#include "platform/AtomicFile.h"
#include "platform/Localization.h"
#include "platform/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QStandardPaths>

namespace quippet {

bool Installer::ensureInstalled() { return true; }

Updater& Updater::controller() {
    static Updater updater;
    return updater;
}

QString LaunchAtLogin::entryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/quippet.desktop");
}

bool LaunchAtLogin::isEnabled() { return QFile::exists(entryPath()); }

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

QImage StatusItemController::iconImage(int side) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // Drawn on a 16-unit grid with the origin at the bottom left, like a menu-bar template image.
    p.scale(side / 16.0, side / 16.0);
    p.translate(0, 16);
    p.scale(1, -1);
    // Tray hosts do not tint icons and their panels come light or dark: a mid-tone reads on both.
    p.setBrush(QColor(38, 207, 140));
    p.setPen(Qt::NoPen);
    constexpr double kBarWidth = 2.4;
    constexpr double kRadius = 1.2;
    p.drawRoundedRect(QRectF(2.2, 4.5, kBarWidth, 7.0), kRadius, kRadius);
    p.drawRoundedRect(QRectF(6.8, 2.0, kBarWidth, 12.0), kRadius, kRadius);
    p.drawRoundedRect(QRectF(11.4, 3.5, kBarWidth, 9.0), kRadius, kRadius);
    return image;
}

namespace {
QIcon trayIcon() {
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(StatusItemController::iconImage(side)));
    return icon;
}
} // namespace

StatusItemController::StatusItemController(std::function<void()> onToggle, QObject* parent)
    : QObject(parent), m_onToggle(std::move(onToggle)) {}

void StatusItemController::install() {
    // Created even while no tray host runs: at login the program may start before the panel does, and Qt shows
    // the icon once a tray appears.
    if (m_tray)
        return;
    m_tray = new QSystemTrayIcon(trayIcon(), this);
    m_tray->setToolTip(i18n::text("status.tooltip"));
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && m_onToggle)
            m_onToggle();
    });
    m_tray->show();
}

} // namespace quippet
