#include "app/AppController.h"

#include "app/GlobalShortcuts.h"
#include "app/Lifecycle.h"
#include "app/ListeningSession.h"
#include "app/PanelController.h"
#include "app/PreflightFlow.h"
#include "app/Rehearsal.h"
#include "app/ScreenshotRoute.h"
#include "app/ToolWindows.h"
#include "app/WelcomeFlow.h"
#include "assistant/Assistant.h"
#include "assistant/GeminiClient.h"
#include "audio/AudioCapture.h"
#include "audio/MeetingDetector.h"
#include "backend/Backend.h"
#include "backend/ContextSync.h"
#include "backend/UpdateChecker.h"
#include "core/Localization.h"
#include "platform/Autostart.h"
#include "platform/Commands.h"
#include "platform/SpeechSynthesizer.h"
#include "records/DataMigration.h"
#include "records/SessionStore.h"
#include "secrets/BackendUrl.h"
#include "secrets/Credentials.h"
#include "secrets/Keychain.h"
#include "speech/RealtimeTranscription.h"
#include "speech/TranscriptBuffer.h"
#include "speech/UsageMeter.h"
#include "ui/OverlayPanel.h"
#include "ui/PanelState.h"
#include "ui/RootView.h"
#include "ui/TrayIcon.h"
#include "ui/UpdateDialog.h"
#include "ui/WelcomeView.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>

#include <cstdio>

