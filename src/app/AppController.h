#pragma once

#include "app/AppEnvironment.h"
#include "assistant/RateGate.h"
#include "core/DiagnosticsLog.h"

#include <QObject>
#include <QUrl>

#include <memory>

namespace quippet {

class Assistant;
class AudioCapture;
class Backend;
class Commands;
class GlobalShortcuts;
class Keychain;
class Lifecycle;
class ListeningSession;
class MeetingDetector;
class PanelController;
class PanelState;
class PreflightFlow;
class Rehearsal;
class ScreenshotRoute;
class SessionStore;
class SpeechSynthesizer;
class ToolWindows;
class TranscriptBuffer;
class TrayIcon;
class UpdateChecker;
class UsageMeter;
class WelcomeFlow;

// The one object the entry point creates: it builds the long-lived objects, owns them, and connects them in wire().
// A client's question travels ElevenLabsTranscriber::transcript → AudioCapture::textHeard → TranscriptBuffer::hear
// → TranscriptBuffer::clientUtterance (or clientPartial) → Assistant::clientSaid (clientPartial) → Assistant's
// cards → AnswerPanel. Every user command is an action of Commands, triggered alike from the
// menus, the tray, the system-wide shortcuts and the command line of a second start. Main thread only.
class AppController : public QObject {
    Q_OBJECT
public:
    explicit AppController(AppEnvironment env, QObject* parent = nullptr);
    ~AppController() override;

    // Migrations, clients, flows, windows, capture, shortcuts, meeting detection, context sync; once.
    void launch();
    bool launched() const { return m_launched; }
    // Command-line and hand-off URLs; quippet://auth completes the sign-in.
    void openUrls(const QList<QUrl>& urls);
    // A command-line flag handed to the running instance ("--answer"); false when it names no command.
    bool runCommand(const QString& flag);

    void enterWorkMode();
    void meetingDetected();
    // The server route from a menu: asks for the address, then signs in there.
    void askServerSignIn();
    // Asks the update feed now and shows what it found.
    void checkForUpdates();

    DiagnosticsLog& log() { return *m_log; }
    Lifecycle& lifecycle() { return *m_lifecycle; }
    Commands& commands() { return *m_commands; }
    Keychain& keychain() { return *m_keychain; }
    AudioCapture& capture() { return *m_capture; }
    PanelState& state() { return *m_state; }
    TranscriptBuffer& transcript() { return *m_transcript; }
    UsageMeter& usage() { return *m_usage; }
    RateGate& rateGate() { return m_rateGate; }
    MeetingDetector& meetingDetector() { return *m_meetingDetector; }
    // Created at launch.
    Assistant* assistant() { return m_assistant.get(); }
    SessionStore& sessions() { return *m_sessions; }
    Backend* backend() { return m_backend.get(); }
    WelcomeFlow& welcome() { return *m_welcome; }
    ListeningSession& session() { return *m_session; }
    PanelController& panels() { return *m_panels; }
    GlobalShortcuts& shortcuts() { return *m_shortcuts; }
    ToolWindows& windows() { return *m_windows; }
    UpdateChecker* updates() { return m_updates.get(); }
    Rehearsal* rehearsal() { return m_rehearsal.get(); }
    PreflightFlow* preflight() { return m_preflight.get(); }

private:
    void buildServices();
    void buildFlows();
    void buildWindows();
    void wire();
    void wireCommands();
    void start();
    void leaveWelcome();
    void loginChanged();
    void pullContext();
    void tellUnboundShortcuts();

    AppEnvironment m_env;
    Clock& m_clock;
    // Every model request of the process goes through this one gate.
    RateGate m_rateGate;
    std::unique_ptr<DiagnosticsLog> m_log;
    std::unique_ptr<Lifecycle> m_lifecycle;
    std::unique_ptr<Commands> m_commands;
    std::unique_ptr<Keychain> m_keychain;
    std::unique_ptr<AudioCapture> m_capture;
    std::unique_ptr<PanelState> m_state;
    std::unique_ptr<TranscriptBuffer> m_transcript;
    std::unique_ptr<UsageMeter> m_usage;
    std::unique_ptr<MeetingDetector> m_meetingDetector;
    std::unique_ptr<LlmClient> m_ownLlm;
    LlmClient* m_llm = nullptr;
    std::unique_ptr<Assistant> m_assistant;
    std::unique_ptr<ScreenshotRoute> m_screenshots;
    std::unique_ptr<UpdateChecker> m_updates;
    std::unique_ptr<SessionStore> m_sessions;
    std::unique_ptr<Backend> m_backend;
    std::unique_ptr<WelcomeFlow> m_welcome;
    std::unique_ptr<ListeningSession> m_session;
    std::unique_ptr<SpeechSynthesizer> m_speech;
    std::unique_ptr<Rehearsal> m_rehearsal;
    std::unique_ptr<PreflightFlow> m_preflight;
    std::unique_ptr<ToolWindows> m_windows;
    std::unique_ptr<PanelController> m_panels;
    std::unique_ptr<TrayIcon> m_tray;
    std::unique_ptr<GlobalShortcuts> m_shortcuts;
    bool m_launched = false;
    bool m_signingIn = false; // a device sign-in waits for the browser
};

} // namespace quippet
