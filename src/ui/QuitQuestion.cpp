#include "ui/QuitQuestion.h"

#include "core/Localization.h"

#include <QMessageBox>
#include <QPushButton>

namespace quippet {

QuitChoice askBeforeQuit() {
    QMessageBox box;
    box.setIcon(QMessageBox::Question);
    box.setWindowTitle(QStringLiteral("Quippet"));
    box.setText(i18n::text("quit.title"));
    box.setInformativeText(i18n::text("quit.message"));
    QPushButton* save = box.addButton(i18n::text("quit.save"), QMessageBox::AcceptRole);
    save->setObjectName(QStringLiteral("quitSave"));
    QPushButton* discard = box.addButton(i18n::text("quit.discard"), QMessageBox::DestructiveRole);
    discard->setObjectName(QStringLiteral("quitDiscard"));
    QPushButton* cancel = box.addButton(i18n::text("quit.cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == save)
        return QuitChoice::FinishAndSave;
    return box.clickedButton() == discard ? QuitChoice::QuitWithoutSaving : QuitChoice::Cancel;
}

} // namespace quippet
