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
class PortalShortcuts : public HotKeyBackend {
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

    // Every registered shortcut was bound and carries a trigger.
    bool bound() const { return m_bound; }
    QString session() const { return m_session; }

signals:
    // A line for the diagnostics log.
    void noted(const QString& line);
    // After each binding, checked with the desktop's own list: every registered shortcut with the trigger the
    // desktop reports for it; an empty trigger (or a refusal anywhere on the way) means it does not work.
    void verified(const QMap<std::uint32_t, QString>& triggers);

private slots:
    void response(const QDBusMessage& message);  // (code, results) on one of our request paths
    void activated(const QDBusMessage& message); // (session, shortcut id, timestamp, options)

private:
    enum class Step { Session, Bind, List };
    // Calls `method` with `arguments` and the options holding a fresh handle token; its answer comes to response().
    void request(Step step, const QString& method, QList<QVariant> arguments, QVariantMap options = {});
    void answered(Step step, uint code, const QVariantMap& results);
    void createSession();
    void bindAll();
    void report(const QMap<std::uint32_t, QString>& triggers, const QString& line);

    QDBusConnection m_bus;
    QMap<std::uint32_t, QString> m_triggers; // id → preferred trigger
    QMap<QString, Step> m_pending;           // our request paths not answered yet
    QString m_session;
    bool m_bindScheduled = false;
    bool m_bound = false;
};

} // namespace quippet
