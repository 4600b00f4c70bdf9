#include "ui/ManagerWindow.h"

#include "assistant/Assistant.h"
#include "assistant/ContextDocuments.h"
#include "core/Localization.h"
#include "records/SessionStore.h"
#include "ui/ContextFolder.h"
#include "ui/DocumentList.h"

#include <QButtonGroup>
#include <QDir>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace quippet {

namespace {

using namespace windowKit;

// A tab's content scrolls as a column aligned to the top.
QVBoxLayout* scrollingPage(QTabWidget* tabs, const char* titleKey) {
    auto* scroll = new QScrollArea(tabs);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* page = new QWidget(scroll);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(18, 14, 18, 14);
    layout->setSpacing(6);
    layout->setAlignment(Qt::AlignTop);
    scroll->setWidget(page);
    tabs->addTab(scroll, i18n::text(titleKey));
    return layout;
}

QPushButton* button(const char* key, const char* objectName, QWidget* parent) {
    auto* b = new QPushButton(i18n::text(key), parent);
    b->setObjectName(QLatin1String(objectName));
    return b;
}

// Green disc with a tick when the profile is there, an empty ring when not.
QPixmap profileMark(bool present, const QPalette& palette) {
    QPixmap pixmap(QSize(32, 32));
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF disc(1.5, 1.5, 13, 13);
    if (present) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(48, 176, 92));
        p.drawEllipse(disc);
        p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({{4.8, 8.2}, {7.0, 10.4}, {11.2, 5.8}}));
    } else {
        p.setPen(QPen(palette.color(QPalette::PlaceholderText), 1.4));
        p.drawEllipse(disc);
    }
    return pixmap;
}

QString startedText(const SessionMeta& meta) {
    const QLocale locale;
    const QDateTime local = meta.startedAt.toLocalTime();
    QString text = locale.toString(local.date(), QStringLiteral("d MMM yyyy")) + QStringLiteral(", ") +
                   locale.toString(local.time(), QLocale::ShortFormat);
    if (!meta.topic.isEmpty())
        text += QStringLiteral(" · ") + meta.topic;
    return text;
}

} // namespace

ManagerWindow::ManagerWindow(SessionStore& sessions, Assistant& assistant, QWidget* parent)
    : QWidget(parent), m_sessions(sessions), m_assistant(assistant) {
    setObjectName(QStringLiteral("managerWindow"));
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Quippet"));
    setFixedSize(kSize);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("managerTabs"));
    m_tabs->setDocumentMode(true);
    layout->addWidget(m_tabs);
    buildConversationTab();
    buildContextTab();
    buildHistoryTab();
    connect(m_tabs, &QTabWidget::currentChanged, this, &ManagerWindow::tabChanged);

    connect(&m_sessions, &SessionStore::currentChanged, this, &ManagerWindow::showCurrent);
    connect(&m_sessions, &SessionStore::historyChanged, this, &ManagerWindow::showHistory);
    connect(&m_assistant, &Assistant::contextFilesChanged, this, &ManagerWindow::showContext);
    connect(&m_assistant, &Assistant::hasProfileChanged, this, &ManagerWindow::showContext);
    showCurrent();
    showContext();
    showHistory();
}

QLineEdit* ManagerWindow::field(QVBoxLayout* layout, const char* objectName, const char* labelKey, const char* hintKey,
                                std::function<void(const QString&)> set) {
    QWidget* page = layout->parentWidget();
    QLabel* label = caption(i18n::text(labelKey), page);
    auto* edit = new QLineEdit(page);
    edit->setObjectName(QLatin1String(objectName));
    edit->setPlaceholderText(i18n::text(hintKey));
    edit->setClearButtonEnabled(true);
    label->setBuddy(edit);
    layout->addWidget(label);
    layout->addWidget(edit);
    layout->addSpacing(2);
    // textChanged, not textEdited: the clear button counts as an edit too.
    connect(edit, &QLineEdit::textChanged, this, [set = std::move(set)](const QString& text) { set(text); });
    return edit;
}

