#include "ui/ProfileWindow.h"

#include "assistant/ContextDocuments.h"
#include "assistant/Prompts.h"
#include "core/AtomicFile.h"
#include "core/Localization.h"
#include "ui/ContextFolder.h"
#include "ui/DocumentList.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace quippet {

namespace {

using namespace windowKit;

QString profilePath() {
    return QDir(ContextDocuments::folderPath()).filePath(ContextDocuments::profileFileName());
}

QStringList localFiles(const QMimeData* mime) {
    QStringList paths;
    if (mime && mime->hasUrls()) {
        for (const QUrl& url : mime->urls()) {
            if (url.isLocalFile())
                paths << url.toLocalFile();
        }
    }
    return paths;
}

} // namespace

ProfileWindow::ProfileWindow(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("profileWindow"));
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setWindowTitle(i18n::text("profile.window.title"));
    setFixedSize(kSize);

    m_flash.setSingleShot(true);
    m_flash.setInterval(kSavedFlashMs);
    connect(&m_flash, &QTimer::timeout, this, [this] {
        m_save->setText(i18n::text("profile.save"));
        emit savedFlashChanged();
    });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("profileTabs"));
    m_tabs->setDocumentMode(true);
    m_tabs->addTab(buildProfileTab(), i18n::text("profile.tab.profile"));
    m_tabs->addTab(buildDocsTab(), i18n::text("profile.tab.docs"));
    layout->addWidget(m_tabs);
}

QWidget* ProfileWindow::buildProfileTab() {
    auto* page = new QWidget(m_tabs);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(16, 12, 16, 12);
    QLabel* explain = caption(i18n::text("profile.explain"), page, 1.0);
    layout->addWidget(explain);
    m_encodingWarning = new QLabel(i18n::text("profile.notUtf8"), page);
    m_encodingWarning->setObjectName(QStringLiteral("encodingWarning"));
    m_encodingWarning->setWordWrap(true);
    m_encodingWarning->hide();
    layout->addWidget(m_encodingWarning);
    m_saveError = new QLabel(i18n::text("profile.saveFailed"), page);
    m_saveError->setObjectName(QStringLiteral("saveError"));
    m_saveError->setWordWrap(true);
    m_saveError->hide();
    layout->addWidget(m_saveError);
    m_editor = new QPlainTextEdit(page);
    m_editor->setObjectName(QStringLiteral("profileEditor"));
    m_editor->setAccessibleName(i18n::text("profile.tab.profile"));
    m_editor->setAccessibleDescription(explain->text());
    // Tab moves on to the save button; the profile is prose.
    m_editor->setTabChangesFocus(true);
    layout->addWidget(m_editor, 1);
    auto* row = new QHBoxLayout;
    row->addWidget(caption(i18n::text("profile.panelHint"), page), 1);
    m_save = new QPushButton(i18n::text("profile.save"), page);
    m_save->setObjectName(QStringLiteral("saveProfileButton"));
    // Wide enough for the "saved" text, so the button does not jump.
    m_save->setText(i18n::text("profile.saved"));
    m_save->setMinimumWidth(m_save->sizeHint().width());
    m_save->setText(i18n::text("profile.save"));
    connect(m_save, &QPushButton::clicked, this, &ProfileWindow::saveProfile);
    row->addWidget(m_save);
    layout->addLayout(row);
    return page;
}

QWidget* ProfileWindow::buildDocsTab() {
    m_docsTab = new QWidget(m_tabs);
    m_docsTab->setObjectName(QStringLiteral("docsTab"));
    m_docsTab->setAcceptDrops(true);
    m_docsTab->installEventFilter(this);
    auto* layout = new QVBoxLayout(m_docsTab);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->addWidget(caption(i18n::text("docs.explain"), m_docsTab, 1.0));
    m_documents = new DocumentList(i18n::text("docs.empty"), m_docsTab);
    m_documents->layout()->setContentsMargins(0, 6, 0, 6);
    connect(m_documents, &DocumentList::removed, this, [this] {
        refreshDocs();
        emit changed();
    });
    layout->addWidget(m_documents);
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton(i18n::text("docs.add"), m_docsTab);
    add->setObjectName(QStringLiteral("addDocumentsButton"));
    auto* reveal = new QPushButton(i18n::text("docs.reveal"), m_docsTab);
    reveal->setObjectName(QStringLiteral("revealButton"));
    connect(add, &QPushButton::clicked, this, &ProfileWindow::addFiles);
    connect(reveal, &QPushButton::clicked, this, [this] {
        QDir().mkpath(ContextDocuments::folderPath());
        openUrl(QUrl::fromLocalFile(ContextDocuments::folderPath()));
    });
    buttons->addWidget(add);
    buttons->addWidget(reveal);
    buttons->addStretch();
    layout->addLayout(buttons);
    layout->addWidget(caption(i18n::text("docs.syncHint"), m_docsTab));
    return m_docsTab;
}

void ProfileWindow::loadProfile() {
    QFile file(profilePath());
    const bool exists = file.open(QIODevice::ReadOnly);
    const QByteArray bytes = exists ? file.readAll() : QByteArray();
    // A profile in another encoding is shown but never overwritten from here: saving would replace the user's
    // text with a garbled copy.
    const bool foreign = exists && !contextFolder::isUtf8(bytes);
    m_editor->setPlainText(exists ? QString::fromUtf8(bytes) : Prompts::profileTemplate());
    m_editor->setReadOnly(foreign);
    m_save->setEnabled(!foreign);
    m_encodingWarning->setVisible(foreign);
}

void ProfileWindow::saveProfile() {
    if (m_editor->isReadOnly())
        return;
    QDir().mkpath(ContextDocuments::folderPath());
    const bool saved = writeFileAtomically(profilePath(), m_editor->toPlainText().toUtf8());
    // A failed save says so and keeps the text in the editor; it never shows "saved".
    m_saveError->setVisible(!saved);
    if (!saved)
        return;
    emit changed();
    // Each save shows the saved state for the full time from that save.
    m_save->setText(i18n::text("profile.saved"));
    m_flash.start();
    emit savedFlashChanged();
}

void ProfileWindow::refreshDocs() {
    const QLocale locale;
    QList<DocumentList::Entry> entries;
    for (const contextFolder::Document& doc : contextFolder::documents())
        entries.append({doc.name, locale.formattedDataSize(doc.bytes)});
    m_documents->setEntries(entries);
}

void ProfileWindow::addFiles() {
    const QStringList chosen = chooseFiles(this, i18n::text("docs.add"), i18n::text("docs.filter"), true);
    if (!chosen.isEmpty())
        importFiles(chosen);
}

void ProfileWindow::importFiles(const QStringList& paths) {
    contextFolder::importDocuments(paths);
    refreshDocs();
    emit changed();
}

bool ProfileWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_docsTab) {
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto* drag = static_cast<QDropEvent*>(event);
            const QStringList files = localFiles(drag->mimeData());
            if (std::any_of(files.cbegin(), files.cend(), contextFolder::isDocumentName)) {
                drag->acceptProposedAction();
                return true;
            }
        } else if (event->type() == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            importFiles(localFiles(drop->mimeData()));
            drop->acceptProposedAction();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ProfileWindow::present() {
    if (!isVisible()) {
        loadProfile();
        refreshDocs();
    }
    windowKit::present(this, m_presented);
}

} // namespace quippet
