#include "app/GlobalShortcuts.h"

#include "core/Localization.h"
#include "platform/Commands.h"
#include "platform/HotKeyCenter.h"
#include "platform/PortalShortcuts.h"
#include "platform/X11HotKeyBackend.h"
#include "ui/ShortcutsDialog.h"

#include <algorithm>

namespace quippet {

GlobalShortcuts::GlobalShortcuts(Commands& commands, NoteFn note, QObject* parent)
    : QObject(parent), m_commands(commands), m_note(std::move(note)) {}

GlobalShortcuts::~GlobalShortcuts() = default;

void GlobalShortcuts::start(const Setup& setup) {
    if (m_center)
        return;
    std::unique_ptr<HotKeyBackend> backend;
    bool viaPortal = false;
    bool grabsAreGlobal = true;
    if (setup.makeBackend) {
        backend = setup.makeBackend();
    } else if (setup.windows && setup.wayland && PortalShortcuts::available()) {
        auto portal = std::make_unique<PortalShortcuts>();
        connect(portal.get(), &PortalShortcuts::noted, this, [this](const QString& line) { m_note(line); });
        connect(portal.get(), &PortalShortcuts::verified, this, &GlobalShortcuts::known);
        backend = std::move(portal);
        viaPortal = true;
    } else if (setup.windows) {
        backend = makeX11HotKeyBackend();
        grabsAreGlobal = !setup.wayland;
        if (setup.wayland) {
            m_note(QStringLiteral("skróty: sesja Wayland — skróty działają tylko w oknach XWayland; przypisz w "
                                  "ustawieniach klawiatury polecenia quippet --answer, quippet --analyze-screen, "
                                  "quippet --toggle-panel"));
        }
    }
    m_center = std::make_unique<HotKeyCenter>(std::move(backend));
    connect(m_center.get(), &HotKeyCenter::activated, this, [this](std::uint32_t id) {
        for (const Commands::Command& command : Commands::table()) {
            if (command.shortcut.id == id)
                m_commands.action(QLatin1String(command.name))->trigger();
        }
    });
    // A combination another program holds is simply not ours; the rest still register.
    QMap<std::uint32_t, QString> triggers;
    for (const Commands::Command& command : Commands::table()) {
        const Commands::Shortcut& key = command.shortcut;
        if (!key.id)
            continue;
        const bool ours = m_center->registerHotKey(key.id, key.keySym, key.modifiers);
        triggers.insert(key.id, ours && grabsAreGlobal ? QString::fromLatin1(key.keys) : QString());
    }
    // Grabs answer at once; the portal tells what it bound once it has read the desktop's own list.
    if (!viaPortal && m_center->hasBackend())
        known(triggers);
}

void GlobalShortcuts::known(const QMap<std::uint32_t, QString>& triggers) {
    m_triggers = triggers;
    const bool allWork = !triggers.isEmpty() &&
                         std::all_of(triggers.cbegin(), triggers.cend(), [](const QString& t) { return !t.isEmpty(); });
    if (allWork || m_told)
        return;
    m_told = true;
    m_note(QStringLiteral("skróty: w panelu podano polecenia do przypisania (quippet --answer itd.)"));
    emit someUnbound();
}

void GlobalShortcuts::showWindow() const {
    QList<ShortcutState> states;
    for (const Commands::Command& command : Commands::table()) {
        if (command.shortcut.id)
            states << ShortcutState{i18n::text(command.textKey), m_triggers.value(command.shortcut.id)};
    }
    showShortcuts(states);
}

} // namespace quippet
