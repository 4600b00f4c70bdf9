#include "app/AppDelegate.h"

#include "app/ListeningSession.h"
#include "app/PanelController.h"
#include "app/PreflightFlow.h"
#include "app/Rehearsal.h"
#include "app/WelcomeFlow.h"
#include "assistant/Assistant.h"
#include "assistant/ContextDocuments.h"
#include "assistant/GeminiClient.h"
#include "assistant/ScreenGrab.h"
#include "audio/AudioCapture.h"
#include "audio/AudioSystem.h"
#include "audio/MeetingDetector.h"
#include "audio/SourceMonitor.h"
#include "backend/Backend.h"
#include "backend/ContextSync.h"
#include "backend/UpdateChecker.h"
#include "core/Clock.h"
#include "core/Localization.h"
#include "core/OwnerMode.h"
#include "core/Settings.h"
#include "platform/Autostart.h"
#include "platform/HotKeyCenter.h"
#include "platform/Installation.h"
#include "platform/PortalScreenshot.h"
#include "platform/PortalShortcuts.h"
#include "platform/SpeechSynthesizer.h"
#include "platform/X11HotKeyBackend.h"
#include "records/DataMigration.h"
#include "records/SessionStore.h"
#include "secrets/BackendUrl.h"
#include "secrets/Credentials.h"
#include "secrets/Keychain.h"
#include "speech/RealtimeTranscription.h"
#include "speech/SpeechProbe.h"
#include "speech/TranscriptBuffer.h"
#include "speech/UsageMeter.h"
#include "ui/KeysWindow.h"
#include "ui/ManagerWindow.h"
#include "ui/OverlayPanel.h"
#include "ui/PanelState.h"
#include "ui/ProfileWindow.h"
#include "ui/RootView.h"
#include "ui/ShortcutsDialog.h"
#include "ui/TrayIcon.h"
#include "ui/UpdateDialog.h"

#include <QCoreApplication>
#include <QDir>
#include <QInputDialog>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>

#include <algorithm>

#include <cstdio>

