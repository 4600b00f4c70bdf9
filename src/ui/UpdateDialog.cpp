#include "ui/UpdateDialog.h"

#include "core/Localization.h"
#include "platform/Installation.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

namespace quippet {

void showUpdateResult(const UpdateChecker::Result& result, const QString& currentVersion, bool packaged) {
    auto* box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("updateDialog"));
    box->setWindowTitle(i18n::text("update.title"));
    box->setStandardButtons(QMessageBox::Close);
    switch (result.outcome) {
    case UpdateChecker::Outcome::UpToDate:
        box->setIcon(QMessageBox::Information);
        box->setText(i18n::format("update.upToDate", currentVersion));
        break;
    case UpdateChecker::Outcome::Failed:
        box->setIcon(QMessageBox::Warning);
        box->setText(i18n::format("update.failed", result.error));
        break;
    case UpdateChecker::Outcome::Newer: {
        box->setIcon(QMessageBox::Information);
        box->setText(i18n::format("update.available", result.release.version, currentVersion));
        QString details = result.release.notes;
        if (packaged)
            details =
                i18n::text("update.packageHint") + (details.isEmpty() ? QString() : QStringLiteral("\n\n") + details);
        box->setInformativeText(details);
        if (!packaged && result.release.page.isValid()) {
            QPushButton* open = box->addButton(i18n::text("update.openPage"), QMessageBox::AcceptRole);
            const QUrl page = result.release.page;
            QObject::connect(open, &QPushButton::clicked, [page] { QDesktopServices::openUrl(page); });
            box->setDefaultButton(open);
        }
        break;
    }
    }
    // The version and the notes come from the feed: shown as they are written, never as markup or live links.
    for (QLabel* label : box->findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
        label->setOpenExternalLinks(false);
    }
    box->show();
    box->raise();
    box->activateWindow();
}

void showUpdateResult(const UpdateChecker::Result& result) {
    showUpdateResult(result, QCoreApplication::applicationVersion(),
                     installation::isPackaged(QCoreApplication::applicationFilePath()));
}

} // namespace quippet
