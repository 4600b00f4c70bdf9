#include "ui/OverlayView.h"

#include "assistant/Assistant.h"
#include "audio/AudioCapture.h"
#include "core/DiagnosticsLog.h"
#include "core/Localization.h"
#include "core/OwnerMode.h"
#include "core/SafeUrl.h"
#include "speech/TranscriptBuffer.h"
#include "ui/AnswerPanel.h"
#include "ui/Controls.h"
#include "ui/LevelOrb.h"
#include "ui/OptionsMenu.h"
#include "ui/PanelState.h"

#include <QHBoxLayout>
#include <QStackedLayout>
#include <QVBoxLayout>

namespace quippet {

namespace {

QFont sized(QFont font, int pixels, QFont::Weight weight = QFont::Normal) {
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

StatusDot::Badge badgeFor(PermissionState state) {
    switch (state) {
    case PermissionState::Granted:
        return StatusDot::Badge::None;
    case PermissionState::Denied:
        return StatusDot::Badge::Red;
    case PermissionState::Unknown:
        return StatusDot::Badge::Orange;
    }
    return StatusDot::Badge::Orange;
}

} // namespace

OverlayView::OverlayView(PanelModels models, const PanelContext& context, QWidget* parent)
    : QWidget(parent), m_models(models), m_context(context) {
    setObjectName(QStringLiteral("workingView"));
    m_menu = new OptionsMenu(OptionsMenu::Kind::Overlay, models, context, this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(9, 9, 9, 9);
    layout->setSpacing(6);
    auto* bar = new QHBoxLayout;
    bar->setSpacing(6);
    buildToolbar(bar);
    layout->addLayout(bar);

    // Loudspeakers: either the reassurance that echo cancellation is on, or the warning that turns it on.
    m_speakerLine = new QWidget(this);
    m_speakerLine->setObjectName(QStringLiteral("speakerLine"));
    auto* speakers = new QStackedLayout(m_speakerLine);
    m_speakerNote = new GlyphLabel(Glyph::Speaker, Qt::ElideRight, m_speakerLine);
    m_speakerNote->setObjectName(QStringLiteral("speakerNote"));
    m_speakerNote->setText(i18n::text("panel.speakers.note"));
    m_speakerNote->setInk(QColor(255, 255, 255, 170));
    m_speakerNote->setFont(sized(font(), 12));
    m_speakerWarning =
        new RowButton(Glyph::Warning, i18n::text("panel.speakers.warning"), palette::kOrange, m_speakerLine);
    m_speakerWarning->setObjectName(QStringLiteral("speakerWarning"));
    m_speakerWarning->setFont(sized(font(), 12, QFont::Medium));
    m_speakerWarning->setHelp(i18n::text("panel.speakers.help"));
    speakers->addWidget(m_speakerNote);
    speakers->addWidget(m_speakerWarning);
    layout->addWidget(m_speakerLine);
    connect(m_speakerWarning, &QAbstractButton::clicked, this, &OverlayView::speakerWarningClicked);

    // The transcript strip: a notice, the way to start listening, or the newest words.
    m_strip = new QWidget(this);
    m_strip->setObjectName(QStringLiteral("transcriptStrip"));
    m_strip->setAttribute(Qt::WA_StyledBackground);
    m_strip->setStyleSheet(
        QStringLiteral("#transcriptStrip { background: rgba(255,255,255,13); border-radius: 8px; }"));
    m_stripFaces = new QStackedLayout(m_strip);
    m_stripFaces->setContentsMargins(10, 7, 10, 7);
    m_line = new GlyphLabel(std::nullopt, Qt::ElideLeft, m_strip);
    m_line->setObjectName(QStringLiteral("transcriptLine"));
    m_line->setFont(sized(font(), 13));
    m_startListening =
        new RowButton(Glyph::PlayCircle, i18n::text("panel.transcription.off"), QColor(255, 255, 255, 235), m_strip);
    m_startListening->setObjectName(QStringLiteral("startListening"));
    m_startListening->setFont(sized(font(), 13, QFont::DemiBold));
    m_stripFaces->addWidget(m_line);
    m_stripFaces->addWidget(m_startListening);
    layout->addWidget(m_strip);
    // Listening starts through the controller, like the toolbar's switch: the session is opened and metered.
    connect(m_startListening, &QAbstractButton::clicked, this, [this] { m_context.trigger("toggle-listening"); });

    m_answerPanel = new AnswerPanel(models.assistant, models.state, this);
    connect(m_answerPanel->body(), &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
        if (isSafeToOpen(url) && m_context.openUrl)
            m_context.openUrl(url);
    });
    layout->addWidget(m_answerPanel, 1);
    layout->addStretch(0);

    if (OwnerMode::isOn()) {
        for (int i = 0; i < 2; ++i) {
            auto* status = new GlyphLabel(std::nullopt, Qt::ElideRight, this);
            status->setObjectName(QStringLiteral("statusLine%1").arg(i + 1));
            status->setFont(sized(font(), 10));
            status->setInk(QColor(255, 255, 255, 140));
            layout->addWidget(status);
            m_statusLines << status;
        }
        connect(&models.capture, &AudioCapture::logChanged, this, &OverlayView::updateStatusLines);
        updateStatusLines();
    }

    AudioCapture& capture = models.capture;
    Assistant& assistant = models.assistant;
    PanelState& state = models.state;
    connect(&capture, &AudioCapture::screenPermissionChanged, this, &OverlayView::updatePermissions);
    connect(&capture, &AudioCapture::micPermissionChanged, this, &OverlayView::updatePermissions);
    connect(&capture, &AudioCapture::transcriptionEnabledChanged, this, &OverlayView::updateListening);
    connect(&capture, &AudioCapture::transcriptionEnabledChanged, this, &OverlayView::updateStrip);
    connect(&capture, &AudioCapture::outputRouteChanged, this, &OverlayView::updateSpeakers);
    connect(&capture, &AudioCapture::echoCancellationChanged, this, &OverlayView::updateSpeakers);
    connect(&state, &PanelState::elapsedChanged, this, &OverlayView::updateListening);
    connect(&state, &PanelState::noticeChanged, this, &OverlayView::updateStrip);
    connect(&models.transcript, &TranscriptBuffer::currentLineChanged, this, &OverlayView::updateStrip);
    connect(&assistant, &Assistant::busyChanged, this, &OverlayView::updateBusy);
    connect(&assistant, &Assistant::autoAnswerChanged, this, &OverlayView::updateBusy);
    connect(&assistant, &Assistant::cardsChanged, this, &OverlayView::updateAnswerVisible);
    updatePermissions();
    updateBusy();
    updateListening();
    updateSpeakers();
    updateStrip();
    updateAnswerVisible();
}

void OverlayView::buildToolbar(QHBoxLayout* bar) {
    Assistant& assistant = m_models.assistant;
    AudioCapture& capture = m_models.capture;

    m_orb = new LevelOrb(this);
    m_orb->setObjectName(QStringLiteral("levelOrb"));
    m_orb->follow(capture);
    bar->addWidget(m_orb);
    m_screenDot = new StatusDot(Glyph::Laptop, this);
    m_screenDot->setObjectName(QStringLiteral("screenDot"));
    m_micDot = new StatusDot(Glyph::Mic, this);
    m_micDot->setObjectName(QStringLiteral("micDot"));
    bar->addWidget(m_screenDot);
    bar->addWidget(m_micDot);
    connect(m_screenDot, &QAbstractButton::clicked, &capture, &AudioCapture::requestScreenAccess);
    connect(m_micDot, &QAbstractButton::clicked, &capture, &AudioCapture::requestMicAccess);

    auto* divider = new QWidget(this);
    divider->setFixedSize(1, 18);
    divider->setAttribute(Qt::WA_StyledBackground);
    divider->setStyleSheet(QStringLiteral("background: rgba(255,255,255,40);"));
    bar->addWidget(divider);

    m_answer = new PillButton(Glyph::Sparkles, QString(), this);
    m_answer->setObjectName(QStringLiteral("answerButton"));
    m_analyze = new PillButton(Glyph::Window, i18n::text("panel.analyzeScreen"), this);
    m_analyze->setObjectName(QStringLiteral("analyzeButton"));
    m_analyze->setHelp(i18n::text("panel.shortcut.analyze"));
    m_finish = new PillButton(Glyph::StopCircle, i18n::text("panel.finish"), this);
    m_finish->setObjectName(QStringLiteral("finishButton"));
    m_finish->setHelp(i18n::text("panel.finish.help"));
    bar->addWidget(m_answer);
    bar->addWidget(m_analyze);
    bar->addWidget(m_finish);
    bar->addStretch();
    connect(m_answer, &QAbstractButton::clicked, &assistant, &Assistant::aiAnswer);
    connect(m_analyze, &QAbstractButton::clicked, &assistant, &Assistant::analyzeScreen);
    connect(m_finish, &QAbstractButton::clicked, this, [this] { m_context.trigger("finish"); });

    m_listen = new PillButton(Glyph::Play, QString(), this);
    m_listen->setObjectName(QStringLiteral("listenButton"));
    m_listen->setReservedTitle(QStringLiteral("00:00"));
    bar->addWidget(m_listen);
    connect(m_listen, &QAbstractButton::clicked, this, [this] { m_context.trigger("toggle-listening"); });

    auto* options = new ChromeButton(Glyph::Ellipsis, i18n::text("chrome.options"), this);
    options->setObjectName(QStringLiteral("optionsButton"));
    connect(options, &QAbstractButton::clicked, this,
            [this, options] { m_menu->popup(options->mapToGlobal(QPoint(0, options->height() + 4))); });
    auto* collapse = new ChromeButton(Glyph::ChevronUp, i18n::text("chrome.collapse"), this);
    collapse->setObjectName(QStringLiteral("collapseButton"));
    connect(collapse, &QAbstractButton::clicked, this, [this] { m_context.trigger("collapse"); });
    bar->addWidget(options);
    bar->addWidget(collapse);
}

void OverlayView::updatePermissions() {
    const PermissionState screen = m_models.capture.screenPermission();
    const PermissionState mic = m_models.capture.micPermission();
    m_screenDot->setBadge(badgeFor(screen));
    m_screenDot->setHelp(
        i18n::text(screen == PermissionState::Granted ? "panel.screenAudio.on" : "panel.screenAudio.off"));
    m_micDot->setBadge(badgeFor(mic));
    m_micDot->setHelp(i18n::text(mic == PermissionState::Granted ? "panel.mic.on" : "panel.mic.off"));
}

void OverlayView::updateBusy() {
    const Assistant& assistant = m_models.assistant;
    const bool idle = !assistant.busy();
    m_answer->setText(i18n::text(assistant.autoAnswer() ? "panel.aiAnswer.auto" : "panel.aiAnswer"));
    m_answer->setHelp(i18n::text("panel.shortcut.answer"));
    m_answer->setEnabled(idle);
    m_analyze->setEnabled(idle);
    m_finish->setEnabled(idle);
}

void OverlayView::updateListening() {
    const bool listening = m_models.capture.transcriptionEnabled();
    m_listen->setText(m_models.state.elapsedText());
    m_listen->setGlyph(listening ? Glyph::Stop : Glyph::Play);
    const QString help = i18n::text(listening ? "panel.listen.stop" : "panel.listen.resume");
    m_listen->setToolTip(help);
    // Spoken as what pressing it does; the clock is its description.
    m_listen->setAccessibleName(help);
    m_listen->setAccessibleDescription(m_models.state.elapsedText());
}

void OverlayView::updateSpeakers() {
    const AudioCapture& capture = m_models.capture;
    const bool speakers = capture.outputRoute().kind == OutputRoute::Kind::Speakers;
    m_speakerLine->setVisible(speakers);
    if (speakers)
        static_cast<QStackedLayout*>(m_speakerLine->layout())
            ->setCurrentWidget(capture.echoCancellation() ? static_cast<QWidget*>(m_speakerNote) : m_speakerWarning);
}

void OverlayView::updateStrip() {
    const QString notice = m_models.state.notice();
    if (!notice.isEmpty()) {
        m_line->setInk(palette::kOrange);
        m_line->setText(notice);
        m_stripFaces->setCurrentWidget(m_line);
        return;
    }
    if (!m_models.capture.transcriptionEnabled()) {
        m_stripFaces->setCurrentWidget(m_startListening);
        return;
    }
    const TranscriptBuffer::CurrentLine line = m_models.transcript.currentLine();
    const QString text = (line.final + line.pending).trimmed();
    m_line->setInk(text.isEmpty() ? QColor(255, 255, 255, 140) : QColor(255, 255, 255, 230));
    m_line->setText(text.isEmpty() ? i18n::text("panel.listening") : text);
    m_stripFaces->setCurrentWidget(m_line);
}

void OverlayView::updateStatusLines() {
    const QStringList log = m_models.capture.log();
    const QStringList last = log.mid(std::max<qsizetype>(0, log.size() - 2));
    for (qsizetype i = 0; i < m_statusLines.size(); ++i)
        m_statusLines[i]->setText(i < last.size() ? last[i] : QString());
}

void OverlayView::updateAnswerVisible() {
    m_answerPanel->setVisible(m_models.assistant.hasCards());
}

void OverlayView::speakerWarningClicked() {
    // Turning echo cancellation on restarts the microphone through the canceller and stores the choice.
    m_models.capture.setEchoCancellation(true);
    m_models.state.flash(i18n::text("notice.echoOn"));
}

} // namespace quippet
