#include "ui/KeysWindow.h"

#include "ui/WindowKit.h"

#include "core/Localization.h"
#include "core/SafeUrl.h"
#include "secrets/Keychain.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace quippet {

struct KeysWindow::Field {
    const char* service;
    QString name; // the provider, as the status lines name it
    QLineEdit* edit = nullptr;
    QPushButton* verify = nullptr;
    QLabel* result = nullptr;
};

namespace {

constexpr QChar kBullet(0x2022);

QLabel* heading(const char* key, QWidget* parent) {
    auto* label = new QLabel(i18n::text(key), parent);
    QFont font = label->font();
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    return label;
}

// A button that reads as a link: it opens a provider's page and is reached with Tab like any other control.
QPushButton* linkButton(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { color: palette(link); text-decoration: underline; border: none;"
                                         " padding: 0; text-align: left; }"
                                         "QPushButton:focus { outline: 1px dotted palette(link); }"));
    return button;
}

QLabel* resultLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->hide();
    return label;
}

bool askBeforeRemoving(QWidget* parent, const QStringList& names) {
    const auto answer = QMessageBox::question(parent, i18n::text("keys.remove.title"),
                                              i18n::format("keys.remove.question", names.join(QStringLiteral(", "))),
                                              QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    return answer == QMessageBox::Yes;
}

} // namespace

QString KeysWindow::mask() {
    return QString(8, kBullet);
}

QUrl KeysWindow::elevenLabsKeysPage() {
    return QUrl(QStringLiteral("https://elevenlabs.io/app/settings/api-keys"));
}

QUrl KeysWindow::geminiKeysPage() {
    return QUrl(QStringLiteral("https://aistudio.google.com/app/apikey"));
}

