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

namespace {
QIcon trayIcon() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(38, 207, 140));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(4, 4, 56, 56), 16, 16);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(27, 32), 9, 9);
    p.drawEllipse(QPointF(43, 32), 5, 5);
    return QIcon(pixmap);
}
} // namespace

StatusItemController::StatusItemController(std::function<void()> onToggle, QObject* parent)
    : QObject(parent), m_onToggle(std::move(onToggle)) {}

void StatusItemController::install() {
    if (m_tray || !QSystemTrayIcon::isSystemTrayAvailable())
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