namespace quippet {

AppController::AppController(AppEnvironment env, QObject* parent)
    : QObject(parent), m_env(std::move(env)), m_clock(*m_env.clock) {
    m_log = std::make_unique<DiagnosticsLog>(m_clock);
    m_lifecycle = std::make_unique<Lifecycle>(m_env, *m_log);
    m_commands = std::make_unique<Commands>();
    m_keychain = std::make_unique<Keychain>(*m_env.secrets);
    m_capture = std::make_unique<AudioCapture>(m_clock, *m_log, m_env.makeAudioSystem());
    m_capture->screenCaptureProbe = m_env.screenCaptureProbe;
    m_capture->openSoundSettings = m_env.openSoundSettings;
    m_capture->openScreenSettings = m_env.openScreenSettings;
    // Each listening period asks again whose credentials pay for the transcription: a signed-in user's backend,
    // else the user's own key.
    Keychain* keychain = m_keychain.get();
    m_capture->setTranscriberFactory(realtimeTranscriberFactory(m_clock, [keychain] {
        return std::shared_ptr<CredentialProvider>(chooseCredentialProvider(*keychain, backendBaseUrl()));
    }));
    m_state = std::make_unique<PanelState>(m_clock);
    m_transcript = std::make_unique<TranscriptBuffer>(m_clock);
    m_usage = std::make_unique<UsageMeter>(*m_keychain, m_clock);
    m_meetingDetector = std::make_unique<MeetingDetector>(m_env.makeSourceMonitor());
}

// Members go in reverse order of declaration: the windows and flows before the models they read, and every
// connection with them.
AppController::~AppController() = default;

void AppController::launch() {
    if (m_launched || !m_lifecycle->offerInstallation())
        return;
    i18n::logLocaleChoice();
    DataMigration::run(m_log->sink());
    buildServices();
    buildFlows();
    if (m_env.createWindows)
        buildWindows();
    wire();
    start();
    m_launched = true;
}

void AppController::buildServices() {
    m_updates = std::make_unique<UpdateChecker>(m_clock, QCoreApplication::applicationVersion());
    m_sessions = std::make_unique<SessionStore>(m_clock);
    m_llm = m_env.llm;
    if (!m_llm) {
        m_ownLlm = std::make_unique<GeminiClient>(*m_keychain, m_clock, m_rateGate);
        m_llm = m_ownLlm.get();
    }
    AudioCapture* capture = m_capture.get();
    m_assistant = std::make_unique<Assistant>(*m_transcript, *m_llm, m_clock,
                                              [capture](const QString& line) { capture->note(line); });
    m_assistant->setEarlyAnswers(Assistant::EarlyAnswers::fromSettings());
    if (m_env.createWindows) {
        m_screenshots = std::make_unique<ScreenshotRoute>(m_clock, *m_log, m_env.wayland);
        m_assistant->screenGrabber = m_screenshots->grabber();
    }
    m_backend = std::make_unique<Backend>(*m_keychain, m_clock, m_log->sink());
    if (m_env.openUrl)
        m_backend->openUrl = m_env.openUrl;
    m_speech = m_env.makeSpeech ? m_env.makeSpeech() : std::make_unique<DesktopSpeech>(m_clock, *m_capture);
    m_shortcuts = std::make_unique<GlobalShortcuts>(*m_commands, m_log->sink());
}

void AppController::buildFlows() {
    const NoteFn note = m_log->sink();
    m_panels = std::make_unique<PanelController>(*m_state, *m_assistant);
    m_welcome =
        std::make_unique<WelcomeFlow>(WelcomeFlow::Parts{*m_state, *m_capture, *m_keychain, *m_backend, *m_assistant});
    m_session = std::make_unique<ListeningSession>(ListeningSession::Parts{m_clock, *m_keychain, *m_capture, *m_state,
                                                                           *m_transcript, *m_usage, *m_sessions,
                                                                           *m_backend, *m_assistant, note});
    m_lifecycle->attach(*m_session, *m_state);
    m_rehearsal = std::make_unique<Rehearsal>(Rehearsal::Parts{m_clock, *m_capture, *m_transcript, *m_sessions,
                                                               *m_assistant, *m_session, *m_state, *m_speech, note});
    m_windows =
        std::make_unique<ToolWindows>(ToolWindows::Parts{m_clock, *m_keychain, m_rateGate, *m_capture, *m_sessions,
                                                         *m_assistant, m_env.openUrl, m_env.askServerAddress});
    PreflightCheck::Parts check{m_clock,    *m_log, *m_capture, *m_keychain,
                                *m_backend, *m_llm, {},         GeminiClient::modelChain()};
    ToolWindows* windows = m_windows.get();
    check.listModels = [windows](auto done) { windows->listModels(std::move(done)); };
    if (m_env.wayland) {
        ScreenshotRoute* screenshots = m_screenshots.get();
        check.screenshotsAllowed = [screenshots] { return screenshots ? screenshots->allowed() : std::nullopt; };
    }
    m_preflight = std::make_unique<PreflightFlow>(std::move(check), m_env.createWindows);
}

void AppController::buildWindows() {
    PanelContext context;
    context.commands = m_commands.get();
    Rehearsal* rehearsal = m_rehearsal.get();
    context.rehearsal = [rehearsal] {
        return RehearsalView{rehearsal->available(), rehearsal->running(), rehearsal->status()};
    };
    context.openUrl = m_env.openUrl;
    Keychain* keychain = m_keychain.get();
    context.hasBackendToken = [keychain] { return keychain->hasBackendToken(); };
    context.hasOwnKeys = [keychain] { return WelcomeFlow::hasOwnKeys(*keychain); };
    auto* root = new RootView(std::move(context), PanelModels{*m_state, *m_capture, *m_transcript, *m_assistant,
                                                              *m_usage, *m_sessions, *m_backend});
    m_panels->createWindow(root);
    m_tray = std::make_unique<TrayIcon>(*m_commands);
    m_tray->install();

    WelcomeFlow* welcome = m_welcome.get();
    connect(root->welcomeView(), &WelcomeView::primaryClicked, welcome, &WelcomeFlow::primaryAction);
    connect(root->welcomeView(), &WelcomeView::secondaryClicked, welcome, &WelcomeFlow::secondaryAction);
    connect(root->welcomeView(), &WelcomeView::serverSignInClicked, welcome, &WelcomeFlow::signInTo);
    // The panel steps aside for the moment of a screenshot.
    OverlayPanel* panel = m_panels->panel();
    connect(&m_screenshots->grab(), &ScreenGrab::hidingOwnWindows, panel, &QWidget::hide);
    connect(&m_screenshots->grab(), &ScreenGrab::showingOwnWindows, panel, &OverlayPanel::raiseWithoutFocus);
    PanelState* state = m_state.get();
    connect(&m_screenshots->grab(), &ScreenGrab::askingUser, state,
            [state] { state->flash(i18n::text("notice.screenAsking")); });
}

void AppController::wire() {
    // What is heard: both sides into the transcript; the client's questions, partial lines and voice to the
    // assistant.
    TranscriptBuffer* transcript = m_transcript.get();
    Assistant* assistant = m_assistant.get();
    connect(m_capture.get(), &AudioCapture::textHeard, transcript, &TranscriptBuffer::hear);
    connect(transcript, &TranscriptBuffer::clientUtterance, assistant, &Assistant::clientSaid);
    connect(transcript, &TranscriptBuffer::clientPartial, assistant, &Assistant::clientPartial);
    AudioCapture* capture = m_capture.get();
    connect(capture, &AudioCapture::clientSoundingChanged, assistant,
            [capture, assistant] { assistant->clientVoice(capture->clientSounding()); });

    connect(m_welcome.get(), &WelcomeFlow::workModeWanted, this, &AppController::enterWorkMode);
    connect(m_welcome.get(), &WelcomeFlow::relaunchWanted, m_lifecycle.get(), [this] { m_lifecycle->relaunch(); });
    connect(m_welcome.get(), &WelcomeFlow::profileWanted, m_windows.get(), &ToolWindows::showProfile);
    connect(m_welcome.get(), &WelcomeFlow::keysWanted, m_windows.get(), &ToolWindows::showKeys);
    connect(m_windows.get(), &ToolWindows::keysChanged, m_welcome.get(), &WelcomeFlow::keysChanged);
    connect(m_windows.get(), &ToolWindows::contextChanged, m_welcome.get(), &WelcomeFlow::refresh);
    connect(m_windows.get(), &ToolWindows::profileChanged, assistant, &Assistant::reloadContext);
    connect(m_windows.get(), &ToolWindows::profileChanged, m_welcome.get(), &WelcomeFlow::refresh);
    connect(m_rehearsal.get(), &Rehearsal::aboutToListen, this, &AppController::leaveWelcome);
    connect(m_preflight.get(), &PreflightFlow::keysWanted, m_windows.get(), &ToolWindows::showKeys);
    connect(m_preflight.get(), &PreflightFlow::signInWanted, m_backend.get(), &Backend::startLogin);
    if (m_env.openSoundSettings)
        connect(m_preflight.get(), &PreflightFlow::soundSettingsWanted, this, m_env.openSoundSettings);
    connect(m_backend.get(), &Backend::loginStateChanged, this, &AppController::loginChanged);
    connect(m_meetingDetector.get(), &MeetingDetector::meetingDetected, this, &AppController::meetingDetected);
    connect(m_shortcuts.get(), &GlobalShortcuts::someUnbound, this, &AppController::tellUnboundShortcuts);
    connect(m_updates.get(), &UpdateChecker::newerReleaseFound, this, [](const Release& release) {
        showUpdateResult({UpdateChecker::Outcome::Newer, release, {}});
    });
    wireCommands();
}

void AppController::wireCommands() {
    const auto on = [this](const char* name, auto* receiver, auto slot) {
        connect(m_commands->action(QLatin1String(name)), &QAction::triggered, receiver, slot);
    };
    on("answer", m_assistant.get(), &Assistant::aiAnswer);
    on("analyze-screen", m_assistant.get(), &Assistant::analyzeScreen);
    on("toggle-panel", m_panels.get(), &PanelController::toggleVisibility);
    on("check", m_preflight.get(), &PreflightFlow::open);
    on("practise", m_rehearsal.get(), &Rehearsal::toggle);
    on("collapse", m_panels.get(), &PanelController::toggleCollapse);
    on("place", m_panels.get(), &PanelController::place);
    on("practise-next", m_rehearsal.get(), &Rehearsal::next);
    on("toggle-listening", m_session.get(), &ListeningSession::toggle);
    on("finish", m_session.get(), &ListeningSession::finish);
    on("position", m_panels.get(), &PanelController::showZonePicker);
    on("keys", m_windows.get(), &ToolWindows::showKeys);
    on("manager", m_windows.get(), &ToolWindows::showManager);
    on("profile", m_windows.get(), &ToolWindows::showProfile);
    on("shortcuts", m_shortcuts.get(), &GlobalShortcuts::showWindow);
    on("check-updates", this, &AppController::checkForUpdates);
    on("sign-in", this, &AppController::askServerSignIn);
    on("sign-out", m_backend.get(), &Backend::signOut);
    on("quit", m_lifecycle.get(), &Lifecycle::quit);
}

void AppController::start() {
    m_capture->start();
    m_state->stopClock();
    LaunchAtLogin::seedOnFirstLaunch(m_log->sink());
    m_welcome->refresh();
    m_shortcuts->start({m_env.createWindows, m_env.wayland, m_env.makeHotKeyBackend});
    m_session->applyToAssistant();
    if (const QString notice = m_lifecycle->takeNotice(); !notice.isEmpty())
        m_state->flash(notice);
    AudioCapture* capture = m_capture.get();
    m_meetingDetector->isCapturing = [capture] { return capture->transcriptionEnabled(); };
    m_meetingDetector->start();
    // Once a day at most, and silent unless there is something new.
    if (m_env.createWindows)
        m_updates->startSchedule();
    if (m_keychain->hasBackendToken())
        pullContext();
    // Brought to the front, the welcome face looks again: permissions may have changed meanwhile.
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            m_welcome->refresh();
    });
}

