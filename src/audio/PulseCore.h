#pragma once

// Inside the PulseAudio adapter: the one connection that PulseAudioSystem and PulseSourceMonitor share. Not for
// use outside src/audio.
#include "audio/AudioSystem.h"
#include "audio/PulseAudioSystem.h"

#include <QSet>
#include <QString>

#include <pulse/pulseaudio.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quippet {

class PulseSourceMonitor;

// Everything here runs on the mainloop thread or under the mainloop lock. Its parts: the connection and what the
// server's defaults are (PulseCore.cpp), the recording streams (PulseCapture.cpp), sounds played
// (PulsePlayback.cpp) and who else records from the default input (PulseSourceMonitor.cpp).
class PulseCore {
public:
    static constexpr int kRate = 48000;
    // Each fragment wakes the sound thread and a transcriber once (and the main thread only while someone watches
    // the buffers). 100 ms: one fragment makes one message to the speech service (ElevenLabsTranscriber's
    // kMinChunkBytes is below it, so none waits for the next), which adds at most 100 ms to a partial transcript
    // against the 300 ms of quiet the service and the early answers wait for anyway; the level meter holds a
    // fragment's level for both of the ticks it covers; the echo canceller's wait for the far end (160 ms) covers
    // a whole fragment of the two streams' offset and 60 ms more.
    static constexpr pa_usec_t kFragmentUsec = pa_usec_t(kCaptureFragment.count()) * PA_USEC_PER_MSEC;
    static constexpr pa_usec_t kRetryUsec = 500 * PA_USEC_PER_MSEC;
    static inline const AudioFormat kSystemFormat{kRate, 2, AudioFormat::SampleType::Float32, true};
    static inline const AudioFormat kMicFormat{kRate, 1, AudioFormat::SampleType::Float32, true};

    PulseCore();
    ~PulseCore();

    struct Lock {
        explicit Lock(pa_threaded_mainloop* ml) : m_ml(ml) { pa_threaded_mainloop_lock(m_ml); }
        ~Lock() { pa_threaded_mainloop_unlock(m_ml); }
        pa_threaded_mainloop* m_ml;
    };
    Lock lock() { return Lock(m_mainloop); }

    void ensureConnected();
    void queryServer();
    void reconcile();
    void recountUse();

    // A sound on its way to the default output.
    struct Playback {
        PulseCore* core = nullptr;
        quint64 id = 0;
        pa_stream* stream = nullptr;
        std::vector<float> samples;
        int sampleRate = 0;
        size_t offset = 0;
        pa_operation* drain = nullptr;
    };
    void startPlayback(quint64 id, std::vector<float> samples, int sampleRate);
    void connectPlayback(Playback* playback);
    void stopPlayback(quint64 id);
    void connectWaitingPlaybacks();
    void endPlayback(Playback* playback, const std::optional<QString>& error);

    PulseAudioSystem* m_capture = nullptr;
    PulseSourceMonitor* m_monitor = nullptr;
    AudioSystem::AudioFn m_audio;
    bool m_systemWanted = false;
    bool m_micWanted = false;
    bool m_micRestart = false;
    std::unique_ptr<EchoCanceller> m_canceller;

    // Silences a stream's callbacks, ends it if it is still connected and lets go of it.
    static void releaseStream(pa_stream* s);

private:
    struct Stream {
        pa_stream* stream = nullptr;
        std::string source;
    };

    bool ready() const { return m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY; }
    void connect();
    void dropConnection();
    void scheduleRetry(pa_usec_t after);
    void openStream(AudioChannel channel, const std::string& source);
    void closeStream(Stream& s);
    void deliver(AudioChannel channel, const void* data, size_t bytes);
    // An event worth the log (a stream started, a device switched); resets what postFailure has said.
    void postNote(const QString& line);
    void postFailure(const QString& line);
    void post(const QString& line);
    void postInput(PermissionState state);
    void postRoute(const OutputRoute& route);
    void postSourceState(bool inUse);

    static void onContextState(pa_context* c, void* self);
    static void onEvent(pa_context* c, pa_subscription_event_type_t t, uint32_t index, void* self);
    static void onServerInfo(pa_context* c, const pa_server_info* info, void* self);
    static void onSinkInfo(pa_context* c, const pa_sink_info* info, int eol, void* self);
    static void onSourceInfo(pa_context* c, const pa_source_info* info, int eol, void* self);
    static void onStreamState(pa_stream* s, void* self);
    static void onRead(pa_stream* s, size_t bytes, void* self);
    static void onRetry(pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv, void* self);
    static void onPlaybackState(pa_stream* s, void* playback);
    static void onPlaybackWrite(pa_stream* s, size_t bytes, void* playback);
    static void onPlaybackDrained(pa_stream* s, int success, void* playback);

    pa_threaded_mainloop* m_mainloop;
    pa_context* m_context = nullptr;
    pa_time_event* m_retry = nullptr;
    bool m_wantConnected = false;
    bool m_everConnected = false;
    bool m_lossNoted = false;
    QString m_lastNote;
    QSet<QString> m_failuresNoted;

    std::string m_defaultSink;
    std::string m_defaultSource;
    std::string m_sinkMonitor;
    uint32_t m_defaultSourceIndex = PA_INVALID_INDEX;
    bool m_defaultSourceIsMonitor = false;
    bool m_sourceKnown = false;
    QString m_sourceDescription;
    PermissionState m_input = PermissionState::Unknown;

    Stream m_system;
    Stream m_mic;
    std::vector<std::unique_ptr<Playback>> m_playbacks;
    std::vector<char> m_gathered; // the pieces of one read wake-up
    std::vector<float> m_mono;
    std::vector<float> m_processed;
};

// A text from the server; empty for none.
inline QString paText(const char* s) {
    return s ? QString::fromUtf8(s) : QString();
}

// Why the last call on this context failed, in the server's words.
inline QString paError(pa_context* context) {
    return paText(pa_strerror(pa_context_errno(context)));
}

// What the server says about a sink, as the route depends on it (PulseOutputRoute.cpp).
OutputDeviceFacts factsOf(const pa_sink_info& sink);

} // namespace quippet
