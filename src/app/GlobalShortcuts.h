#pragma once

#include "core/DiagnosticsLog.h"

#include <QMap>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>

namespace quippet {

class Commands;
class HotKeyBackend;
class HotKeyCenter;

// The command table's system-wide shortcuts. On a Wayland desktop whose portal offers them they are handed to the
// desktop, which says later which keys it really bound; elsewhere they are X11 grabs, known at once (and on Wayland
// they reach only XWayland windows, so they do not count as working). Main thread only.
class GlobalShortcuts : public QObject {
    Q_OBJECT
public:
    struct Setup {
        bool windows = true;
        bool wayland = false;
        // Replaces the choice above (tests).
        std::function<std::unique_ptr<HotKeyBackend>()> makeBackend;
    };

    GlobalShortcuts(Commands& commands, NoteFn note, QObject* parent = nullptr);
    ~GlobalShortcuts() override;

    // Registers every shortcut of the table, once; a later call changes nothing.
    void start(const Setup& setup);
    HotKeyCenter* center() const { return m_center.get(); }
    // The keys each shortcut works with in any application, by its id (empty: it does not), once known.
    const QMap<std::uint32_t, QString>& triggers() const { return m_triggers; }
    // The "Shortcuts…" window: that state per shortcut, and the commands to bind instead.
    void showWindow() const;

signals:
    // Some shortcuts do not work; said once a run.
    void someUnbound();

private:
    void known(const QMap<std::uint32_t, QString>& triggers);

    Commands& m_commands;
    NoteFn m_note;
    std::unique_ptr<HotKeyCenter> m_center;
    QMap<std::uint32_t, QString> m_triggers;
    bool m_told = false;
};

} // namespace quippet
