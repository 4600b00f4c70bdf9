#pragma once

#include <QImage>
#include <QObject>

#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace quippet {

class Commands;

// The tray item: a click shows or hides the panel; its menu offers the commands one looks for there.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TrayIcon(Commands& commands, QObject* parent = nullptr);
    ~TrayIcon() override;
    void install();
    bool isInstalled() const { return m_tray != nullptr; }
    // A small level meter: three rounded bars of different heights.
    static QImage iconImage(int side);

private:
    Commands& m_commands;
    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon* m_tray = nullptr;
};

} // namespace quippet
