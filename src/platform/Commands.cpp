#include "platform/Commands.h"

#include "core/Localization.h"
#include "platform/HotKeyCenter.h"

namespace quippet {

namespace {

using K = HotKeyCenter;

// The commands a desktop's own shortcuts and the launcher's actions are told about first.
constexpr int kBindFirst = 5;

} // namespace

const QList<Commands::Command>& Commands::table() {
    static const QList<Command> commands{
        {"answer",
         "shortcuts.name.answer",
         "answer the client's last question now",
         {1, K::kKeyReturn, K::kSuper, "Super+Return"}},
        {"analyze-screen",
         "shortcuts.name.screen",
         "analyse what the screen shows",
         {2, K::kKeyReturn, K::kSuper | K::kShift, "Super+Shift+Return"}},
        {"toggle-panel", "command.togglePanel", "show or hide the panel"},
        {"check", "menu.preflight", "the check before a call"},
        {"practise", "menu.rehearsal", "start or end a practice conversation"},
        {"collapse",
         "shortcuts.name.collapse",
         "collapse the panel to its orb, or expand it",
         {3, K::kKeyH, K::kSuper | K::kAlt, "Super+Alt+H"}},
        {"place",
         "shortcuts.name.place",
         "bring the panel back into view",
         {5, K::kKeyR, K::kSuper | K::kAlt, "Super+Alt+R"}},
        {"practise-next", "menu.rehearsalNext", "skip to the practice's next question"},
        {"toggle-listening", "menu.transcription", "start or stop listening"},
        {"finish", "panel.finish", "end the call and save its note"},
        {"position", "menu.position", "choose where the panel sits"},
        {"keys", "menu.keys", "the API keys window"},
        {"manager", "menu.manager", "the conversation manager"},
        {"profile", "menu.profileEditor", "the profile and its documents"},
        {"shortcuts", "menu.shortcuts", "what each shortcut is bound to"},
        {"check-updates", "menu.checkUpdates", "ask whether a newer version is out"},
        {"sign-in", "menu.account.server", "sign in to a Quippet server"},
        {"sign-out", "menu.signOut", "sign out of the Quippet server"},
        {"quit", "chrome.quit", "quit Quippet"},
    };
    return commands;
}

QString Commands::fromFlag(const QString& argument) {
    if (!argument.startsWith(QLatin1String("--")))
        return {};
    const QStringView name = QStringView(argument).mid(2);
    for (const Command& command : table()) {
        if (name == QLatin1String(command.name))
            return name.toString();
    }
    return {};
}

QByteArray Commands::usage() {
    QByteArray lines;
    for (const Command& command : table())
        lines += QByteArray("  --") + QByteArray(command.name).leftJustified(18, ' ') + ' ' + command.help + '\n';
    return lines;
}

QString Commands::commandLines() {
    QStringList lines;
    for (const Command& command : table().first(kBindFirst))
        lines << QStringLiteral("quippet --") + QLatin1String(command.name);
    return lines.join(QLatin1Char('\n'));
}

Commands::Commands(QObject* parent) : QObject(parent) {
    for (const Command& command : table()) {
        auto* action = new QAction(i18n::text(command.textKey), this);
        action->setObjectName(QLatin1String(command.name));
        // The keys are the desktop's to deliver (HotKeyCenter); the action only carries them to say what they are.
        if (command.shortcut.keys)
            action->setShortcut(QKeySequence(QString::fromLatin1(command.shortcut.keys).replace("Super", "Meta")));
        action->setShortcutContext(Qt::WidgetShortcut);
        action->setStatusTip(QLatin1String(command.help));
    }
}

QAction* Commands::action(QAnyStringView name) const {
    for (QAction* action : findChildren<QAction*>(Qt::FindDirectChildrenOnly)) {
        if (QAnyStringView::equal(action->objectName(), name))
            return action;
    }
    return nullptr;
}

bool Commands::runFlag(const QString& argument) {
    QAction* command = action(fromFlag(argument));
    if (!command)
        return false;
    command->trigger();
    return true;
}

} // namespace quippet