KeysWindow::KeysWindow(Keychain& keychain, Services services, QWidget* parent)
    : QWidget(parent), m_keychain(keychain), m_services(std::move(services)),
      m_speech(new Field{Keychain::kElevenLabsKey, QStringLiteral("ElevenLabs")}),
      m_llm(new Field{Keychain::kGeminiKey, QStringLiteral("Gemini")}) {
    if (!m_services.confirmRemoval)
        m_services.confirmRemoval = askBeforeRemoving;
    setObjectName(QStringLiteral("keysWindow"));
    // A tool window keeps the program off the taskbar; titled and closable, but neither resizable nor minimisable.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setWindowTitle(i18n::text("keys.window.title"));
    setAccessibleName(windowTitle());

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(6);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    auto* title = new QLabel(i18n::text("settings.title"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.25);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    layout->addWidget(title);
    auto* intro = windowKit::caption(i18n::text("keys.intro"), this);
    intro->setFixedWidth(kWidth - 40);
    layout->addWidget(intro);
    layout->addSpacing(4);

    // One block per key: its label bound to the field, the field, where to get a key, the check and its result.
    const auto block = [this, layout](Field& field, const char* labelKey, const char* fieldName,
                                      const QString& placeholder, const char* linkKey, const char* linkName,
                                      const QUrl& page, const char* verifyName, const char* resultName) {
        QLabel* label = heading(labelKey, this);
        field.edit = new QLineEdit(this);
        field.edit->setObjectName(QLatin1String(fieldName));
        field.edit->setEchoMode(QLineEdit::Password);
        field.edit->setPlaceholderText(placeholder);
        field.edit->setAccessibleName(label->text());
        label->setBuddy(field.edit);
        layout->addWidget(label);
        layout->addWidget(field.edit);
        auto* row = new QHBoxLayout;
        QPushButton* link = linkButton(i18n::text(linkKey), linkName, this);
        link->setAccessibleDescription(page.toString());
        link->setToolTip(page.toString());
        connect(link, &QPushButton::clicked, this, [this, page] { openPage(page); });
        row->addWidget(link);
        row->addStretch();
        field.verify = new QPushButton(i18n::text("keys.verifying"), this);
        field.verify->setObjectName(QLatin1String(verifyName));
        // Wide enough for both captions, so the row does not jump while a check runs.
        const int checkingWidth = field.verify->sizeHint().width();
        field.verify->setText(i18n::text("keys.verify"));
        field.verify->setAccessibleName(i18n::format("keys.verify.named", field.name));
        field.verify->setMinimumWidth(std::max(checkingWidth, field.verify->sizeHint().width()));
        row->addWidget(field.verify);
        layout->addLayout(row);
        field.result = resultLabel(resultName, this);
        field.result->setFixedWidth(kWidth - 40);
        layout->addWidget(field.result);
    };
    block(*m_speech, "settings.elevenlabs", "elevenLabsField", QStringLiteral("sk_…"), "keys.elevenlabs.get",
          "elevenLabsLink", elevenLabsKeysPage(), "elevenLabsVerify", "elevenLabsResult");
    auto* hint = windowKit::caption(i18n::text("settings.elevenlabs.hint"), this);
    hint->setFixedWidth(kWidth - 40);
    layout->addWidget(hint);
    layout->addSpacing(6);
    block(*m_llm, "settings.gemini", "geminiField", QStringLiteral("AIza…"), "keys.gemini.get", "geminiLink",
          geminiKeysPage(), "verifyButton", "geminiResult");

    m_modelsTitle = heading("settings.models", this);
    m_modelList = new QListWidget(this);
    m_modelList->setObjectName(QStringLiteral("modelList"));
    m_modelList->setAccessibleName(m_modelsTitle->text());
    m_modelList->setSelectionMode(QAbstractItemView::NoSelection);
    m_modelList->setFixedSize(kWidth - 40, 96);
    layout->addWidget(m_modelsTitle);
    layout->addWidget(m_modelList);
    m_modelsTitle->hide();
    m_modelList->hide();
    layout->addSpacing(6);

    auto* buttons = new QHBoxLayout;
    m_saveButton = new QPushButton(i18n::text("settings.save"), this);
    m_saveButton->setObjectName(QStringLiteral("saveButton"));
    // Shown as the default; Return itself is handled in keyPressEvent, as a plain window has no default button.
    m_saveButton->setDefault(true);
    buttons->addWidget(m_saveButton);
    buttons->addStretch();
    layout->addLayout(buttons);

    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setWordWrap(true);
    m_statusLabel->setFixedWidth(kWidth - 40);
    layout->addWidget(m_statusLabel);

    connect(m_saveButton, &QPushButton::clicked, this, &KeysWindow::save);
    connect(m_llm->verify, &QPushButton::clicked, this, &KeysWindow::verify);
    connect(m_speech->verify, &QPushButton::clicked, this, &KeysWindow::verifySpeech);
    loadStoredState();
}

KeysWindow::~KeysWindow() = default;

QString KeysWindow::elevenLabs() const {
    return m_speech->edit->text();
}
QString KeysWindow::gemini() const {
    return m_llm->edit->text();
}
QString KeysWindow::speechResult() const {
    return m_speech->result->text();
}
QString KeysWindow::geminiResult() const {
    return m_llm->result->text();
}

void KeysWindow::loadStoredState() {
    // Only whether a key is stored reaches the fields, never the key.
    for (Field* field : {m_speech.get(), m_llm.get()})
        field->edit->setText(m_keychain.read(QLatin1String(field->service)) ? mask() : QString());
}

KeysWindow::Outcome KeysWindow::store(Field& field, bool confirmRemoval) {
    const QString value = field.edit->text();
    // The mask, or a mask the user typed after, stands for the stored key.
    if (value.startsWith(QString(2, kBullet)))
        return Outcome::Unchanged;
    if (value.trimmed().isEmpty()) {
        // An emptied field removes the stored key, once the user has said so.
        if (!m_keychain.read(QLatin1String(field.service)))
            return Outcome::Unchanged;
        if (confirmRemoval && !m_services.confirmRemoval(this, {field.name}))
            return Outcome::Kept;
        m_keychain.remove(QLatin1String(field.service));
        return Outcome::Removed;
    }
    // Untrimmed: readers trim.
    if (!m_keychain.write(QLatin1String(field.service), value))
        return Outcome::Failed;
    field.edit->setText(mask());
    return Outcome::Saved;
}

void KeysWindow::save() {
    // Removals are confirmed together, once.
    QStringList toRemove;
    for (Field* field : {m_speech.get(), m_llm.get()}) {
        if (field->edit->text().trimmed().isEmpty() && !field->edit->text().startsWith(QString(2, kBullet)) &&
            m_keychain.read(QLatin1String(field->service)))
            toRemove << field->name;
    }
    const bool removeConfirmed = toRemove.isEmpty() || m_services.confirmRemoval(this, toRemove);
    QStringList saved, failed, removed;
    for (Field* field : {m_speech.get(), m_llm.get()}) {
        const bool removal = toRemove.contains(field->name);
        if (removal && !removeConfirmed) {
            field->edit->setText(mask()); // kept: the field shows the stored key again
            continue;
        }
        switch (store(*field, false)) {
        case Outcome::Saved:
            saved << field->name;
            break;
        case Outcome::Failed:
            failed << field->name;
            break;
        case Outcome::Removed:
            removed << field->name;
            break;
        case Outcome::Unchanged:
        case Outcome::Kept:
            break;
        }
    }

    // A key the keyring refused must not be reported as saved.
    QStringList lines;
    if (!saved.isEmpty())
        lines.append(i18n::format("settings.status.saved", saved.join(QStringLiteral(", "))));
    if (!removed.isEmpty())
        lines.append(i18n::format("keys.status.removed", removed.join(QStringLiteral(", "))));
    if (!failed.isEmpty())
        lines.append(i18n::format("settings.status.failed", failed.join(QStringLiteral(", "))));
    setStatus(lines.isEmpty() ? i18n::text("settings.status.unchanged") : lines.join(QLatin1Char('\n')));
    if (!saved.isEmpty() || !removed.isEmpty())
        emit keysChanged();
}

// A check proves what is stored: a new key in the field is saved first. False (and the reason shown) when there is
// nothing to check.
bool KeysWindow::prepareCheck(Field& field, bool canCheck) {
    const Outcome stored = store(field, true);
    if (stored == Outcome::Saved || stored == Outcome::Removed)
        emit keysChanged();
    field.result->show();
    if (stored == Outcome::Failed) {
        field.result->setText(i18n::format("settings.status.failed", field.name));
        return false;
    }
    if (!m_keychain.read(QLatin1String(field.service)) || !canCheck) {
        field.result->setText(i18n::text("keys.verify.nothing"));
        return false;
    }
    field.result->setText(i18n::text("keys.verifying"));
    return true;
}

void KeysWindow::verify() {
    if (m_checking)
        return;
    setModels({});
    if (!prepareCheck(*m_llm, bool(m_services.verifyGemini)))
        return;
    setChecking(true);
    QPointer<KeysWindow> self(this);
    m_services.verifyGemini([self](const VerifyResult& result) {
        if (self && self->m_checking)
            self->finishVerify(result);
    });
}

void KeysWindow::finishVerify(const VerifyResult& result) {
    if (const auto* names = std::get_if<QStringList>(&result)) {
        setModels(names->filter(QStringLiteral("gemini")));
        QStringList lines{i18n::format("settings.status.geminiOK", i18n::formatNumber(names->size()))};
        QStringList missing;
        for (const QString& model : m_services.modelChain) {
            if (!names->contains(model))
                missing << model;
        }
        if (!missing.isEmpty() && missing.size() == m_services.modelChain.size())
            lines = QStringList{i18n::format("preflight.llm.noneListed", missing.join(QStringLiteral(", ")))};
        else if (!missing.isEmpty())
            lines << i18n::format("keys.gemini.missing", missing.join(QStringLiteral(", ")));
        m_llm->result->setText(lines.join(QLatin1Char('\n')));
    } else {
        m_llm->result->setText(QStringLiteral("Gemini: ") + std::get<QString>(result));
    }
    setChecking(false);
}

void KeysWindow::verifySpeech() {
    if (m_speechChecking)
        return;
    if (!prepareCheck(*m_speech, bool(m_services.verifySpeech)))
        return;
    setSpeechChecking(true);
    const quint64 attempt = ++m_speechAttempt;
    QPointer<KeysWindow> self(this);
    m_services.verifySpeech([self, attempt](const SpeechVerdict& verdict) {
        if (!self || self->m_speechAttempt != attempt)
            return;
        self->m_speech->result->setText(QStringLiteral("ElevenLabs: ") + verdict.text);
        self->setSpeechChecking(false);
    });
}

void KeysWindow::setStatus(const QString& status) {
    if (status == m_status)
        return;
    m_status = status;
    m_statusLabel->setText(status);
    emit statusChanged();
}

void KeysWindow::setModels(const QStringList& models) {
    if (models == m_models)
        return;
    m_models = models;
    m_modelList->clear();
    m_modelList->addItems(models);
    m_modelsTitle->setVisible(!models.isEmpty());
    m_modelList->setVisible(!models.isEmpty());
    emit modelsChanged();
}

void KeysWindow::setChecking(bool checking) {
    if (checking == m_checking)
        return;
    m_checking = checking;
    m_llm->verify->setEnabled(!checking);
    m_llm->verify->setText(i18n::text(checking ? "keys.verifying" : "keys.verify"));
    emit checkingChanged();
}

void KeysWindow::setSpeechChecking(bool checking) {
    m_speechChecking = checking;
    m_speech->verify->setEnabled(!checking);
    m_speech->verify->setText(i18n::text(checking ? "keys.verifying" : "keys.verify"));
}

void KeysWindow::openPage(const QUrl& url) {
    if (isSafeToOpen(url) && m_services.openUrl)
        m_services.openUrl(url);
}

void KeysWindow::keyPressEvent(QKeyEvent* event) {
    // Fields leave Return unhandled, so it arrives here from them; a focused button takes its own Return.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        save();
        return;
    }
    QWidget::keyPressEvent(event);
}

void KeysWindow::present() {
    // Keys may have been stored or removed meanwhile (secret-tool, another window); what is being typed into an
    // open window stays.
    if (!isVisible())
        loadStoredState();
    windowKit::present(this, m_presented);
}

} // namespace quippet
