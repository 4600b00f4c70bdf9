#pragma once

#include "audio/AudioChunk.h"
#include "audio/AudioSystem.h"
#include "audio/LevelStore.h"
#include "audio/TranscriberPort.h"

#include <QObject>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace quippet {

class Clock;
class DiagnosticsLog;
class Timer;

// Everything that listens: system audio (the client) and the microphone (the user) from the sound server, their
// levels, the two transcription clients while listening, the permissions and the output route. Main thread; the
// audio arrives on the sound system's thread, which measures it and hands it straight to the transcription clients
// (whose append copies and queues); the main thread hears of a buffer only when someone watches them.
class AudioCapture : public QObject {
    Q_OBJECT
    Q_PROPERTY(float clientLevel READ clientLevel NOTIFY clientLevelChanged)
    Q_PROPERTY(float myLevel READ myLevel NOTIFY myLevelChanged)
    Q_PROPERTY(quippet::PermissionState screenPermission READ screenPermission NOTIFY screenPermissionChanged)
    Q_PROPERTY(quippet::PermissionState micPermission READ micPermission NOTIFY micPermissionChanged)
    Q_PROPERTY(QStringList log READ log NOTIFY logChanged)
    Q_PROPERTY(QString clientDiag READ clientDiag NOTIFY clientDiagChanged)
    Q_PROPERTY(bool transcriptionEnabled READ transcriptionEnabled NOTIFY transcriptionEnabledChanged)
    Q_PROPERTY(QString language READ language NOTIFY languageChanged)
    Q_PROPERTY(bool echoCancellation READ echoCancellation NOTIFY echoCancellationChanged)
    Q_PROPERTY(quippet::OutputRoute outputRoute READ outputRoute NOTIFY outputRouteChanged)
public:
    // As long as a capture fragment: a shorter tick would only repeat a fragment's level, and each tick that moves
    // the level orb repaints a corner of the translucent panel.
    static constexpr std::chrono::milliseconds kLevelInterval = kCaptureFragment;
    static constexpr std::chrono::milliseconds kRouteInterval{2000};
    // A shown level falls by a third per tick (0.82 per 50 ms).
    static constexpr float kLevelDecay = 0.6724f;
    static_assert(kLevelInterval == std::chrono::milliseconds(100), "kLevelDecay is worked out for a 100 ms tick");
    // Above this (-40 dBFS) within a level tick, the client's channel carries sound.
    static constexpr float kSoundLevel = 0.01f;

    AudioCapture(Clock& clock, DiagnosticsLog& log, std::unique_ptr<AudioSystem> system, QObject* parent = nullptr);
    ~AudioCapture() override;

    // Makes the two transcription clients each time listening starts; without one, nothing is transcribed.
    void setTranscriberFactory(TranscriberFactory factory) { m_factory = std::move(factory); }
    const TranscriberFactory& transcriberFactory() const { return m_factory; }

    void start();
    void setTranscription(bool on);
    void setLanguage(const QString& code);
    void setEchoCancellation(bool on);
    // What the microphone's dot (and the welcome screen's button) asks for: nothing once the input works, the sound
    // settings when there is no microphone, another question to the sound server while it has not answered.
    void requestMicAccess();
    // The same for screenshots: look again and, once that was tried, open the desktop's privacy settings.
    void requestScreenAccess();
    void refreshPermissions();
    void startMic();
    void note(const QString& line);
    // A short sound (a test tone, a spoken question) on the default output; stopSound silences it.
    quint64 playSound(std::vector<float> samples, int sampleRate, AudioSystem::PlayDone done);
    void stopSound(quint64 id);

