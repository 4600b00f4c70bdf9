#pragma once

#include <QDBusConnection>
#include <QImage>
#include <QObject>

#include <functional>

namespace quippet {

// A screenshot through the XDG desktop portal (org.freedesktop.portal.Screenshot): what a Wayland session offers
// instead of reading the screen directly. Asynchronous; main thread.
class PortalScreenshot : public QObject {
    Q_OBJECT
public:
    explicit PortalScreenshot(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    // Whether the session bus has a portal with the Screenshot interface (answers within a short bound).
    bool available() const;
    // Takes one picture of the whole screen without asking the user to pick an area. `done` gets the picture, or
    // a null image with a diagnostics text (refused, cancelled, unreadable file, no portal).
    void take(std::function<void(const QImage& picture, const QString& error)> done);
    // Whether an error of take() means the picture was not allowed (the user or the desktop said no, or the
    // question was dismissed) rather than that it failed.
    static bool isRefusal(const QString& error);

private:
    QDBusConnection m_bus;
};

} // namespace quippet
