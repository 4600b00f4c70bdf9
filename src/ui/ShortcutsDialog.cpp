#include "ui/ShortcutsDialog.h"

#include "core/Localization.h"
#include "platform/Commands.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace quippet {

QString shortcuts::commands() {
    return Commands::commandLines();
}

QString shortcuts::stateText(const QList<ShortcutState>& states) {
    QStringList lines;
    for (const ShortcutState& s : states) {
        lines << (s.trigger.isEmpty() ? i18n::format("shortcuts.unbound", s.name)
                                      : i18n::format("shortcuts.bound", s.name, s.trigger));
    }
    return lines.join(QLatin1Char('\n'));
}

void showShortcuts(const QList<ShortcutState>& states) {
    const bool allBound = !states.isEmpty() && std::all_of(states.cbegin(), states.cend(),
                                                           [](const ShortcutState& s) { return !s.trigger.isEmpty(); });
    auto* box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("shortcutsDialog"));
    box->setWindowTitle(i18n::text("shortcuts.title"));
    box->setIcon(allBound ? QMessageBox::Information : QMessageBox::Warning);
    box->setText(shortcuts::stateText(states) +
                 (allBound ? QStringLiteral("\n\n") + i18n::text("shortcuts.allBound") : QString()));
    box->setInformativeText(i18n::text("shortcuts.howTo") + QStringLiteral("\n\n") + shortcuts::commands());
    QPushButton* copy = box->addButton(i18n::text("shortcuts.copy"), QMessageBox::ActionRole);
    copy->setObjectName(QStringLiteral("shortcutsCopy"));
    QObject::connect(copy, &QPushButton::clicked, box,
                     [] { QGuiApplication::clipboard()->setText(shortcuts::commands()); });
    box->addButton(i18n::text("shortcuts.close"), QMessageBox::RejectRole);
    for (QLabel* label : box->findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    box->show();
    box->raise();
    box->activateWindow();
}

} // namespace quippet
