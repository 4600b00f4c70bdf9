#pragma once

#include <QAction>
#include <QAnyStringView>
#include <QList>
#include <QObject>

#include <cstdint>

namespace quippet {

// Every command the user can give, one QAction each, however it is given: a menu entry, the tray, a system-wide
// shortcut, or the command line of a second start ("quippet --answer"), which hands it to the running one. An
// action's object name is its command-line flag without the dashes; its text is what menus and the shortcuts window
// call it. Adding a command is one row of the table and one connection in the controller.
class Commands : public QObject {
    Q_OBJECT
public:
    struct Shortcut {
        std::uint32_t id = 0; // the shortcut's lasting id with the desktop (the portal remembers its keys by it)
        std::uint32_t keySym = 0;
        std::uint32_t modifiers = 0; // HotKeyCenter's modifier bits
        const char* keys = nullptr;  // as the desktop's keyboard settings write it
    };
    struct Command {
        const char* name;
        const char* textKey;
        const char* help; // the line of "quippet --help"
        Shortcut shortcut = {};
    };
    static const QList<Command>& table();
    // "--answer" → "answer" when the flag names a command; empty otherwise.
    static QString fromFlag(const QString& argument);
    // The commands part of "quippet --help".
    static QByteArray usage();
    // The command lines to bind to keys where system-wide shortcuts do not work.
    static QString commandLines();

    explicit Commands(QObject* parent = nullptr);
    // Null when there is no such command.
    QAction* action(QAnyStringView name) const;
    // Triggers the command a command-line flag names; false when it names none.
    bool runFlag(const QString& argument);
};

} // namespace quippet
