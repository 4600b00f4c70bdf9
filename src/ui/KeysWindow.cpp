#include "ui/KeysWindow.h"

#include "ui/WindowKit.h"

#include "core/Localization.h"
#include "secrets/Keychain.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace quippet {

namespace {

constexpr QChar kBullet(0x2022);

QLabel* heading(const char* key, QWidget* parent) {
    auto* label = new QLabel(i18n::text(key), parent);
    QFont font = label->font();
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    return label;
}

QLineEdit* secretField(const char* objectName, const QString& placeholder, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(QLatin1String(objectName));
    field->setEchoMode(QLineEdit::Password);
    field->setPlaceholderText(placeholder);
    return field;
}

} // namespace

QString KeysWindow::mask() {
    return QString(8, kBullet);
}

KeysWindow::KeysWindow(Keychain& keychain, VerifyFn verify, QWidget* parent)
    : QWidget(parent), m_keychain(keychain), m_verify(std::move(verify)) {
    setObjectName(QStringLiteral("keysWindow"));
    // A tool window keeps the program off the taskbar; titled and closable, but neither resizable nor minimisable.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(kTitle));
    setFixedSize(kSize);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(6);

    auto* title = new QLabel(i18n::text("settings.title"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.25);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    layout->addWidget(title);
    layout->addSpacing(4);

    layout->addWidget(heading("settings.elevenlabs", this));
    m_elevenLabsField = secretField("elevenLabsField", QStringLiteral("sk_…"), this);
    layout->addWidget(m_elevenLabsField);
    auto* hint = new QLabel(i18n::text("settings.elevenlabs.hint"), this);
    hint->setWordWrap(true);
    hint->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(hint);
    layout->addSpacing(4);

    layout->addWidget(heading("settings.gemini", this));
    m_geminiField = secretField("geminiField", QStringLiteral("AIza…"), this);
    layout->addWidget(m_geminiField);
    layout->addSpacing(4);

    auto* buttons = new QHBoxLayout;
    m_saveButton = new QPushButton(i18n::text("settings.save"), this);
    m_saveButton->setObjectName(QStringLiteral("saveButton"));
    // Shown as the default; Return itself is handled in keyPressEvent, as a plain window has no default button.
    m_saveButton->setDefault(true);
    m_verifyButton = new QPushButton(i18n::text("settings.verifying"), this);
    m_verifyButton->setObjectName(QStringLiteral("verifyButton"));
    // Wide enough for both captions, so the row does not jump while a check runs.
    const int checkingWidth = m_verifyButton->sizeHint().width();
    m_verifyButton->setText(i18n::text("settings.verify"));
    m_verifyButton->setMinimumWidth(std::max(checkingWidth, m_verifyButton->sizeHint().width()));
    buttons->addWidget(m_saveButton);
    buttons->addWidget(m_verifyButton);
    buttons->addStretch();
    layout->addLayout(buttons);

    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setWordWrap(true);
    layout->addWidget(m_statusLabel);

    m_modelsTitle = heading("settings.models", this);
    m_modelList = new QListWidget(this);
    m_modelList->setObjectName(QStringLiteral("modelList"));
    m_modelList->setSelectionMode(QAbstractItemView::NoSelection);
    m_modelList->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(m_modelsTitle);
    layout->addWidget(m_modelList, 1);
    m_modelsTitle->hide();
    m_modelList->hide();
    layout->addStretch();

    connect(m_saveButton, &QPushButton::clicked, this, &KeysWindow::save);
    connect(m_verifyButton, &QPushButton::clicked, this, &KeysWindow::verify);
    loadStoredState();
}

QString KeysWindow::elevenLabs() const {
    return m_elevenLabsField->text();
}
QString KeysWindow::gemini() const {
    return m_geminiField->text();
}

void KeysWindow::loadStoredState() {
    // Only whether a key is stored reaches the fields, never the key.
    const auto stored = [this](const char* service) {
        return m_keychain.read(QLatin1String(service)) ? mask() : QString();
    };
    m_elevenLabsField->setText(stored(Keychain::kElevenLabsKey));
    m_geminiField->setText(stored(Keychain::kGeminiKey));
}

void KeysWindow::save() {
    QStringList saved;
    QStringList failed;
    const auto store = [&](const QLineEdit* field, const char* service, const QString& name) {
        const QString value = field->text();
        // The mask, or a mask the user typed after, stands for the stored key. An empty field never deletes one.
        if (value.isEmpty() || value.startsWith(QString(2, kBullet)))
            return;
        // Untrimmed: readers trim.
        (m_keychain.write(QLatin1String(service), value) ? saved : failed).append(name);
    };
    store(m_elevenLabsField, Keychain::kElevenLabsKey, QStringLiteral("ElevenLabs"));
    store(m_geminiField, Keychain::kGeminiKey, QStringLiteral("Gemini"));

    // A key the keyring refused must not be reported as saved.
    QStringList lines;
    if (!saved.isEmpty())
        lines.append(i18n::format("settings.status.saved", saved.join(QStringLiteral(", "))));
    if (!failed.isEmpty())
        lines.append(i18n::format("settings.status.failed", failed.join(QStringLiteral(", "))));
    setStatus(lines.isEmpty() ? i18n::text("settings.status.unchanged") : lines.join(QLatin1Char('\n')));
}

void KeysWindow::verify() {
    if (m_checking)
        return;
    setChecking(true);
    setStatus(QString());
    setModels({});
    // Checks the key in the keychain, not the field: a new key is saved first.
    QPointer<KeysWindow> self(this);
    m_verify([self](const VerifyResult& result) {
        if (self && self->m_checking)
            self->finishVerify(result);
    });
}

void KeysWindow::finishVerify(const VerifyResult& result) {
    if (const auto* names = std::get_if<QStringList>(&result)) {
        setModels(names->filter(QStringLiteral("gemini")));
        setStatus(i18n::format("settings.status.geminiOK", i18n::formatNumber(names->size())));
    } else {
        setStatus(QStringLiteral("Gemini: ") + std::get<QString>(result));
    }
    setChecking(false);
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
    m_verifyButton->setEnabled(!checking);
    m_verifyButton->setText(i18n::text(checking ? "settings.verifying" : "settings.verify"));
    emit checkingChanged();
}

void KeysWindow::keyPressEvent(QKeyEvent* event) {
    // Fields and buttons leave Return unhandled, so it arrives here from anywhere in the window.
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
