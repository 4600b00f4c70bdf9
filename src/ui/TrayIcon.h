#pragma once

#include <QImage>
#include <QObject>

#include <functional>

class QSystemTrayIcon;

namespace quippet {

// The tray item: a click toggles the panel.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TrayIcon(std::function<void()> onToggle, QObject* parent = nullptr);
    void install();
    bool isInstalled() const { return m_tray != nullptr; }
    // A small level meter: three rounded bars of different heights.
    static QImage iconImage(int side);

private:
    std::function<void()> m_onToggle;
    QSystemTrayIcon* m_tray = nullptr;
};

} // namespace quippet
