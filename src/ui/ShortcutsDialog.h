#pragma once

#include <QList>
#include <QString>

namespace quippet {

// One of Quippet's shortcuts as the desktop has it: its name and the keys it got (empty: it does not work).
struct ShortcutState {
    QString name;
    QString trigger;
};

namespace shortcuts {
// The commands that do what the shortcuts do, one per line, as they are bound in a desktop's keyboard settings.
QString commands();
// The text both the panel's card and the window show: the state of each shortcut, then how to bind the commands.
QString stateText(const QList<ShortcutState>& states);
} // namespace shortcuts

// The "Shortcuts…" window: the state per shortcut, the commands to bind and a button that copies them. Non-modal;
// deletes itself.
void showShortcuts(const QList<ShortcutState>& states);

} // namespace quippet