// The team's documents come from the backend: at launch when signed in, and as soon as a sign-in is confirmed.
void AppController::pullContext() {
    Assistant* assistant = m_assistant.get();
    WelcomeFlow* welcome = m_welcome.get();
    ContextSync::pull(*m_keychain, m_log->sink(), welcome, [assistant, welcome] {
        assistant->reloadContext();
        welcome->refresh();
    });
}

// Away from the welcome face, a failed sign-in is said in the panel's notice line.
void AppController::loginChanged() {
    using LoginKind = Backend::LoginState::Kind;
    const Backend::LoginState login = m_backend->loginState();
    if (login.kind == LoginKind::Failed && !m_state->showingWelcome())
        m_state->flash(login.message);
    if (login.kind == LoginKind::SignedIn && m_signingIn)
        pullContext();
    m_signingIn = login.kind == LoginKind::WaitingForBrowser;
}

void AppController::tellUnboundShortcuts() {
    m_assistant->showNotice(i18n::text("shortcuts.kind"), i18n::text("shortcuts.heading"), Commands::commandLines());
    m_state->flash(i18n::text("notice.shortcutsUnbound"));
}

void AppController::openUrls(const QList<QUrl>& urls) {
    for (const QUrl& url : urls) {
        // The journal keeps standard error: the sign-in code in the query never goes there.
        const QByteArray line = "[url] " + url.toString(QUrl::RemoveQuery | QUrl::RemoveFragment).toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
        if (url.scheme() == QLatin1String("quippet") && url.host() == QLatin1String("auth") && m_backend)
            QTimer::singleShot(0, m_backend.get(), [backend = m_backend.get(), url] { backend->handleCallback(url); });
    }
}