QWidget* ManagerWindow::buildConversationTab() {
    QVBoxLayout* layout = scrollingPage(m_tabs, "manager.tab.conversation");
    QWidget* page = layout->parentWidget();
    layout->addWidget(heading(i18n::text("manager.current"), page));
    layout->addWidget(caption(i18n::text("manager.current.hint"), page));
    layout->addSpacing(6);
    m_name = field(layout, "nameField", "manager.field.name", "manager.field.name.hint",
                   [this](const QString& v) { m_sessions.setName(v); });
    m_company = field(layout, "companyField", "manager.field.company", "manager.field.company.hint",
                      [this](const QString& v) { m_sessions.setCompany(v); });
    m_topic = field(layout, "topicField", "manager.field.topic", "manager.field.topic.hint",
                    [this](const QString& v) { m_sessions.setTopic(v); });

    auto* modeBox = new QGroupBox(i18n::text("manager.mode"), page);
    modeBox->setObjectName(QStringLiteral("modeBox"));
    modeBox->setFlat(true);
    auto* modeLayout = new QVBoxLayout(modeBox);
    auto* modeRow = new QHBoxLayout;
    m_modes = new QButtonGroup(this);
    for (ConversationMode mode : conversationMode::all()) {
        auto* radio = new QRadioButton(conversationMode::title(mode), modeBox);
        radio->setObjectName(QStringLiteral("mode") + conversationMode::rawValue(mode));
        m_modes->addButton(radio, int(mode));
        modeRow->addWidget(radio);
    }
    modeRow->addStretch();
    modeLayout->addLayout(modeRow);
    m_modeHint = caption(QString(), modeBox, 0.85);
    m_modeHint->setObjectName(QStringLiteral("modeHint"));
    modeLayout->addWidget(m_modeHint);
    layout->addWidget(modeBox);
    connect(m_modes, &QButtonGroup::idToggled, this, [this](int id, bool on) {
        if (on)
            m_sessions.setMode(ConversationMode(id));
    });

    layout->addWidget(divider(page));
    layout->addWidget(heading(i18n::text("manager.save"), page));
    layout->addWidget(caption(i18n::text("manager.save.hint"), page));
    m_fileName = new QLabel(page);
    m_fileName->setObjectName(QStringLiteral("fileNameLabel"));
    m_fileName->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_fileName->setForegroundRole(QPalette::PlaceholderText);
    m_fileName->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    layout->addWidget(m_fileName);
    QPushButton* openFolder = button("manager.openFolder", "openConversationsButton", page);
    connect(openFolder, &QPushButton::clicked, this, [this] {
        QDir().mkpath(SessionStore::folderPath());
        openUrl(QUrl::fromLocalFile(SessionStore::folderPath()));
    });
    layout->addWidget(openFolder, 0, Qt::AlignLeft);
    return page;
}

QWidget* ManagerWindow::buildContextTab() {
    QVBoxLayout* layout = scrollingPage(m_tabs, "manager.tab.context");
    QWidget* page = layout->parentWidget();
    layout->addWidget(heading(i18n::text("manager.who"), page));
    layout->addWidget(caption(i18n::text("manager.who.hint"), page));
    auto* profileRow = new QHBoxLayout;
    m_profileMark = new QLabel(page);
    m_profileStatus = new QLabel(page);
    m_profileStatus->setObjectName(QStringLiteral("profileStatus"));
    m_profileStatus->setWordWrap(true);
    QPushButton* pick = button("manager.pickFile", "importProfileButton", page);
    connect(pick, &QPushButton::clicked, this, &ManagerWindow::importProfile);
    profileRow->addWidget(m_profileMark);
    profileRow->addWidget(m_profileStatus, 1);
    profileRow->addWidget(pick);
    layout->addLayout(profileRow);

    layout->addWidget(divider(page));
    layout->addWidget(heading(i18n::text("manager.docs"), page));
    layout->addWidget(caption(i18n::text("manager.docs.hint"), page));
    m_documents = new DocumentList(i18n::text("manager.docs.empty"), page);
    connect(m_documents, &DocumentList::removed, this, &ManagerWindow::contextChanged);
    layout->addWidget(m_documents);

    auto* buttons = new QHBoxLayout;
    QPushButton* add = button("manager.addFiles", "addDocumentsButton", page);
    QPushButton* open = button("manager.openFolderShort", "openContextButton", page);
    QPushButton* refresh = button("manager.refresh", "refreshButton", page);
    connect(add, &QPushButton::clicked, this, &ManagerWindow::importDocuments);
    connect(open, &QPushButton::clicked, this, [this] {
        QDir().mkpath(ContextDocuments::folderPath());
        openUrl(QUrl::fromLocalFile(ContextDocuments::folderPath()));
    });
    connect(refresh, &QPushButton::clicked, &m_assistant, &Assistant::reloadContext);
    buttons->addWidget(add);
    buttons->addWidget(open);
    buttons->addWidget(refresh);
    buttons->addStretch();
    layout->addLayout(buttons);
    return page;
}

QWidget* ManagerWindow::buildHistoryTab() {
    QVBoxLayout* layout = scrollingPage(m_tabs, "manager.tab.history");
    QWidget* page = layout->parentWidget();
    page->setObjectName(QStringLiteral("historyList"));
    m_historyRows = layout;
    return page;
}

void ManagerWindow::showCurrent() {
    const SessionMeta& current = m_sessions.current();
    // Only a value that differs is written back, so the caret stays where the user is typing.
    for (auto [edit, value] : {std::pair{m_name, &current.name}, std::pair{m_company, &current.company},
                               std::pair{m_topic, &current.topic}}) {
        if (edit->text() != *value)
            edit->setText(*value);
    }
    if (QAbstractButton* radio = m_modes->button(int(current.mode)); radio && !radio->isChecked())
        radio->setChecked(true);
    m_modeHint->setText(conversationMode::hint(current.mode));
    m_fileName->setText(current.fileSlug() + QStringLiteral(".md"));
}

