#pragma once

#include "app/PanelState.h"
#include "app/PanelZone.h"
#include "platform/DiagnosticsLog.h"

#include <QObject>
#include <QPointer>
#include <QSize>
#include <QUrl>

#include <functional>
#include <memory>

namespace quippet {

class Assistant;
class AudioCapture;
class AudioSystem;
class Backend;
class Clock;
class HotKeyBackend;
class HotKeyCenter;
class Keychain;
class LlmClient;
class MeetingDetector;
class OverlayPanel;
class RootView;
class GeminiClient;
class ScreenGrab;
class SecretStore;
class SessionStore;
class SettingsWindowController;
class SourceMonitor;
class StatusItemController;
class Timer;
class TranscriptBuffer;
class UsageMeter;

// What differs between the real program and a test run: the adapters to the outside world.
struct AppEnvironment {
    Clock* clock = nullptr;
    SecretStore* secrets = nullptr;
    std::function<std::unique_ptr<AudioSystem>()> makeAudioSystem;
    std::function<std::unique_ptr<SourceMonitor>()> makeSourceMonitor;
    // The language model; when null the controller uses the real client.
    LlmClient* llm = nullptr;
    bool createWindows = true; // tests of the controller's logic run without panel or tray
    std::function<void()> relaunch;
    std::function<void()> quit;
    std::function<void(const QUrl&)> openUrl; // browser for sign-in; default: the desktop's
    std::function<bool()> screenCaptureProbe;  // can the screen be captured (X11: a one-pixel grab succeeds)
    std::function<void()> openSoundSettings;   // the desktop's sound settings
    // System-wide shortcuts; when unset, X11 grabs with windows and none without.
    std::function<std::unique_ptr<HotKeyBackend>()> makeHotKeyBackend;
};

// The one object the entry point creates: builds and owns every long-lived object, wires them together, decides
// the welcome step, and runs the listening session with its metering and the end-of-conversation flow.
// Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    static constexpr int kWidth = 800;
    static constexpr int kAnswerHeight = 640;
    static constexpr QSize kCollapsedSize{44, 44};
    static constexpr QSize kWelcomeSize{460, 300};
    static constexpr int kHeartbeatSeconds = 30;

    explicit AppDelegate(AppEnvironment env, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Entry points the platform calls.
    void applicationDidFinishLaunching();
    void applicationDidBecomeActive();
    void openUrls(const QList<QUrl>& urls);

    void refreshReady();
    void primaryAction();
    void secondaryAction();
    void togglePanelVisibility();
    void toggleCollapse();
    void togglePrivate();
    void registerHotKeys();
    void showZonePicker();
    QSize currentSize() const;
    void enterWorkMode();
    void beginListening();
    void stopListening();
    void finishSession();
    void startHeartbeat();
    void stopHeartbeat();
    void scheduleLimitStop();
    void hitLimit();
    void applySessionToAssistant();
    void onMeetingDetected();
    void relaunch();

    int baseHeight() const { return m_baseHeight; }
    bool launched() const { return m_launched; }
    bool heartbeatRunning() const;
    bool limitTimerRunning() const;

    DiagnosticsLog& log() { return *m_log; }
    Keychain& keychain() { return *m_keychain; }
    AudioCapture& capture() { return *m_capture; }
    PanelState& state() { return *m_state; }
    TranscriptBuffer& transcript() { return *m_transcript; }
    UsageMeter& usage() { return *m_usage; }
    Assistant* assistant() { return m_assistant.get(); }
    SessionStore& sessions();
    Backend* backend() { return m_backend.get(); }
    MeetingDetector& meetingDetector() { return *m_meetingDetector; }
    OverlayPanel* panel() { return m_panel.get(); }
    SettingsWindowController& settings() { return *m_settings; }
    HotKeyCenter* hotKeys() { return m_hotKeys.get(); }

private:
    bool hasBackendToken() const;
    void flashKey(const char* key);
    void observe();
    void resizeForCards(bool hasCards);
    void placePanel();
    std::optional<QString> currentCompany();
    std::optional<QString> currentTopic();

    AppEnvironment m_env;
    Clock& m_clock;
    std::unique_ptr<DiagnosticsLog> m_log;
    std::unique_ptr<Keychain> m_keychain;
    // Construction order follows the ownership list: capture, state, transcript, usage, ...
    std::unique_ptr<AudioCapture> m_capture;
    std::unique_ptr<PanelState> m_state;
    std::unique_ptr<TranscriptBuffer> m_transcript;
    std::unique_ptr<UsageMeter> m_usage;
    std::unique_ptr<LlmClient> m_ownLlm;
    std::unique_ptr<Assistant> m_assistant;
    std::unique_ptr<ScreenGrab> m_screenGrab;
    std::unique_ptr<RootView> m_root; // owned by the panel once it exists
    std::unique_ptr<OverlayPanel> m_panel;
    std::unique_ptr<SessionStore> m_sessions;
    std::unique_ptr<Backend> m_backend;
    std::unique_ptr<StatusItemController> m_statusItem;
    std::unique_ptr<HotKeyCenter> m_hotKeys;
    std::unique_ptr<MeetingDetector> m_meetingDetector;
    std::unique_ptr<GeminiClient> m_keyCheck; // lists the models of the stored key for the keys window
    std::unique_ptr<SettingsWindowController> m_settings;
    QPointer<Timer> m_heartbeatTimer;
    QPointer<Timer> m_limitTimer;
    QList<QMetaObject::Connection> m_cancellables;
    int m_baseHeight = 116;
    bool m_launched = false;
    bool m_hadCards = false;
};

} // namespace quippet
