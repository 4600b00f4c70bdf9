#include "app/AppDelegate.h"

#include "app/DesktopIntegration.h"
#include "app/HotKeyCenter.h"
#include "app/OverlayPanel.h"
#include "app/RootView.h"
#include "assistant/Assistant.h"
#include "assistant/ContextDocuments.h"
#include "assistant/GeminiClient.h"
#include "assistant/Prompts.h"
#include "assistant/ScreenGrab.h"
#include "audio/AudioCapture.h"
#include "audio/AudioSystem.h"
#include "audio/Keychain.h"
#include "audio/MeetingDetector.h"
#include "audio/SourceMonitor.h"
#include "audio/TranscriptBuffer.h"
#include "audio/UsageMeter.h"
#include "backend/Backend.h"
#include "backend/BackendUrl.h"
#include "backend/ContextSync.h"
#include "platform/Clock.h"
#include "platform/Localization.h"
#include "platform/OwnerMode.h"
#include "platform/Settings.h"
#include "records/DataMigration.h"
#include "records/SessionStore.h"
#include "ui/KeysWindow.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QTimer>

#include <climits>
#include <cstdio>

namespace quippet {

using namespace std::chrono_literals;

AppDelegate::AppDelegate(AppEnvironment env, QObject* parent)
    : QObject(parent), m_env(std::move(env)), m_clock(*m_env.clock) {
    m_log = std::make_unique<DiagnosticsLog>(m_clock);
    m_keychain = std::make_unique<Keychain>(*m_env.secrets);
    m_capture = std::make_unique<AudioCapture>(m_clock, *m_keychain, *m_log, m_env.makeAudioSystem());
    m_capture->screenCaptureProbe = m_env.screenCaptureProbe;
    m_capture->openSoundSettings = m_env.openSoundSettings;
    m_state = std::make_unique<PanelState>(m_clock);
    m_transcript = std::make_unique<TranscriptBuffer>(m_clock);
    m_usage = std::make_unique<UsageMeter>(*m_keychain, m_clock);
    m_meetingDetector = std::make_unique<MeetingDetector>(m_env.makeSourceMonitor());
    m_meetingDetector->onMeetingDetected = [] {};
    m_meetingDetector->isCapturing = [] { return false; };
    QPointer<AppDelegate> self(this);
    m_settings = std::make_unique<SettingsWindowController>(
        *m_keychain, [self](std::function<void(KeysWindow::VerifyResult)> done) {
            if (!self)
                return;
            if (!self->m_keyCheck)
                self->m_keyCheck = std::make_unique<GeminiClient>(*self->m_keychain, self->m_clock);
            self->m_keyCheck->verify(std::move(done), self);
        });
    m_baseHeight = OwnerMode::isOn() ? 146 : 116;
}

AppDelegate::~AppDelegate() {
    // Members die before QObject's own teardown would cut our connections, and weak references to this object stay
    // valid until then: cut every path back into the controller first, then take things down front to back.
    for (const QMetaObject::Connection& c : std::as_const(m_cancellables))
        disconnect(c);
    stopHeartbeat();
    m_meetingDetector->onMeetingDetected = [] {};
    m_meetingDetector->isCapturing = [] { return false; };
    m_capture->onScreenGranted = {};
    m_transcript->onClientUtterance = {};
    m_meetingDetector.reset();
    m_hotKeys.reset();
    m_statusItem.reset();
    // The panel owns the root view, whose views reference the models below.
    m_panel.reset();
    m_root.reset();
    m_capture.reset();
    m_usage.reset();
}

SessionStore& AppDelegate::sessions() {
    if (!m_sessions)
        m_sessions = std::make_unique<SessionStore>(m_clock);
    return *m_sessions;
}

bool AppDelegate::hasBackendToken() const { return m_keychain->hasBackendToken(); }

void AppDelegate::flashKey(const char* key) { m_state->flash(i18n::text(key)); }

void AppDelegate::applicationDidFinishLaunching() {
    if (m_launched)
        return;
    // Tool windows and no main window: there is no taskbar entry to hide.
    if (!Installer::ensureInstalled())
        return;
    Updater::controller();
    i18n::logLocaleChoice();
    const NoteFn note = m_log->sink();
    DataMigration::run(note);

    LlmClient* llm = m_env.llm;
    if (!llm) {
        m_ownLlm = std::make_unique<GeminiClient>(*m_keychain, m_clock);
        llm = m_ownLlm.get();
    }
    QPointer<AudioCapture> capture(m_capture.get());
    m_assistant = std::make_unique<Assistant>(*m_transcript, *llm, m_clock, [capture](const QString& line) {
        if (capture)
            capture->note(line);
    });
    if (m_env.createWindows) {
        m_screenGrab = std::make_unique<ScreenGrab>(m_clock);
        QPointer<AppDelegate> self(this);
        m_screenGrab->hideOwnWindows = [self] {
            if (self && self->m_panel)
                self->m_panel->hide();
        };
        m_screenGrab->showOwnWindows = [self] {
            if (self && self->m_panel)
                self->m_panel->orderFrontRegardless();
        };
        m_assistant->screenGrabber = m_screenGrab->grabber();
    }

    QPointer<AppDelegate> self(this);
    m_capture->onScreenGranted = [self] {
        if (self)
            self->relaunch();
    };
    m_capture->backendBaseUrl = [] { return backendBaseUrl(); };

    m_backend = std::make_unique<Backend>(*m_keychain, m_clock, note);
    if (m_env.openUrl)
        m_backend->openUrl = m_env.openUrl;

    if (m_env.createWindows) {
        m_statusItem = std::make_unique<StatusItemController>([self] {
            if (self)
                self->togglePanelVisibility();
        });
        m_statusItem->install();
    }
    LaunchAtLogin::seedOnFirstLaunch(note);

    if (m_env.createWindows) {
        RootView::Callbacks callbacks;
        auto weak = [self](void (AppDelegate::*op)()) {
            return [self, op] {
                if (self)
                    (self.data()->*op)();
            };
        };
        callbacks.onPrimary = weak(&AppDelegate::primaryAction);
        callbacks.onSecondary = weak(&AppDelegate::secondaryAction);
        callbacks.onCollapse = weak(&AppDelegate::toggleCollapse);
        callbacks.onCenter = weak(&AppDelegate::showZonePicker);
        callbacks.onTogglePrivate = weak(&AppDelegate::togglePrivate);
        callbacks.onSettings = [self] {
            if (self)
                self->m_settings->show();
        };
        callbacks.onManager = [] {};
        callbacks.onFinishSession = weak(&AppDelegate::finishSession);
        callbacks.onToggleListening = [self] {
            if (!self)
                return;
            if (self->m_capture->transcriptionEnabled())
                self->stopListening();
            else
                self->beginListening();
        };
        callbacks.onAccount = [self] {
            if (!self)
                return;
            if (self->hasBackendToken())
                self->m_backend->signOut();
            else
                self->m_backend->startLogin();
        };
        callbacks.onQuit = [self] {
            if (self && self->m_env.quit)
                self->m_env.quit();
        };
        auto* root = new RootView(std::move(callbacks), *m_state, *m_capture, *m_transcript, *m_assistant, sessions(),
                                  *m_backend);
        root->setTokenCheck([self] { return self && self->hasBackendToken(); });
        m_panel = std::make_unique<OverlayPanel>(root);
        m_panel->setContentSize(kWelcomeSize);
        m_panel->orderFrontRegardless();
        m_panel->position(panelzone::saved());
        // An X11 panel cannot be kept out of screen captures: never show it as private.
        m_state->setPrivate(m_panel->hiddenFromCapture());
    }

    m_transcript->onClientUtterance = [self](const QString& text) {
        if (self && self->m_assistant)
            self->m_assistant->clientSaid(text);
    };
    m_capture->setTranscript(m_transcript.get());
    m_capture->start();
    m_state->stopClock();

    refreshReady();
    registerHotKeys();
    observe();
    applySessionToAssistant();

    m_meetingDetector->onMeetingDetected = [self] {
        if (self)
            self->onMeetingDetected();
    };
    m_meetingDetector->isCapturing = [self] { return self && self->m_capture->transcriptionEnabled(); };
    m_meetingDetector->start();

    if (hasBackendToken()) {
        ContextSync::pull(*m_keychain, note, this, [self] {
            if (!self)
                return;
            self->m_assistant->reloadContext();
            self->refreshReady();
        });
    }
    m_launched = true;
}

void AppDelegate::applicationDidBecomeActive() {
    if (m_launched)
        refreshReady();
}

void AppDelegate::openUrls(const QList<QUrl>& urls) {
    for (const QUrl& url : urls) {
        const QByteArray line = "[url] " + url.toString().toUtf8() + '\n';
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

void AppDelegate::refreshReady() {
    using Kind = Backend::LoginState::Kind;
    const Backend::LoginState login = m_backend ? m_backend->loginState() : Backend::LoginState::signedOut();
    if (login.kind == Kind::Failed) {
        m_state->setReady(ReadyState::loginFailed(login.message));
        return;
    }
    if (login.kind == Kind::WaitingForBrowser) {
        m_state->setReady(ReadyState::of(ReadyState::Kind::WaitingForBrowser));
        return;
    }
    // The stored token, not the published sign-in state, says whether the user counts as signed in.
    if (!hasBackendToken()) {
        m_state->setReady(ReadyState::of(ReadyState::Kind::NeedsLogin));
        return;
    }
    QStringList missing;
    if (m_capture->micPermission() != PermissionState::Granted)
        missing << i18n::text("perm.microphone");
    if (m_capture->screenPermission() != PermissionState::Granted)
        missing << i18n::text("perm.screen");
    if (!missing.isEmpty()) {
        m_state->setReady(ReadyState::missingPermissions(missing));
        return;
    }
    m_state->setReady(ReadyState::of(Onboarding::needed() ? ReadyState::Kind::SetupProfile : ReadyState::Kind::Ready));
}

void AppDelegate::primaryAction() {
    const ReadyState ready = m_state->ready();
    switch (ready.kind) {
    case ReadyState::Kind::LoginFailed:
    case ReadyState::Kind::NeedsLogin:
        m_backend->startLogin();
        break;
    case ReadyState::Kind::MissingPermissions:
        if (ready.permissions.contains(i18n::text("perm.microphone")))
            m_capture->tapMic();
        else
            m_capture->tapScreen();
        break;
    case ReadyState::Kind::WaitingForBrowser:
        m_backend->cancelLogin();
        break;
    case ReadyState::Kind::SetupProfile:
        Onboarding::createTemplates();
        m_assistant->reloadContext();
        // The profile editor window comes with its own module; until then the folder opens in the file browser.
        if (m_env.createWindows)
            Onboarding::openFolder();
        refreshReady();
        break;
    case ReadyState::Kind::Ready:
        enterWorkMode();
        break;
    }
}

void AppDelegate::secondaryAction() {
    switch (m_state->ready().kind) {
    case ReadyState::Kind::MissingPermissions:
        relaunch();
        break;
    case ReadyState::Kind::SetupProfile:
        Settings::setValue(Settings::kOnboardingSkipped, true);
        refreshReady();
        break;
    default:
        break;
    }
}

QSize AppDelegate::currentSize() const {
    if (m_state->collapsed())
        return kCollapsedSize;
    if (m_state->showingWelcome())
        return kWelcomeSize;
    return QSize(kWidth, m_assistant && m_assistant->hasCards() ? kAnswerHeight : m_baseHeight);
}

void AppDelegate::placePanel() {
    if (!m_panel)
        return;
    m_panel->setContentSize(currentSize());
    m_panel->position(panelzone::saved());
    m_panel->orderFrontRegardless();
}

void AppDelegate::togglePanelVisibility() {
    if (!m_panel)
        return;
    if (m_panel->isVisible())
        m_panel->hide();
    else
        placePanel();
}

void AppDelegate::toggleCollapse() {
    m_state->setCollapsed(!m_state->collapsed());
    if (!m_panel)
        return;
    // The top-right corner stays where it is.
    const QRect old = m_panel->geometry();
    const QSize size = currentSize();
    m_panel->setContentSize(size);
    m_panel->move(old.x() + old.width() - size.width(), old.y());
}

void AppDelegate::togglePrivate() {
    if (!m_panel)
        return;
    m_panel->setHiddenFromCapture(!m_panel->hiddenFromCapture());
    m_state->setPrivate(m_panel->hiddenFromCapture());
    flashKey(m_state->isPrivate() ? "notice.private.on" : "notice.private.off");
}

void AppDelegate::registerHotKeys() {
    if (m_hotKeys)
        return;
    std::unique_ptr<HotKeyBackend> backend;
    if (m_env.makeHotKeyBackend)
        backend = m_env.makeHotKeyBackend();
    else if (m_env.createWindows)
        backend = makeX11HotKeyBackend();
    m_hotKeys = std::make_unique<HotKeyCenter>(std::move(backend));
    QPointer<AppDelegate> self(this);
    auto weak = [self](auto action) {
        return [self, action] {
            if (self)
                action(*self);
        };
    };
    // A combination another program holds is simply not ours; the rest still register.
    using K = HotKeyCenter;
    m_hotKeys->registerHotKey(K::kKeyReturn, K::kSuper, weak([](AppDelegate& app) {
        if (app.m_assistant)
            app.m_assistant->aiAnswer();
    }));
    m_hotKeys->registerHotKey(K::kKeyReturn, K::kSuper | K::kShift, weak([](AppDelegate& app) {
        if (app.m_assistant)
            app.m_assistant->analyzeScreen();
    }));
    m_hotKeys->registerHotKey(K::kKeyH, K::kSuper | K::kAlt, weak([](AppDelegate& app) { app.toggleCollapse(); }));
    m_hotKeys->registerHotKey(K::kKeyP, K::kSuper | K::kAlt, weak([](AppDelegate& app) { app.togglePrivate(); }));
    // Brings back a panel that was hidden or pushed off screen, without taking focus from the call.
    m_hotKeys->registerHotKey(K::kKeyR, K::kSuper | K::kAlt, weak([](AppDelegate& app) { app.placePanel(); }));
}

void AppDelegate::showZonePicker() {
    if (!m_panel)
        return;
    QPointer<AppDelegate> self(this);
    m_panel->showZonePicker(panelzone::saved(), [self](PanelZone zone) {
        if (!self || !self->m_panel)
            return;
        panelzone::save(zone);
        self->m_panel->position(zone);
        self->m_panel->orderFrontRegardless();
    });
}

void AppDelegate::observe() {
    m_hadCards = m_assistant->hasCards();
    m_cancellables << connect(m_assistant.get(), &Assistant::cardsChanged, this, [this] {
        const bool has = m_assistant->hasCards();
        if (has == m_hadCards)
            return;
        m_hadCards = has;
        resizeForCards(has);
    });
    m_cancellables << connect(m_capture.get(), &AudioCapture::micPermissionChanged, this, &AppDelegate::refreshReady);
    m_cancellables << connect(m_capture.get(), &AudioCapture::screenPermissionChanged, this,
                              &AppDelegate::refreshReady);
    m_cancellables << connect(m_backend.get(), &Backend::loginStateChanged, this, &AppDelegate::refreshReady);
    m_cancellables << connect(&sessions(), &SessionStore::currentChanged, this, [this] {
        QTimer::singleShot(0, this, &AppDelegate::applySessionToAssistant);
    });
    m_cancellables << connect(m_capture.get(), &AudioCapture::transcriptionEnabledChanged, this, [this] {
        if (m_capture->transcriptionEnabled())
            m_usage->startPolling();
        else
            m_usage->stopPolling();
    });
    // A published value is delivered once on subscription.
    resizeForCards(m_hadCards);
    if (m_capture->transcriptionEnabled())
        m_usage->startPolling();
}

void AppDelegate::resizeForCards(bool hasCards) {
    if (!m_panel || m_state->collapsed() || m_state->showingWelcome())
        return;
    // Growing for the first answer card keeps the top-left corner in place.
    m_panel->setContentSize(QSize(kWidth, hasCards ? kAnswerHeight : m_baseHeight));
}

void AppDelegate::onMeetingDetected() {
    if (m_capture->transcriptionEnabled())
        return;
    placePanel();
    flashKey("notice.meetingDetected");
}

void AppDelegate::enterWorkMode() {
    m_state->setShowingWelcome(false);
    beginListening();
    placePanel();
}

std::optional<QString> AppDelegate::currentCompany() {
    const QString company = sessions().current().company;
    return company.isEmpty() ? std::nullopt : std::optional<QString>(company);
}

std::optional<QString> AppDelegate::currentTopic() {
    const QString topic = sessions().current().topic;
    return topic.isEmpty() ? std::nullopt : std::optional<QString>(topic);
}

void AppDelegate::beginListening() {
    if (!hasBackendToken()) {
        // Own keys: no metering, no time limit.
        m_capture->setTranscription(true);
        m_state->setElapsed(0);
        m_state->resume();
        return;
    }
    flashKey("session.opening");
    QPointer<AppDelegate> self(this);
    ContextSync::pull(*m_keychain, m_log->sink(), this, [self] {
        if (!self)
            return;
        self->m_assistant->reloadContext();
        self->m_backend->openSession(self->currentCompany(), self->currentTopic(),
                                     [self](std::optional<QString> error) {
                                         if (!self)
                                             return;
                                         if (error) {
                                             self->m_state->flash(*error);
                                             return;
                                         }
                                         self->m_capture->setTranscription(true);
                                         self->m_state->setElapsed(0);
                                         self->m_state->resume();
                                         self->startHeartbeat();
                                         self->scheduleLimitStop();
                                     });
    });
}

void AppDelegate::stopListening() {
    m_capture->setTranscription(false);
    m_state->stopClock();
    stopHeartbeat();
    const int seconds = int(m_state->elapsed());
    QPointer<AppDelegate> self(this);
    m_backend->closeSession(seconds, currentCompany(), currentTopic(), [self] {
        if (self)
            self->m_backend->refreshAccount();
    });
}

bool AppDelegate::heartbeatRunning() const { return m_heartbeatTimer && m_heartbeatTimer->isActive(); }
bool AppDelegate::limitTimerRunning() const { return m_limitTimer && m_limitTimer->isActive(); }

void AppDelegate::startHeartbeat() {
    stopHeartbeat();
    m_heartbeatTimer = m_clock.createTimer(this);
    QPointer<AppDelegate> self(this);
    connect(m_heartbeatTimer, &Timer::timeout, this, [self] {
        if (!self)
            return;
        self->m_backend->heartbeat(int(self->m_state->elapsed()), [self](bool exhausted) {
            if (self && exhausted)
                self->hitLimit();
        });
    });
    m_heartbeatTimer->start(std::chrono::seconds(kHeartbeatSeconds));
}

void AppDelegate::stopHeartbeat() {
    delete m_heartbeatTimer;
    delete m_limitTimer;
}

void AppDelegate::scheduleLimitStop() {
    delete m_limitTimer;
    const auto max = m_backend->sessionMaxSeconds();
    if (!max)
        return;
    const int remaining = *max - int(m_state->elapsed());
    if (remaining < 1) {
        hitLimit();
        return;
    }
    QPointer<AppDelegate> self(this);
    m_limitTimer = m_clock.singleShot(std::chrono::seconds(remaining), this, [self] {
        if (self)
            self->hitLimit();
    });
}

void AppDelegate::hitLimit() {
    if (!m_capture->transcriptionEnabled())
        return;
    stopListening();
    flashKey(m_backend->tier() == QStringLiteral("free") ? "session.freeLimit" : "session.error.noCredit");
}

void AppDelegate::finishSession() {
    if (m_transcript->isEmpty()) {
        flashKey("notice.noConversation");
        return;
    }
    stopListening();
    flashKey("notice.summarizing");
    QPointer<AppDelegate> self(this);
    m_assistant->summarize([self](const QString& summary) {
        if (!self)
            return;
        const auto result = self->sessions().finish(self->m_transcript->context(INT_MAX), summary);
        if (!result.ok) {
            // Nothing is lost: the transcript and the conversation stay for another try.
            self->flashKey("notice.saveFailed");
            return;
        }
        self->m_state->flash(
            i18n::format("notice.saved", result.path ? QFileInfo(*result.path).fileName() : QStringLiteral("—")));
        self->m_transcript->clear();
        self->sessions().startNew();
        self->applySessionToAssistant();
        self->m_state->setElapsed(0);
        self->m_state->stopClock();
    });
}

void AppDelegate::applySessionToAssistant() {
    if (!m_assistant)
        return;
    const SessionMeta& current = sessions().current();
    m_assistant->setSessionHeader(current.promptHeader());
    m_assistant->setModeRules(current.mode == ConversationMode::Evaluation ? Prompts::evaluationRules() : QString());
}

void AppDelegate::relaunch() {
    if (m_env.relaunch)
        m_env.relaunch();
}

} // namespace quippet
