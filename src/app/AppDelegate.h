#pragma once

#include "assistant/RateGate.h"
#include "assistant/ScreenGrab.h"
#include "core/DiagnosticsLog.h"
#include "ui/QuitQuestion.h"

#include <QMap>
#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace quippet {

class Assistant;
class AudioCapture;
class AudioSystem;
class Backend;
class Clock;
class GeminiClient;
class HotKeyBackend;
class HotKeyCenter;
class KeysWindow;
class Keychain;
class ListeningSession;
class LlmClient;
class ManagerWindow;
class MeetingDetector;
class PanelController;
class PanelState;
class PortalScreenshot;
class PreflightFlow;
class ProfileWindow;
class Rehearsal;
class ScreenGrab;
class SecretStore;
class SessionStore;
class SourceMonitor;
class SpeechProbe;
class SpeechSynthesizer;
class TranscriptBuffer;
class TrayIcon;
class UpdateChecker;
class UsageMeter;
class WelcomeFlow;

// What differs between the real program and a test run: the adapters to the outside world.
struct AppEnvironment {
    Clock* clock = nullptr;
    SecretStore* secrets = nullptr;
    std::function<std::unique_ptr<AudioSystem>()> makeAudioSystem;
    std::function<std::unique_ptr<SourceMonitor>()> makeSourceMonitor;
    // The language model; when null the controller uses the real client.
    LlmClient* llm = nullptr;
    bool createWindows = true; // tests of the controller's logic run without panel or tray
    // Starts `binary` (empty: the running program) as the new instance, which takes over once this one has ended.
    // Answers why it could not start, or nothing.
    std::function<QString(const QString& binary)> relaunch;
    // Asked when the program is to end with a conversation in the transcript; unset, it is finished and saved.
    std::function<QuitChoice()> askBeforeQuit;
    // The installation offer; unset, nothing is offered. True when the user wants Quippet installed.
    std::function<bool()> askToInstall;
    std::function<void()> quit;
    std::function<void(const QUrl&)> openUrl; // browser for sign-in; default: the desktop's
    std::function<bool()> screenCaptureProbe; // can the screen be captured
    std::function<void()> openSoundSettings;  // the desktop's sound settings
    std::function<void()> openScreenSettings; // where the desktop grants screenshots
    // A Wayland session: screenshots through the desktop portal, shortcuts as command-line actions.
    bool wayland = false;
    // System-wide shortcuts; when unset, X11 grabs with windows and none without.
    std::function<std::unique_ptr<HotKeyBackend>()> makeHotKeyBackend;
    // The voice of practice conversations; when unset, the desktop's (espeak-ng, speech-dispatcher).
    std::function<std::unique_ptr<SpeechSynthesizer>()> makeSpeech;
    // Asks for a Quippet server's address (prefilled with `current`); nothing when cancelled. Unset: a dialog.
    std::function<std::optional<QString>(const QString& current)> askServerAddress;
};