void ManagerWindow::showContext() {
    const bool hasProfile = m_assistant.hasProfile();
    m_profileMark->setPixmap(profileMark(hasProfile, palette()));
    m_profileStatus->setText(i18n::text(hasProfile ? "manager.profile.loaded" : "manager.profile.missing"));
    QList<DocumentList::Entry> entries;
    for (const QString& name : m_assistant.contextFiles())
        entries.append({name, QString()});
    m_documents->setEntries(entries);
}

void ManagerWindow::showHistory() {
    clear(m_historyRows);
    QWidget* page = m_historyRows->parentWidget();
    if (m_sessions.history().isEmpty()) {
        m_historyRows->addWidget(caption(i18n::text("manager.history.empty"), page));
        return;
    }
    for (const SessionMeta& entry : m_sessions.history()) {
        auto* card = new QFrame(page);
        card->setObjectName(QStringLiteral("historyCard"));
        card->setStyleSheet(
            QStringLiteral("#historyCard { background: palette(alternate-base); border-radius: 8px; }"));
        auto* row = new QHBoxLayout(card);
        row->setContentsMargins(12, 8, 8, 8);
        auto* text = new QVBoxLayout;
        auto* name = new QLabel(entry.displayName(), card);
        QFont font = name->font();
        font.setWeight(QFont::Medium);
        name->setFont(font);
        // A practice conversation says so beside its name, and in the names a screen reader speaks for its buttons.
        const QString spokenName =
            entry.rehearsal ? i18n::format("manager.history.rehearsalNamed", entry.displayName()) : entry.displayName();
        if (entry.rehearsal) {
            auto* title = new QHBoxLayout;
            title->addWidget(name);
            QLabel* mark = caption(i18n::text("manager.history.rehearsal"), card);
            mark->setObjectName(QStringLiteral("rehearsalMark"));
            mark->setAccessibleName(i18n::text("file.rehearsal"));
            mark->setStyleSheet(QStringLiteral("QLabel { border: 1px solid palette(mid); border-radius: 4px;"
                                               " padding: 0 4px; }"));
            title->addWidget(mark);
            title->addStretch(1);
            text->addLayout(title);
        } else {
            text->addWidget(name);
        }
        text->addWidget(caption(startedText(entry), card));
        if (entry.noSummary) {
            QLabel* missing = caption(i18n::text("manager.history.noSummary"), card);
            missing->setObjectName(QStringLiteral("noSummaryMark"));
            text->addWidget(missing);
        }
        row->addLayout(text, 1);
        if (entry.summaryFile && !entry.summaryFile->contains(QLatin1Char('/'))) {
            auto* open = new QPushButton(i18n::text("manager.open"), card);
            open->setObjectName(QStringLiteral("openButton"));
            open->setAccessibleName(i18n::format("manager.openNote", spokenName));
            const QString path = QDir(SessionStore::folderPath()).filePath(*entry.summaryFile);
            connect(open, &QPushButton::clicked, this, [this, path] { openUrl(QUrl::fromLocalFile(path)); });
            row->addWidget(open);
        }
        QToolButton* trash = glyphButton(Glyph::Trash, i18n::format("manager.deleteConversation", spokenName), card);
        trash->setObjectName(QStringLiteral("deleteButton"));
        // Queued: the card goes away with the entry, so the click must be over first.
        connect(
            trash, &QToolButton::clicked, this, [this, entry] { m_sessions.remove(entry); }, Qt::QueuedConnection);
        row->addWidget(trash);
        m_historyRows->addWidget(card);
    }
}

void ManagerWindow::contextChanged() {
    m_assistant.reloadContext();
    emit changed();
}

void ManagerWindow::importProfile() {
    const QStringList chosen = chooseFiles(this, i18n::text("manager.pickFile"), i18n::text("profile.filter"), false);
    if (chosen.isEmpty())
        return;
    contextFolder::importProfile(chosen.first());
    contextChanged();
}

void ManagerWindow::importDocuments() {
    const QStringList chosen = chooseFiles(this, i18n::text("manager.addFiles"), i18n::text("docs.filter"), true);
    if (chosen.isEmpty())
        return;
    contextFolder::importDocuments(chosen);
    contextChanged();
}

int ManagerWindow::tab() const {
    return m_tabs->currentIndex();
}

void ManagerWindow::setTab(int tab) {
    m_tabs->setCurrentIndex(tab);
}

void ManagerWindow::present() {
    if (!isVisible())
        m_assistant.reloadContext(); // files may have been changed in a file browser meanwhile
    windowKit::present(this, m_presented);
}

} // namespace quippet
