#pragma once

#include "platform/HotKeyCenter.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QMap>
#include <QObject>

namespace quippet {

// System-wide shortcuts through the desktop portal's GlobalShortcuts interface, for Wayland desktops that offer
// it: the shortcuts are handed to the desktop, which may let the user confirm or change the keys, and presses come
// back as signals. Main thread.
class PortalShortcuts : public QObject, public HotKeyBackend {
    Q_OBJECT
public:
    explicit PortalShortcuts(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~PortalShortcuts() override;

    // Whether the session bus has a portal with the GlobalShortcuts interface (answers within a short bound).
    static bool available(QDBusConnection bus = QDBusConnection::sessionBus());

    // Registrations are collected and bound together on the next turn of the event loop; the desktop may still
    // refuse them (then the diagnostics note says so).
    bool grab(std::uint32_t id, std::uint32_t keySym, std::uint32_t modifiers) override;
    void ungrab(std::uint32_t id) override;

    // The portal's trigger text for an X keysym and modifier mask, e.g. "LOGO+SHIFT+Return".
    static QString triggerText(std::uint32_t keySym, std::uint32_t modifiers);

    std::function<void(const QString& line)> note;
    bool bound() const { return m_bound; }

private slots:
    void sessionCreated(uint code, const QVariantMap& results);
    void shortcutsBound(uint code, const QVariantMap& results);
    void activated(const QDBusMessage& message); // (session, shortcut id, timestamp, options)

private:
    QString requestPath(const QString& token) const;
    void createSession();
    void bindAll();

    QDBusConnection m_bus;
    QMap<std::uint32_t, QString> m_triggers; // id → preferred trigger
    QString m_session;
    bool m_bindScheduled = false;
    bool m_bound = false;
    int m_serial = 0;
};

} // namespace quippet