// The one object the entry point creates: builds and owns every long-lived object and wires them together at
// launch. The welcome step, the listening session and the panel window each have an object of their own.
// Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(AppEnvironment env, QObject* parent = nullptr);
    ~AppDelegate() override;

    // The launch step: migrations, clients, windows, capture, shortcuts, meeting detection, context sync.
    void launch();
    // The desktop brought the program to the front: permissions may have changed meanwhile.
    void activated();
    // Command-line and hand-off URLs; quippet://auth completes the sign-in.
    void openUrls(const QList<QUrl>& urls);

    void enterWorkMode();
    void onMeetingDetected();
    void showKeysWindow();
    // The server route from a menu: asks for the address, then signs in there.
    void askServerSignIn();
    // The conversation manager and the profile window, each created on first use and kept.
    void showManagerWindow();
    void showProfileWindow();
    // The pre-call check's window, run at once.
    void showPreflight();
    // Asks the update feed now and shows what it found.
    void checkForUpdates();
    // The command-line actions a desktop's own shortcuts and the launcher's actions can start ("--answer",
    // "--analyze-screen", "--toggle-panel", "--check" for the check before a call, "--practise" to start or end a
    // practice conversation), handed to the running instance.
    static bool isCommand(const QString& argument);
    void runCommand(const QString& command);
    // Both end the program only once the conversation is saved or dropped as the user chose and a metered session
    // is closed; a relaunch that cannot start says why and keeps this one running.
    void quit();
    void relaunch(const QString& binary = {});
    // The session's shortcuts, once; a later call changes nothing.
    void registerHotKeys();
    // The keys each shortcut works with in any application, by registration (empty: it does not), once known.
    const QMap<std::uint32_t, QString>& shortcutTriggers() const { return m_shortcutTriggers; }
    // The "Shortcuts…" window: that state per shortcut and the commands to bind instead.
    void showShortcuts();

    bool launched() const { return m_launched; }

    DiagnosticsLog& log() { return *m_log; }
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
    HotKeyCenter* hotKeys() { return m_hotKeys.get(); }
    KeysWindow* keysWindow() { return m_keysWindow.get(); }
    ManagerWindow* managerWindow() { return m_managerWindow.get(); }
    ProfileWindow* profileWindow() { return m_profileWindow.get(); }
    UpdateChecker* updates() { return m_updates.get(); }
    // Created at launch.
    Rehearsal* rehearsal() { return m_rehearsal.get(); }
    PreflightFlow* preflight() { return m_preflight.get(); }

private:
    bool offerInstallation();
    ScreenGrabber portalGrabber();
    // What the desktop did with our shortcuts; when some do not work, the panel says so once, with the commands.
    void shortcutsKnown(const QMap<std::uint32_t, QString>& triggers);
    void createWindows();

    AppEnvironment m_env;
    Clock& m_clock;
    // Every model request of the process goes through this one gate.
    RateGate m_rateGate;
    std::unique_ptr<DiagnosticsLog> m_log;
    std::unique_ptr<Keychain> m_keychain;
    std::unique_ptr<AudioCapture> m_capture;
    std::unique_ptr<PanelState> m_state;
    std::unique_ptr<TranscriptBuffer> m_transcript;
    std::unique_ptr<UsageMeter> m_usage;
    std::unique_ptr<MeetingDetector> m_meetingDetector;
    std::unique_ptr<LlmClient> m_ownLlm;
    std::unique_ptr<Assistant> m_assistant;
    std::unique_ptr<ScreenGrab> m_screenGrab;
    std::unique_ptr<PortalScreenshot> m_portal;
    std::unique_ptr<UpdateChecker> m_updates;
    std::unique_ptr<SessionStore> m_sessions;
    std::unique_ptr<Backend> m_backend;
    std::unique_ptr<WelcomeFlow> m_welcome;
    std::unique_ptr<ListeningSession> m_session;
    std::unique_ptr<PanelController> m_panels;
    std::unique_ptr<TrayIcon> m_tray;
    std::unique_ptr<HotKeyCenter> m_hotKeys;
    std::unique_ptr<GeminiClient> m_keyCheck;      // lists the models of the stored key for the keys window
    std::unique_ptr<SpeechProbe> m_speechKeyCheck; // proves the stored own speech key for the keys window
    std::unique_ptr<KeysWindow> m_keysWindow;
    std::unique_ptr<ManagerWindow> m_managerWindow;
    std::unique_ptr<ProfileWindow> m_profileWindow;
    std::unique_ptr<SpeechSynthesizer> m_speech;
    std::unique_ptr<Rehearsal> m_rehearsal;
    std::unique_ptr<PreflightFlow> m_preflight;
    bool m_launched = false;
    QString m_pendingNotice; // said once the panel exists
    QMap<std::uint32_t, QString> m_shortcutTriggers;
    bool m_shortcutsTold = false;
    std::optional<bool> m_screenshotsAllowed; // by the desktop, at the last screenshot through the portal
};

} // namespace quippet