namespace quippet {

AppDelegate::AppDelegate(AppEnvironment env, QObject* parent)
    : QObject(parent), m_env(std::move(env)), m_clock(*m_env.clock) {
    m_log = std::make_unique<DiagnosticsLog>(m_clock);
    m_keychain = std::make_unique<Keychain>(*m_env.secrets);
    m_capture = std::make_unique<AudioCapture>(m_clock, *m_log, m_env.makeAudioSystem());
    m_capture->screenCaptureProbe = m_env.screenCaptureProbe;
    m_capture->openSoundSettings = m_env.openSoundSettings;
    m_capture->openScreenSettings = m_env.openScreenSettings;
    Keychain* keychain = m_keychain.get();
    // Each listening period asks again whose credentials pay for the transcription: a signed-in user's backend,
    // else the user's own key.
    m_capture->setTranscriberFactory(realtimeTranscriberFactory(m_clock, [keychain] {
        return std::shared_ptr<CredentialProvider>(chooseCredentialProvider(*keychain, backendBaseUrl()));
    }));
    m_state = std::make_unique<PanelState>(m_clock);
    m_transcript = std::make_unique<TranscriptBuffer>(m_clock);
    m_usage = std::make_unique<UsageMeter>(*m_keychain, m_clock);
    m_meetingDetector = std::make_unique<MeetingDetector>(m_env.makeSourceMonitor());
    m_meetingDetector->onMeetingDetected = [] {};
    m_meetingDetector->isCapturing = [] { return false; };
}

AppDelegate::~AppDelegate() {
    // Members die before QObject's own teardown would cut our connections, and weak references to this object stay
    // valid until then: cut every path back into the controller first, then take things down front to back.
    m_meetingDetector->onMeetingDetected = [] {};
    m_meetingDetector->isCapturing = [] { return false; };
    m_capture->onTranscript = {};
    m_transcript->onClientUtterance = {};
    // The practice conversation drives the session and speaks through the capture.
    m_rehearsal.reset();
    m_speech.reset();
    m_preflight.reset();
    m_session.reset();
    m_welcome.reset();
    m_meetingDetector.reset();
    m_hotKeys.reset();
    m_tray.reset();
    m_keysWindow.reset();
    m_speechKeyCheck.reset();
    m_managerWindow.reset();
    m_profileWindow.reset();
    // The panel owns the root view, whose views reference the models below.
    m_panels.reset();
    m_capture.reset();
    m_usage.reset();
}

void AppDelegate::launch() {
    if (m_launched)
        return;
    if (!offerInstallation())
        return;
    m_updates = std::make_unique<UpdateChecker>(m_clock, QCoreApplication::applicationVersion());
    i18n::logLocaleChoice();
    const NoteFn note = m_log->sink();
    DataMigration::run(note);
    m_sessions = std::make_unique<SessionStore>(m_clock);

    QPointer<AppDelegate> self(this);
    LlmClient* llm = m_env.llm;
    if (!llm) {
        m_ownLlm = std::make_unique<GeminiClient>(*m_keychain, m_clock, m_rateGate);
        llm = m_ownLlm.get();
    }
    QPointer<AudioCapture> capture(m_capture.get());
    m_assistant = std::make_unique<Assistant>(*m_transcript, *llm, m_clock, [capture](const QString& line) {
        if (capture)
            capture->note(line);
    });
    if (m_env.createWindows) {
        m_screenGrab = std::make_unique<ScreenGrab>(m_clock);
        m_screenGrab->hideOwnWindows = [self] {
            if (self && self->m_panels && self->m_panels->panel())
                self->m_panels->panel()->hide();
        };
        m_screenGrab->showOwnWindows = [self] {
            if (self && self->m_panels && self->m_panels->panel())
                self->m_panels->panel()->raiseWithoutFocus();
        };
        m_assistant->screenGrabber = m_env.wayland ? portalGrabber() : m_screenGrab->grabber();
    }

    m_backend = std::make_unique<Backend>(*m_keychain, m_clock, note);
    if (m_env.openUrl)
        m_backend->openUrl = m_env.openUrl;

    m_panels = std::make_unique<PanelController>(*m_state, *m_assistant);
    WelcomeFlow::Parts welcome{*m_state, *m_capture, *m_keychain, *m_backend, *m_assistant, {}, {}, {}};
    welcome.enterWorkMode = [self] {
        if (self)
            self->enterWorkMode();
    };
    welcome.relaunch = [self] {
        if (self)
            self->relaunch();
    };
    welcome.openProfile = [self] {
        if (self)
            self->showProfileWindow();
    };
    welcome.openKeys = [self] {
        if (self)
            self->showKeysWindow();
    };
    m_welcome = std::make_unique<WelcomeFlow>(std::move(welcome));
    // The team's documents come from the backend: at launch when signed in, and as soon as a sign-in is confirmed.
    const auto pullContext = [self, note] {
        if (!self)
            return;
        ContextSync::pull(*self->m_keychain, note, self, [self] {
            if (!self)
                return;
            self->m_assistant->reloadContext();
            self->m_welcome->refresh();
        });
    };
    // Away from the welcome face, a failed sign-in is said in the panel's notice line.
    auto signingIn = std::make_shared<bool>(false);
    connect(m_backend.get(), &Backend::loginStateChanged, this, [this, signingIn, pullContext] {
        using LoginKind = Backend::LoginState::Kind;
        const Backend::LoginState login = m_backend->loginState();
        if (login.kind == LoginKind::Failed && !m_state->showingWelcome())
            m_state->flash(login.message);
        if (login.kind == LoginKind::SignedIn && *signingIn)
            pullContext();
        *signingIn = login.kind == LoginKind::WaitingForBrowser;
    });

    if (m_env.createWindows) {
        m_tray = std::make_unique<TrayIcon>([self] {
            if (self)
                self->m_panels->toggleVisibility();
        });
        m_tray->install();
    }
    LaunchAtLogin::seedOnFirstLaunch(note);

    m_transcript->onClientUtterance = [self](const QString& text) {
        if (self && self->m_assistant)
            self->m_assistant->clientSaid(text);
    };
    m_capture->onTranscript = [self](AudioChannel channel, const QString& text, bool isFinal) {
        if (!self)
            return;
        const bool client = channel == AudioChannel::System;
        self->m_transcript->add(client ? Utterance::Speaker::Client : Utterance::Speaker::Me, text, isFinal);
        if (client && !isFinal)
            self->m_assistant->clientPartial(text);
    };
    // Automatic answers start as soon as the client's question is known, unless the preferences say to wait for the
    // settle.
    Assistant::EarlyAnswers early;
    early.on = Settings::boolValue(Settings::kEarlyAnswers, true);
    early.quiet = std::chrono::milliseconds(
        Settings::value(Settings::kEarlyAnswerQuietMs, qint64(early.quiet.count())).toLongLong());
    // An early card is held 800 ms from its request: a client who pauses for up to a second inside a question (300 ms
    // of quiet before the request, then this) goes on before the card shows, so no answer to half a question flashes
    // up and is replaced.
    constexpr qint64 kHoldEarlyCardMs = 800;
    early.showAfter =
        std::chrono::milliseconds(Settings::value(Settings::kEarlyAnswerShowAfterMs, kHoldEarlyCardMs).toLongLong());
    m_assistant->setEarlyAnswers(early);
    connect(m_capture.get(), &AudioCapture::clientSoundingChanged, m_assistant.get(),
            [this] { m_assistant->clientVoice(m_capture->clientSounding()); });
    m_capture->start();
    m_state->stopClock();
    m_session = std::make_unique<ListeningSession>(ListeningSession::Parts{m_clock, *m_keychain, *m_capture, *m_state,
                                                                           *m_transcript, *m_usage, *m_sessions,
                                                                           *m_backend, *m_assistant, note});
    m_speech = m_env.makeSpeech ? m_env.makeSpeech() : std::make_unique<DesktopSpeech>(m_clock, *m_capture);
    Rehearsal::Parts rehearsal{m_clock,    *m_capture, *m_transcript, *m_sessions, *m_assistant,
                               *m_session, *m_state,   *m_speech,     note,        {}};
    // Started from the welcome screen, it leaves it as the ready step's action does.
    rehearsal.beginListening = [self] {
        if (!self)
            return;
        if (self->m_state->showingWelcome())
            self->enterWorkMode();
        else
            self->m_session->begin();
    };
    m_rehearsal = std::make_unique<Rehearsal>(std::move(rehearsal));
    PreflightCheck::Parts check{m_clock,    *m_log, *m_capture, *m_keychain,
                                *m_backend, *llm,   {},         GeminiClient::modelChain()};
    check.listModels = [self](std::function<void(PreflightCheck::ModelList)> done) {
        if (!self)
            return;
        if (!self->m_keyCheck)
            self->m_keyCheck = std::make_unique<GeminiClient>(*self->m_keychain, self->m_clock, self->m_rateGate);
        self->m_keyCheck->verify(std::move(done), self);
    };
    if (m_env.wayland) {
        check.screenshotsAllowed = [self] { return self ? self->m_screenshotsAllowed : std::nullopt; };
    }
    PreflightFlow::Actions fixes;
    fixes.openSoundSettings = m_env.openSoundSettings;
    fixes.openKeys = [self] {
        if (self)
            self->showKeysWindow();
    };
    fixes.signIn = [self] {
        if (self && self->m_backend)
            self->m_backend->startLogin();
    };
    m_preflight = std::make_unique<PreflightFlow>(std::move(check), std::move(fixes), m_env.createWindows);

    if (m_env.createWindows)
        createWindows();

    m_welcome->refresh();
    registerHotKeys();
    m_session->applyToAssistant();
    if (!m_pendingNotice.isEmpty())
        m_state->flash(std::exchange(m_pendingNotice, {}));

    m_meetingDetector->onMeetingDetected = [self] {
        if (self)
            self->onMeetingDetected();
    };
    m_meetingDetector->isCapturing = [self] { return self && self->m_capture->transcriptionEnabled(); };
    m_meetingDetector->start();

    if (m_env.createWindows) {
        // Once a day at most, and silent unless there is something new.
        connect(m_updates.get(), &UpdateChecker::newerReleaseFound, this, [](const Release& release) {
            showUpdateResult({UpdateChecker::Outcome::Newer, release, {}}, QCoreApplication::applicationVersion(),
                             installation::isPackaged(QCoreApplication::applicationFilePath()));
        });
        m_updates->startSchedule();
    }

    if (m_keychain->hasBackendToken())
        pullContext();
    m_launched = true;
}

// Started from outside an installed location (a build tree, a download), the user is offered a per-user install
// once per launch; after installing, the installed copy takes over. A refusal or a failure launches in place.
bool AppDelegate::offerInstallation() {
    if (OwnerMode::isOn() || !m_env.askToInstall)
        return true;
    const QString binary = QCoreApplication::applicationFilePath();
    if (installation::isInstalledLocation(binary, QDir::homePath()) || !m_env.askToInstall())
        return true;
    const QString installed = installation::installForUser(binary, QDir::homePath(), m_log->sink());
    if (installed.isEmpty() || !m_env.relaunch)
        return true;
    const QString error = m_env.relaunch(installed);
    if (error.isEmpty()) {
        if (m_env.quit)
            m_env.quit();
        return false;
    }
    // Installed but not startable from there (a home mounted noexec): say so, and go on from here.
    m_log->note(QStringLiteral("instalacja: nie mogę uruchomić %1 — %2").arg(installed, error));
    m_pendingNotice = i18n::format("notice.relaunchFailed", error);
    return true;
}

void AppDelegate::createWindows() {
    QPointer<AppDelegate> self(this);
    // Every action reaches its object through the controller, which may be gone by the time a queued click lands.
    auto act = [self](auto action) {
        return [self, action] {
            if (self)
                action(*self);
        };
    };
    RootView::Callbacks callbacks;
    callbacks.onPrimary = act([](AppDelegate& app) { app.m_welcome->primaryAction(); });
    callbacks.onSecondary = act([](AppDelegate& app) { app.m_welcome->secondaryAction(); });
    callbacks.onCollapse = act([](AppDelegate& app) { app.m_panels->toggleCollapse(); });
    callbacks.onCenter = act([](AppDelegate& app) { app.m_panels->showZonePicker(); });
    callbacks.onTogglePrivate = act([](AppDelegate& app) { app.m_panels->togglePrivate(); });
    callbacks.onSettings = act([](AppDelegate& app) { app.showKeysWindow(); });
    callbacks.onManager = act([](AppDelegate& app) { app.showManagerWindow(); });
    callbacks.onFinishSession = act([](AppDelegate& app) { app.m_session->finish(); });
    callbacks.onToggleListening = act([](AppDelegate& app) { app.m_session->toggle(); });
    callbacks.onAccount = act([](AppDelegate& app) {
        if (app.m_keychain->hasBackendToken())
            app.m_backend->signOut();
        else
            app.askServerSignIn();
    });
    callbacks.onAskServerSignIn = act([](AppDelegate& app) { app.askServerSignIn(); });
    callbacks.onServerSignIn = [self](const QString& address) {
        if (self)
            self->m_welcome->signInTo(address);
    };
    callbacks.hasOwnKeys = [self] { return self && WelcomeFlow::hasOwnKeys(*self->m_keychain); };
    callbacks.onQuit = act([](AppDelegate& app) { app.quit(); });
    callbacks.onProfile = act([](AppDelegate& app) { app.showProfileWindow(); });
    callbacks.onCheckUpdates = act([](AppDelegate& app) { app.checkForUpdates(); });
    callbacks.onShortcuts = act([](AppDelegate& app) { app.showShortcuts(); });
    callbacks.onRehearsal = act([](AppDelegate& app) { app.m_rehearsal->toggle(); });
    callbacks.onRehearsalNext = act([](AppDelegate& app) { app.m_rehearsal->next(); });
    callbacks.rehearsal = [self] {
        if (!self)
            return RehearsalView{};
        const Rehearsal& r = *self->m_rehearsal;
        return RehearsalView{r.available(), r.running(), r.status()};
    };
    callbacks.onPreflight = act([](AppDelegate& app) { app.showPreflight(); });
    callbacks.openUrl = [self](const QUrl& url) {
        if (self && self->m_env.openUrl)
            self->m_env.openUrl(url);
    };
    auto* root = new RootView(std::move(callbacks), PanelModels{*m_state, *m_capture, *m_transcript, *m_assistant,
                                                                *m_usage, *m_sessions, *m_backend});
    root->setTokenCheck([self] { return self && self->m_keychain->hasBackendToken(); });
    m_panels->createWindow(root);
}

void AppDelegate::activated() {
    if (m_launched)
        m_welcome->refresh();
}

void AppDelegate::openUrls(const QList<QUrl>& urls) {
    for (const QUrl& url : urls) {
        // The journal keeps standard error: the sign-in code in the query never goes there.
        const QByteArray line = "[url] " + url.toString(QUrl::RemoveQuery | QUrl::RemoveFragment).toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
        if (url.scheme() == QLatin1String("quippet") && url.host() == QLatin1String("auth") && m_backend) {
            QPointer<AppDelegate> self(this);
            QTimer::singleShot(0, this, [self, url] {
                if (self && self->m_backend)
                    self->m_backend->handleCallback(url);
            });
        }
    }
}

void AppDelegate::registerHotKeys() {
    if (m_hotKeys)
        return;
    std::unique_ptr<HotKeyBackend> backend;
    bool viaPortal = false;
    bool grabsAreGlobal = true; // X11 grabs on Wayland only see keys typed into XWayland windows
    if (m_env.makeHotKeyBackend) {
        backend = m_env.makeHotKeyBackend();
    } else if (m_env.createWindows && m_env.wayland && PortalShortcuts::available()) {
        // The desktop binds the keys for us; what it really bound is known once its own list has been read.
        auto portal = std::make_unique<PortalShortcuts>();
        portal->note = m_log->sink();
        QPointer<AppDelegate> me(this);
        portal->verified = [me](const QMap<std::uint32_t, QString>& triggers) {
            if (me)
                me->shortcutsKnown(triggers);
        };
        backend = std::move(portal);
        viaPortal = true;
    } else if (m_env.createWindows) {
        backend = makeX11HotKeyBackend();
        grabsAreGlobal = !m_env.wayland;
        if (m_env.wayland) {
            m_log->note(QStringLiteral("skróty: sesja Wayland — skróty działają tylko w oknach XWayland; przypisz w "
                                       "ustawieniach klawiatury polecenia quippet --answer, quippet --analyze-screen, "
                                       "quippet --toggle-panel"));
        }
    }
    m_hotKeys = std::make_unique<HotKeyCenter>(std::move(backend));
    QPointer<AppDelegate> self(this);
    auto act = [self](auto action) {
        return [self, action] {
            if (self)
                action(*self);
        };
    };
    // A combination another program holds is simply not ours; the rest still register.
    using K = HotKeyCenter;
    m_hotKeys->registerHotKey(K::kKeyReturn, K::kSuper, act([](AppDelegate& app) { app.m_assistant->aiAnswer(); }));
    m_hotKeys->registerHotKey(K::kKeyReturn, K::kSuper | K::kShift,
                              act([](AppDelegate& app) { app.m_assistant->analyzeScreen(); }));
    m_hotKeys->registerHotKey(K::kKeyH, K::kSuper | K::kAlt,
                              act([](AppDelegate& app) { app.m_panels->toggleCollapse(); }));
    m_hotKeys->registerHotKey(K::kKeyP, K::kSuper | K::kAlt,
                              act([](AppDelegate& app) { app.m_panels->togglePrivate(); }));
    // Brings back a panel that was hidden or pushed off screen, without taking focus from the call.
    m_hotKeys->registerHotKey(K::kKeyR, K::kSuper | K::kAlt, act([](AppDelegate& app) { app.m_panels->place(); }));

    if (viaPortal || !m_hotKeys->hasBackend())
        return;
    // Grabs answer at once: a combination registered is bound, shown as the desktop's settings write it.
    const QList<std::pair<std::uint32_t, QString>> keys{{1, QStringLiteral("Super+Return")},
                                                        {2, QStringLiteral("Super+Shift+Return")},
                                                        {3, QStringLiteral("Super+Alt+H")},
                                                        {4, QStringLiteral("Super+Alt+P")},
                                                        {5, QStringLiteral("Super+Alt+R")}};
    QMap<std::uint32_t, QString> triggers;
    for (const auto& [id, text] : keys)
        triggers.insert(id, grabsAreGlobal && m_hotKeys->hasHandler(id) ? text : QString());
    shortcutsKnown(triggers);
}

void AppDelegate::shortcutsKnown(const QMap<std::uint32_t, QString>& triggers) {
    m_shortcutTriggers = triggers;
    const bool allWork = !triggers.isEmpty() &&
                         std::all_of(triggers.cbegin(), triggers.cend(), [](const QString& t) { return !t.isEmpty(); });
    if (allWork || m_shortcutsTold || !m_assistant)
        return;
    m_shortcutsTold = true;
    m_assistant->showNotice(i18n::text("shortcuts.kind"), i18n::text("shortcuts.heading"), shortcuts::commands());
    m_state->flash(i18n::text("notice.shortcutsUnbound"));
    m_log->note(QStringLiteral("skróty: w panelu podano polecenia do przypisania (quippet --answer itd.)"));
}

void AppDelegate::showShortcuts() {
    const QList<std::pair<std::uint32_t, const char*>> names{{1, "shortcuts.name.answer"},
                                                             {2, "shortcuts.name.screen"},
                                                             {3, "shortcuts.name.collapse"},
                                                             {4, "shortcuts.name.private"},
                                                             {5, "shortcuts.name.place"}};
    QList<ShortcutState> states;
    for (const auto& [id, key] : names)
        states << ShortcutState{i18n::text(key), m_shortcutTriggers.value(id)};
    quippet::showShortcuts(states);
}

// On Wayland an X11 grab sees only XWayland windows: the picture comes from the desktop portal, with the panel
// hidden for the moment of the shot as on X11. The desktop may first ask the user for permission: then the panel
// comes back after a short while and says so, and the answer is waited for within a bound.
ScreenGrabber AppDelegate::portalGrabber() {
    m_portal = std::make_unique<PortalScreenshot>();
    QPointer<AppDelegate> self(this);
    m_screenGrab->takePicture = [self](ScreenGrab::PictureAnswer answer) {
        if (!self) {
            answer({}, ScreenGrab::Failure::NoDisplay);
            return;
        }
        self->m_log->note(QStringLiteral("ekran: prośba o zrzut do portalu pulpitu"));
        self->m_portal->take([self, answer](const QImage& picture, const QString& error) {
            if (self) {
                if (!picture.isNull() || PortalScreenshot::isRefusal(error))
                    self->m_screenshotsAllowed = !picture.isNull();
                self->m_log->note(
                    picture.isNull()
                        ? QStringLiteral("ekran: ") + error
                        : QStringLiteral("ekran: zrzut z portalu %1×%2").arg(picture.width()).arg(picture.height()));
            }
            answer(picture,
                   PortalScreenshot::isRefusal(error) ? ScreenGrab::Failure::Refused : ScreenGrab::Failure::NoDisplay);
        });
    };
    m_screenGrab->onAsking = [self] {
        if (!self)
            return;
        self->m_log->note(QStringLiteral("ekran: pulpit jeszcze nie odpowiedział (pyta o zgodę?) — panel wraca"));
        self->m_state->flash(i18n::text("notice.screenAsking"));
    };
    // What the card will say about a picture that did not come (refused, no answer in time) goes to the log too.
    return [self, grab = m_screenGrab->grabber()](int maxWidth, std::function<void(const ScreenShot&)> done) {
        grab(maxWidth, [self, done](const ScreenShot& shot) {
            if (self && !shot.ok()) {
                self->m_log->note(QStringLiteral("ekran: na karcie: ") + shot.error);
                if (shot.error == ScreenGrab::description(ScreenGrab::Failure::TimedOut))
                    self->m_screenshotsAllowed = false;
            }
            done(shot);
        });
    };
}

bool AppDelegate::isCommand(const QString& argument) {
    return argument == QLatin1String("--answer") || argument == QLatin1String("--analyze-screen") ||
           argument == QLatin1String("--toggle-panel") || argument == QLatin1String("--check") ||
           argument == QLatin1String("--practise");
}

void AppDelegate::runCommand(const QString& command) {
    if (!m_launched || !isCommand(command))
        return;
    m_log->note(QStringLiteral("polecenie: ") + command);
    if (command == QLatin1String("--answer"))
        m_assistant->aiAnswer();
    else if (command == QLatin1String("--analyze-screen"))
        m_assistant->analyzeScreen();
    else if (command == QLatin1String("--check"))
        showPreflight();
    else if (command == QLatin1String("--practise"))
        m_rehearsal->toggle();
    else
        m_panels->toggleVisibility();
}

void AppDelegate::onMeetingDetected() {
    if (m_capture->transcriptionEnabled())
        return;
    m_panels->place();
    m_state->flash(i18n::text("notice.meetingDetected"));
    // Before a call is the moment a check pays off; offered once per run, and only when the last one is old.
    m_preflight->offer();
}

void AppDelegate::showPreflight() {
    if (m_preflight)
        m_preflight->open();
}

void AppDelegate::enterWorkMode() {
    m_state->setShowingWelcome(false);
    m_session->begin();
    m_panels->place();
}

void AppDelegate::showKeysWindow() {
    if (!m_keysWindow) {
        QPointer<AppDelegate> self(this);
        KeysWindow::Services services;
        services.verifyGemini = [self](auto done) {
            if (!self)
                return;
            if (!self->m_keyCheck)
                self->m_keyCheck = std::make_unique<GeminiClient>(*self->m_keychain, self->m_clock, self->m_rateGate);
            self->m_keyCheck->verify(std::move(done), self);
        };
        // The key in the keyring, whatever the sign-in: one short connection with it.
        services.verifySpeech = [self](std::function<void(SpeechVerdict)> done) {
            if (!self)
                return;
            if (!self->m_speechKeyCheck)
                self->m_speechKeyCheck = std::make_unique<SpeechProbe>(self->m_clock);
            SpeechProbe* probe = self->m_speechKeyCheck.get();
            probe->disconnect(self);
            connect(probe, &SpeechProbe::finished, self, [done](const SpeechVerdict& verdict) { done(verdict); });
            Keychain* keychain = self->m_keychain.get();
            probe->start(
                realtimeTranscriberFactory(
                    self->m_clock, [keychain] { return std::make_shared<KeychainCredentialProvider>(*keychain); }),
                self->m_capture->language(), PreflightCheck::kNetworkWait);
        };
        services.modelChain = GeminiClient::modelChain();
        services.openUrl = m_env.openUrl;
        m_keysWindow = std::make_unique<KeysWindow>(*m_keychain, std::move(services));
        // Both keys stored is a way in: the welcome face moves on.
        connect(m_keysWindow.get(), &KeysWindow::keysChanged, m_welcome.get(), &WelcomeFlow::keysChanged);
    }
    m_keysWindow->present();
}

void AppDelegate::askServerSignIn() {
    const QString current = configuredBackendUrl() ? configuredBackendUrl()->toString() : QString();
    std::optional<QString> address;
    if (m_env.askServerAddress) {
        address = m_env.askServerAddress(current);
    } else {
        bool ok = false;
        const QString typed = QInputDialog::getText(nullptr, i18n::text("server.dialog.title"),
                                                    i18n::text("server.dialog.label"), QLineEdit::Normal, current, &ok);
        if (ok)
            address = typed;
    }
    if (!address)
        return;
    m_welcome->signInTo(*address);
    // Away from the welcome face, a refused address is said in the panel's notice line.
    const ReadyState ready = m_state->ready();
    if (!m_state->showingWelcome() && ready.kind == ReadyState::Kind::LoginFailed)
        m_state->flash(ready.message);
}

void AppDelegate::showManagerWindow() {
    if (!m_managerWindow) {
        m_managerWindow = std::make_unique<ManagerWindow>(*m_sessions, *m_assistant);
        QPointer<AppDelegate> self(this);
        // An imported profile may end the welcome flow's profile step.
        connect(m_managerWindow.get(), &ManagerWindow::changed, this, [self] {
            if (self)
                self->m_welcome->refresh();
        });
    }
    m_managerWindow->present();
}

void AppDelegate::showProfileWindow() {
    if (!m_profileWindow) {
        m_profileWindow = std::make_unique<ProfileWindow>();
        QPointer<AppDelegate> self(this);
        connect(m_profileWindow.get(), &ProfileWindow::changed, this, [self] {
            if (!self)
                return;
            self->m_assistant->reloadContext();
            self->m_welcome->refresh();
        });
    }
    m_profileWindow->present();
}

void AppDelegate::checkForUpdates() {
    QPointer<AppDelegate> self(this);
    m_updates->check([self](const UpdateChecker::Result& result) {
        if (!self)
            return;
        if (result.outcome == UpdateChecker::Outcome::Failed)
            self->m_log->note(QStringLiteral("aktualizacje: ") + result.error);
        if (self->m_env.createWindows)
            showUpdateResult(result, QCoreApplication::applicationVersion(),
                             installation::isPackaged(QCoreApplication::applicationFilePath()));
    });
}

void AppDelegate::quit() {
    QPointer<AppDelegate> self(this);
    m_session->leave(m_env.askBeforeQuit, [self] {
        if (self && self->m_env.quit)
            self->m_env.quit();
    });
}

void AppDelegate::relaunch(const QString& binary) {
    if (!m_env.relaunch)
        return;
    QPointer<AppDelegate> self(this);
    auto restart = [self, binary] {
        if (!self)
            return;
        const QString error = self->m_env.relaunch(binary);
        if (error.isEmpty()) {
            if (self->m_env.quit)
                self->m_env.quit();
            return;
        }
        self->m_log->note(QStringLiteral("restart: nie mogę uruchomić %1 — %2")
                              .arg(binary.isEmpty() ? QCoreApplication::applicationFilePath() : binary, error));
        self->m_state->flash(i18n::format("notice.relaunchFailed", error));
    };
    // Before the launch has built the session (the installation offer) there is no conversation to keep.
    if (m_session)
        m_session->leave(m_env.askBeforeQuit, restart);
    else
        restart();
}

} // namespace quippet