bool AppController::runCommand(const QString& flag) {
    if (!m_launched || Commands::fromFlag(flag).isEmpty())
        return false;
    m_log->note(QStringLiteral("polecenie: ") + flag);
    return m_commands->runFlag(flag);
}

void AppController::meetingDetected() {
    if (m_capture->transcriptionEnabled())
        return;
    m_panels->place();
    m_state->flash(i18n::text("notice.meetingDetected"));
    // Before a call is the moment a check pays off; offered once per run, and only when the last one is old.
    m_preflight->offer();
}

void AppController::leaveWelcome() {
    if (!m_state->showingWelcome())
        return;
    m_state->setShowingWelcome(false);
    m_panels->place();
}

void AppController::enterWorkMode() {
    m_state->setShowingWelcome(false);
    m_session->begin();
    m_panels->place();
}

void AppController::askServerSignIn() {
    const std::optional<QString> address = m_windows->askServerAddress();
    if (!address)
        return;
    m_welcome->signInTo(*address);
    // Away from the welcome face, a refused address is said in the panel's notice line.
    const ReadyState ready = m_state->ready();
    if (!m_state->showingWelcome() && ready.kind == ReadyState::Kind::LoginFailed)
        m_state->flash(ready.message);
}

void AppController::checkForUpdates() {
    const bool windows = m_env.createWindows;
    DiagnosticsLog* log = m_log.get();
    m_updates->check([log, windows](const UpdateChecker::Result& result) {
        if (result.outcome == UpdateChecker::Outcome::Failed)
            log->note(QStringLiteral("aktualizacje: ") + result.error);
        if (windows)
            showUpdateResult(result);
    });
}

} // namespace quippet
