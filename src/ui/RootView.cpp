#include "ui/RootView.h"

#include "assistant/Assistant.h"
#include "assistant/ContextDocuments.h"
#include "audio/AudioCapture.h"
#include "audio/MeetingDetector.h"
#include "core/Localization.h"
#include "core/OwnerMode.h"
#include "platform/Autostart.h"
#include "speech/TranscriptBuffer.h"
#include "ui/PanelState.h"
#include "ui/WelcomeView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace quippet {

namespace {

QPushButton* button(const QString& text, QWidget* parent, const std::function<void()>& action) {
    auto* b = new QPushButton(text, parent);
    b->setCursor(Qt::PointingHandCursor);
    b->setStyleSheet(QStringLiteral("QPushButton { color: white; background: rgba(255,255,255,26); border: none;"
                                    " border-radius: 8px; padding: 5px 10px; }"
                                    "QPushButton:hover { background: rgba(255,255,255,50); }"));
    QObject::connect(b, &QPushButton::clicked, parent, [action] {
        if (action)
            action();
    });
    return b;
}

} // namespace

RootView::RootView(Callbacks callbacks, PanelState& state, AudioCapture& capture, TranscriptBuffer& transcript,
                   Assistant& assistant, SessionStore&, Backend&, QWidget* parent)
    : QStackedWidget(parent), m_callbacks(std::move(callbacks)), m_state(state), m_capture(capture),
      m_transcript(transcript), m_assistant(assistant) {
    setObjectName(QStringLiteral("rootView"));
    setAttribute(Qt::WA_TranslucentBackground);

    auto* orb = new QPushButton(QStringLiteral("●"), this);
    orb->setObjectName(QStringLiteral("collapsedOrb"));
    orb->setToolTip(i18n::text("chrome.expand"));
    orb->setStyleSheet(
        QStringLiteral("QPushButton { color: rgb(38,207,140); background: rgba(0,0,0,199);"
                       " border: 1px solid rgba(255,255,255,31); border-radius: 12px; font-size: 18px; }"));
    connect(orb, &QPushButton::clicked, this, [this] { m_callbacks.onCollapse(); });
    m_collapsed = orb;

    m_welcome = new WelcomeView(this);
    connect(m_welcome, &WelcomeView::primaryClicked, this, [this] { m_callbacks.onPrimary(); });
    connect(m_welcome, &WelcomeView::secondaryClicked, this, [this] { m_callbacks.onSecondary(); });
    connect(m_welcome, &WelcomeView::collapseClicked, this, [this] { m_callbacks.onCollapse(); });
    connect(m_welcome, &WelcomeView::positionClicked, this, [this] { m_callbacks.onCenter(); });
    connect(m_welcome, &WelcomeView::quitClicked, this, [this] { m_callbacks.onQuit(); });
    connect(m_welcome->optionsMenu(), &QMenu::aboutToShow, this, &RootView::fillWelcomeMenu);

    m_working = buildWorking();
    addWidget(m_collapsed);
    addWidget(m_welcome);
    addWidget(m_working);

    connect(&m_state, &PanelState::collapsedChanged, this, &RootView::chooseFace);
    connect(&m_state, &PanelState::showingWelcomeChanged, this, &RootView::chooseFace);
    connect(&m_state, &PanelState::readyChanged, this, &RootView::updateWelcome);
    connect(&m_state, &PanelState::noticeChanged, this, &RootView::updateWorking);
    connect(&m_state, &PanelState::elapsedChanged, this, &RootView::updateWorking);
    connect(&m_capture, &AudioCapture::transcriptionEnabledChanged, this, &RootView::updateWorking);
    connect(&m_transcript, &TranscriptBuffer::currentLineChanged, this, &RootView::updateWorking);
    connect(&m_assistant, &Assistant::cardsChanged, this, &RootView::updateWorking);
    connect(&m_assistant, &Assistant::currentChanged, this, &RootView::updateWorking);
    connect(&m_assistant, &Assistant::indexChanged, this, &RootView::updateWorking);
    updateWelcome();
    updateWorking();
    chooseFace();
}

// Rebuilt each time it opens, so the sign-in entry and the toggles show the current state.
void RootView::fillWelcomeMenu() {
    QMenu* menu = m_welcome->optionsMenu();
    menu->clear();
    if (OwnerMode::isOn())
        menu->addAction(i18n::text("menu.keys"), this, [this] { m_callbacks.onSettings(); });
    menu->addAction(i18n::text("menu.manager"), this, [this] { m_callbacks.onManager(); });
    menu->addAction(i18n::text("menu.contextFolder"), this, [] { Onboarding::openFolder(); });
    menu->addSeparator();
    menu->addAction(i18n::text(m_hasToken && m_hasToken() ? "menu.signOut" : "menu.signIn"), this,
                    [this] { m_callbacks.onAccount(); });
    QAction* login = menu->addAction(i18n::text("menu.launchAtLogin"));
    login->setCheckable(true);
    login->setChecked(LaunchAtLogin::isEnabled());
    connect(login, &QAction::toggled, this, [](bool on) { LaunchAtLogin::set(on); });
    QAction* meetings = menu->addAction(i18n::text("menu.meetingDetect"));
    meetings->setCheckable(true);
    meetings->setChecked(MeetingDetector::isEnabled());
    connect(meetings, &QAction::toggled, this, [](bool on) { MeetingDetector::setEnabled(on); });
}

