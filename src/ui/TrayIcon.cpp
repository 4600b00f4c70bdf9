#include "ui/TrayIcon.h"

#include "core/Localization.h"
#include "platform/Commands.h"

#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace quippet {

QImage TrayIcon::iconImage(int side) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // Drawn on a 16-unit grid with the origin at the bottom left.
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

TrayIcon::TrayIcon(Commands& commands, QObject* parent) : QObject(parent), m_commands(commands) {}

TrayIcon::~TrayIcon() = default;

void TrayIcon::install() {
    // Created even while no tray host runs: at login the program may start before the panel does, and Qt shows
    // the icon once a tray appears.
    if (m_tray)
        return;
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(iconImage(side)));
    m_tray = new QSystemTrayIcon(icon, this);
    m_tray->setToolTip(i18n::text("status.tooltip"));
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_commands.action(u"toggle-panel")->trigger();
    });
    m_menu = std::make_unique<QMenu>();
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    for (const char* name : {"toggle-panel", "check", "keys", "quit"})
        m_menu->addAction(m_commands.action(QLatin1String(name)));
    m_tray->setContextMenu(m_menu.get());
    m_tray->show();
}

} // namespace quippet
