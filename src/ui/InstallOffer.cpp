#include "ui/InstallOffer.h"

#include "core/Localization.h"

#include <QMessageBox>
#include <QPushButton>

namespace quippet {

bool askToInstall() {
    QMessageBox box;
    box.setIcon(QMessageBox::Question);
    box.setWindowTitle(QStringLiteral("Quippet"));
    box.setText(i18n::text("install.title"));
    box.setInformativeText(i18n::text("install.message"));
    QPushButton* install = box.addButton(i18n::text("install.move"), QMessageBox::AcceptRole);
    box.addButton(i18n::text("install.later"), QMessageBox::RejectRole);
    box.setDefaultButton(install);
    box.exec();
    return box.clickedButton() == install;
}

} // namespace quippet