    float clientLevel() const { return m_clientLevel; }
    float myLevel() const { return m_myLevel; }
    PermissionState screenPermission() const { return m_screenPermission; }
    PermissionState micPermission() const { return m_micPermission; }
    QStringList log() const;
    // Written out when asked for: the level timer only keeps its figures.
    QString clientDiag() const;
    bool transcriptionEnabled() const { return m_transcriptionEnabled; }
    QString language() const { return m_language; }
    bool echoCancellation() const { return m_echoCancellation; }
    OutputRoute outputRoute() const { return m_outputRoute; }
    bool isTranscribing() const { return m_clientAsr != nullptr; }
    qint64 micBufferCount() const { return m_feed->micBuffers.load(); }
    // Whether the client's channel carried sound in the last level tick.
    bool clientSounding() const { return m_clientSounding; }

    // What the transcription clients recognise: channel (system audio is the client), text, final or partial.
    std::function<bool()> screenCaptureProbe;
    std::function<void()> openSoundSettings;
    std::function<void()> openScreenSettings;
    // Called on the main thread after a buffer was handed over, with the moment it was read from the sound server.
    using HandOverFn = std::function<void(AudioChannel, std::chrono::steady_clock::time_point readAt)>;
    void setOnHandOver(HandOverFn fn);
    // Every buffer as it is handed over (the microphone after echo cancellation), for measurements; main thread.
    using ChunkFn = std::function<void(AudioChannel, const AudioChunk&)>;
    void setOnChunk(ChunkFn fn);

signals:
    // A transcript line of one side: a partial one (`isFinal` false) may still change.
    void textHeard(AudioChannel channel, const QString& text, bool isFinal);
    void clientLevelChanged();
    void myLevelChanged();
    void screenPermissionChanged();
    void micPermissionChanged();
    void logChanged();
    void clientDiagChanged();
    void clientSoundingChanged();
    void transcriptionEnabledChanged();
    void languageChanged();
    void echoCancellationChanged();
    void outputRouteChanged();

private:
    void onAudio(AudioChannel channel, const AudioFormat& format, const char* data, qsizetype bytes,
                 std::chrono::steady_clock::time_point readAt);
    void watched(AudioChannel channel, const AudioChunk& chunk, std::chrono::steady_clock::time_point readAt);
    void updateWatching();
    void levelTick();
    void refreshRoute();
    void micAvailabilityChanged();
    void startTranscription();
    void stopTranscription();
    void setMicPermission(PermissionState state);
    void setScreenPermission(PermissionState state);

    Clock& m_clock;
    DiagnosticsLog& m_log;
    std::unique_ptr<AudioSystem> m_system;
    std::shared_ptr<LevelStore> m_store = std::make_shared<LevelStore>();
    TranscriberFactory m_factory;

    float m_clientLevel = 0;
    float m_myLevel = 0;
    PermissionState m_screenPermission = PermissionState::Unknown;
    PermissionState m_micPermission = PermissionState::Unknown;
    std::optional<LevelStore::Snapshot> m_clientStats; // nothing before the first level tick
    bool m_transcriptionEnabled = false;
    QString m_language = QStringLiteral("pl");
    bool m_echoCancellation = false;
    OutputRoute m_outputRoute;

    Timer* m_levelTimer = nullptr;
    Timer* m_routeTimer = nullptr;
    bool m_screenPromptAttempted = false;
    bool m_micStarted = false;
    bool m_micRequestPending = false;
    bool m_clientSounding = false;
    std::unique_ptr<TranscriberPort> m_clientAsr;
    std::unique_ptr<TranscriberPort> m_micAsr;
    HandOverFn m_onHandOver;
    ChunkFn m_onChunk;
    // What the audio thread hands buffers to. The main thread changes it under the lock before a client goes, so
    // no buffer reaches a client being destroyed.
    struct Feed {
        std::mutex lock;
        TranscriberPort* client = nullptr;
        TranscriberPort* mic = nullptr;
        std::atomic<bool> watched{false};
        std::atomic<qint64> micBuffers{0};
    };
    std::shared_ptr<Feed> m_feed = std::make_shared<Feed>();
};

} // namespace quippet

Q_DECLARE_METATYPE(quippet::OutputRoute)