RootView::Face RootView::face() const {
    if (currentWidget() == m_collapsed)
        return Face::Collapsed;
    return currentWidget() == m_welcome ? Face::Welcome : Face::Working;
}

void RootView::chooseFace() {
    if (m_state.collapsed())
        setCurrentWidget(m_collapsed);
    else if (m_state.showingWelcome())
        setCurrentWidget(m_welcome);
    else
        setCurrentWidget(m_working);
}

void RootView::updateWelcome() {
    const ReadyState ready = m_state.ready();
    QString detail;
    if (ready.kind == ReadyState::Kind::LoginFailed)
        detail = ready.message;
    else if (ready.kind == ReadyState::Kind::MissingPermissions)
        detail = ready.permissions.join(QStringLiteral(", "));
    const char* secondary = ready.secondaryActionKey();
    m_welcome->setStep(i18n::text(ready.subtitleKey()), detail, i18n::text(ready.actionKey()),
                       secondary ? i18n::text(secondary) : QString());
}

QWidget* RootView::buildWorking() {
    auto* view = new QWidget(this);
    view->setObjectName(QStringLiteral("workingView"));
    view->setStyleSheet(QStringLiteral("QLabel { color: white; }"));
    auto* layout = new QVBoxLayout(view);
    layout->setContentsMargins(14, 10, 14, 10);
    layout->setSpacing(6);

    auto* bar = new QHBoxLayout;
    m_listen = button(QString(), view, m_callbacks.onToggleListening);
    m_listen->setObjectName(QStringLiteral("listenButton"));
    bar->addWidget(m_listen);
    m_elapsed = new QLabel(view);
    m_elapsed->setObjectName(QStringLiteral("elapsedLabel"));
    bar->addWidget(m_elapsed);
    bar->addStretch();
    bar->addWidget(button(i18n::text("panel.aiAnswer"), view, [this] { m_assistant.aiAnswer(); }));
    bar->addWidget(button(i18n::text("panel.analyzeScreen"), view, [this] { m_assistant.analyzeScreen(); }));
    bar->addWidget(button(QStringLiteral("‹"), view, [this] { m_assistant.goBack(); }));
    bar->addWidget(button(QStringLiteral("›"), view, [this] { m_assistant.goForward(); }));
    bar->addWidget(button(i18n::text("panel.finish"), view, m_callbacks.onFinishSession));
    auto* collapse = button(QStringLiteral("↘"), view, m_callbacks.onCollapse);
    collapse->setToolTip(i18n::text("chrome.collapse"));
    bar->addWidget(collapse);
    auto* position = button(QStringLiteral("✥"), view, m_callbacks.onCenter);
    position->setToolTip(i18n::text("chrome.position"));
    bar->addWidget(position);
    auto* quit = button(QStringLiteral("✕"), view, m_callbacks.onQuit);
    quit->setToolTip(i18n::text("chrome.quit"));
    bar->addWidget(quit);
    layout->addLayout(bar);

    m_line = new QLabel(view);
    m_line->setObjectName(QStringLiteral("transcriptLine"));
    m_line->setStyleSheet(QStringLiteral("color: rgba(255,255,255,190);"));
    m_line->setTextFormat(Qt::PlainText);
    layout->addWidget(m_line);
    m_notice = new QLabel(view);
    m_notice->setObjectName(QStringLiteral("noticeLabel"));
    m_notice->setStyleSheet(QStringLiteral("color: rgb(255,200,120);"));
    layout->addWidget(m_notice);
    m_cardTitle = new QLabel(view);
    m_cardTitle->setStyleSheet(QStringLiteral("color: rgba(255,255,255,150);"));
    layout->addWidget(m_cardTitle);
    m_card = new QTextBrowser(view);
    m_card->setObjectName(QStringLiteral("cardText"));
    m_card->setStyleSheet(QStringLiteral("QTextBrowser { color: white; background: rgba(255,255,255,12); border: none;"
                                         " border-radius: 10px; font-size: 15px; padding: 8px; }"));
    layout->addWidget(m_card, 1);
    return view;
}

void RootView::updateWorking() {
    const bool listening = m_capture.transcriptionEnabled();
    m_listen->setText(i18n::text(listening ? "panel.listen.stop" : "panel.listen.resume"));
    m_elapsed->setText(m_state.elapsedText());
    const auto line = m_transcript.currentLine();
    m_line->setText((line.final + line.pending).trimmed());
    m_notice->setText(m_state.notice());
    m_notice->setVisible(!m_state.notice().isEmpty());
    const auto card = m_assistant.current();
    m_card->setVisible(card.has_value());
    m_cardTitle->setVisible(card.has_value());
    if (card) {
        m_cardTitle->setText(card->question);
        m_card->setMarkdown(card->text);
    }
}

} // namespace quippet
