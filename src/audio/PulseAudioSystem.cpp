#include "audio/PulseAudioSystem.h"

#include "audio/EchoCanceller.h"
#include "audio/SourceMonitor.h"

#include <QMetaObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <pulse/pulseaudio.h>

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace quippet {

namespace {

constexpr int kRate = 48000;
// Each fragment wakes the sound thread, the main thread and a transcriber once. The speech service gets messages
// of at least 4096 bytes (43 ms) anyway: two 40 ms fragments make one message, and the echo canceller's wait for
// the far end (60 ms) still covers a fragment arriving late.
constexpr pa_usec_t kFragmentUsec = 40 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kRetryUsec = 500 * PA_USEC_PER_MSEC;

const AudioFormat kSystemFormat{kRate, 2, AudioFormat::SampleType::Float32, true};
const AudioFormat kMicFormat{kRate, 1, AudioFormat::SampleType::Float32, true};

QString text(const char* s) {
    return s ? QString::fromUtf8(s) : QString();
}

bool containsAny(const QString& haystack, std::initializer_list<const char*> needles) {
    for (const char* n : needles)
        if (haystack.contains(QLatin1String(n), Qt::CaseInsensitive))
            return true;
    return false;
}

OutputDeviceFacts factsOf(const pa_sink_info& sink) {
    OutputDeviceFacts facts;
    if (sink.active_port) {
        facts.portType = int(sink.active_port->type);
        facts.portName = text(sink.active_port->name);
    }
    facts.formFactor = text(pa_proplist_gets(sink.proplist, PA_PROP_DEVICE_FORM_FACTOR));
    facts.bus = text(pa_proplist_gets(sink.proplist, PA_PROP_DEVICE_BUS));
    facts.sinkName = text(sink.name);
    facts.description = text(sink.description);
    return facts;
}

// Silences a stream's callbacks, ends it if it is still connected and lets go of it.
void releaseStream(pa_stream* s) {
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    pa_stream_set_write_callback(s, nullptr, nullptr);
    if (pa_stream_get_state(s) == PA_STREAM_READY || pa_stream_get_state(s) == PA_STREAM_CREATING)
        pa_stream_disconnect(s);
    pa_stream_unref(s);
}

} // namespace

class PulseSourceMonitor;

// Everything below runs on the mainloop thread or under the mainloop lock.
class PulseCore {
public:
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

private:
    struct Stream {
        pa_stream* stream = nullptr;
        std::string source;
        bool everReady = false;
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
    std::vector<float> m_mono;
    std::vector<float> m_processed;
};

class PulseSourceMonitor final : public SourceMonitor {
public:
    explicit PulseSourceMonitor(std::shared_ptr<PulseCore> core) : m_core(std::move(core)) {}
    ~PulseSourceMonitor() override {
        auto l = m_core->lock();
        if (m_core->m_monitor == this)
            m_core->m_monitor = nullptr;
    }
    void start() override {
        auto l = m_core->lock();
        m_core->m_monitor = this;
        m_core->ensureConnected();
        m_core->recountUse();
    }

private:
    std::shared_ptr<PulseCore> m_core;
};

PulseCore::PulseCore() : m_mainloop(pa_threaded_mainloop_new()) {
    pa_threaded_mainloop_set_name(m_mainloop, "quippet.pulse");
    pa_threaded_mainloop_start(m_mainloop);
}

PulseCore::~PulseCore() {
    {
        auto l = lock();
        m_wantConnected = false;
        dropConnection();
        if (m_retry) {
            pa_threaded_mainloop_get_api(m_mainloop)->time_free(m_retry);
            m_retry = nullptr;
        }
    }
    pa_threaded_mainloop_stop(m_mainloop);
    pa_threaded_mainloop_free(m_mainloop);
}

void PulseCore::ensureConnected() {
    if (m_wantConnected)
        return;
    m_wantConnected = true;
    connect();
}

void PulseCore::connect() {
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Quippet");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "quippet");
    pa_proplist_sets(props, PA_PROP_APPLICATION_PROCESS_ID, std::to_string(getpid()).c_str());
    m_context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(m_mainloop), "Quippet", props);
    pa_proplist_free(props);
    if (!m_context) {
        scheduleRetry(kRetryUsec);
        return;
    }
    pa_context_set_state_callback(m_context, &PulseCore::onContextState, this);
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        dropConnection();
        if (!m_everConnected)
            postInput(PermissionState::Denied);
        scheduleRetry(kRetryUsec);
    }
}

void PulseCore::dropConnection() {
    closeStream(m_system);
    closeStream(m_mic);
    while (!m_playbacks.empty())
        endPlayback(m_playbacks.front().get(), QStringLiteral("utracono połączenie z serwerem dźwięku"));
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    m_defaultSink.clear();
    m_defaultSource.clear();
    m_sinkMonitor.clear();
    m_defaultSourceIndex = PA_INVALID_INDEX;
    m_sourceKnown = false;
}

void PulseCore::scheduleRetry(pa_usec_t after) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mainloop);
    if (m_retry)
        api->time_free(m_retry);
    timeval tv;
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, after);
    m_retry = api->time_new(api, &tv, &PulseCore::onRetry, this);
}

void PulseCore::onRetry(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    api->time_free(e);
    core->m_retry = nullptr;
    if (!core->m_wantConnected)
        return;
    if (core->ready())
        core->queryServer(); // a stream failed: look again at what the defaults are now
    else if (!core->m_context)
        core->connect();
}

void PulseCore::onContextState(pa_context* c, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY:
        core->m_everConnected = true;
        if (core->m_lossNoted) {
            core->m_lossNoted = false;
            core->postNote(QStringLiteral("audio systemowe: serwer dźwięku znowu dostępny"));
        }
        core->connectWaitingPlaybacks();
        pa_context_set_subscribe_callback(c, &PulseCore::onEvent, core);
        if (pa_operation* op = pa_context_subscribe(
                c,
                pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK |
                                       PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT),
                nullptr, nullptr))
            pa_operation_unref(op);
        core->queryServer();
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        if (core->m_everConnected && !core->m_lossNoted) {
            core->m_lossNoted = true;
            core->postNote(QStringLiteral("audio systemowe: utracono połączenie z serwerem dźwięku — ponawiam"));
        } else if (!core->m_everConnected) {
            core->postInput(PermissionState::Denied);
        }
        core->dropConnection();
        core->postSourceState(false);
        if (core->m_wantConnected)
            core->scheduleRetry(kRetryUsec);
        break;
    default:
        break;
    }
}

void PulseCore::onEvent(pa_context*, pa_subscription_event_type_t t, uint32_t, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    switch (t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
    case PA_SUBSCRIPTION_EVENT_SERVER:
    case PA_SUBSCRIPTION_EVENT_SINK: // ports switch (headphones plugged in), devices come and go
        core->queryServer();
        break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
        if ((t & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE)
            core->queryServer();
        break;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
        core->recountUse();
        break;
    default:
        break;
    }
}

void PulseCore::queryServer() {
    if (!ready())
        return;
    if (pa_operation* op = pa_context_get_server_info(m_context, &PulseCore::onServerInfo, this))
        pa_operation_unref(op);
}

void PulseCore::onServerInfo(pa_context* c, const pa_server_info* info, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    if (!info)
        return;
    core->m_defaultSink = info->default_sink_name ? info->default_sink_name : "";
    const std::string source = info->default_source_name ? info->default_source_name : "";
    if (source != core->m_defaultSource) {
        // Until its details arrive, what is known about the old default must not be reported under the new name.
        core->m_sourceKnown = false;
        core->m_defaultSourceIndex = PA_INVALID_INDEX;
        core->m_defaultSource = source;
    }
    if (core->m_defaultSink.empty()) {
        core->m_sinkMonitor.clear();
        OutputRoute none;
        none.description = QStringLiteral("brak urządzenia");
        core->postRoute(none);
    } else if (pa_operation* op =
                   pa_context_get_sink_info_by_name(c, core->m_defaultSink.c_str(), &PulseCore::onSinkInfo, core)) {
        pa_operation_unref(op);
    }
    if (core->m_defaultSource.empty()) {
        core->m_sourceKnown = false;
        core->postInput(PermissionState::Denied);
        core->reconcile();
        core->recountUse();
    } else if (pa_operation* op = pa_context_get_source_info_by_name(c, core->m_defaultSource.c_str(),
                                                                     &PulseCore::onSourceInfo, core)) {
        pa_operation_unref(op);
    }
}

void PulseCore::onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    if (eol < 0) { // the default sink vanished between the two answers
        core->m_sinkMonitor.clear();
        core->reconcile();
        return;
    }
    if (info) {
        core->m_sinkMonitor = info->monitor_source_name ? info->monitor_source_name : "";
        core->postRoute(classifyOutput(factsOf(*info)));
        return;
    }
    core->reconcile();
}

void PulseCore::onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    if (eol < 0) {
        core->m_sourceKnown = false;
        core->postInput(PermissionState::Denied);
        core->reconcile();
        core->recountUse();
        return;
    }
    if (info) {
        core->m_sourceKnown = true;
        core->m_defaultSourceIndex = info->index;
        core->m_defaultSourceIsMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
        core->m_sourceDescription = text(info->description);
        return;
    }
    // A monitor of an output is not a microphone: recording it as the user would transcribe the client twice.
    core->postInput(core->m_sourceKnown && !core->m_defaultSourceIsMonitor ? PermissionState::Granted
                                                                           : PermissionState::Denied);
    core->reconcile();
    core->recountUse();
}

void PulseCore::reconcile() {
    if (!ready())
        return;
    const std::string wantedSystem = m_systemWanted ? m_sinkMonitor : "";
    if (m_system.stream && m_system.source != wantedSystem) {
        closeStream(m_system);
        if (!wantedSystem.empty())
            postNote(QStringLiteral("audio systemowe: przełączam na ") + QString::fromStdString(wantedSystem));
    }
    if (!m_system.stream && !wantedSystem.empty())
        openStream(AudioChannel::System, wantedSystem);

    const std::string wantedMic = m_micWanted && m_input == PermissionState::Granted ? m_defaultSource : "";
    if (m_mic.stream && (m_mic.source != wantedMic || m_micRestart))
        closeStream(m_mic);
    if (!m_mic.stream && !wantedMic.empty()) {
        m_micRestart = false;
        openStream(AudioChannel::Mic, wantedMic);
    }
}

void PulseCore::openStream(AudioChannel channel, const std::string& source) {
    const bool system = channel == AudioChannel::System;
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, kRate, uint8_t(system ? 2 : 1)};
    pa_stream* s =
        pa_stream_new(m_context, system ? "Quippet: dźwięk systemowy" : "Quippet: mikrofon", &sampleFormat, nullptr);
    if (!s) {
        postFailure((system ? QStringLiteral("audio systemowe: ") : QStringLiteral("mikrofon: ")) +
                    text(pa_strerror(pa_context_errno(m_context))));
        return;
    }
    pa_stream_set_state_callback(s, &PulseCore::onStreamState, this);
    pa_stream_set_read_callback(s, &PulseCore::onRead, this);
    // Left at -1 the fragment is two seconds long.
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.fragsize = uint32_t(pa_usec_to_bytes(kFragmentUsec, &sampleFormat));
    // We follow default-device changes ourselves; the server must not move the stream behind our back.
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(s, source.c_str(), &attr, flags) < 0) {
        postFailure((system ? QStringLiteral("audio systemowe: ") : QStringLiteral("mikrofon: ")) +
                    text(pa_strerror(pa_context_errno(m_context))));
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_set_read_callback(s, nullptr, nullptr);
        pa_stream_unref(s);
        scheduleRetry(kRetryUsec);
        return;
    }
    Stream& slot = system ? m_system : m_mic;
    slot.stream = s;
    slot.source = source;
    slot.everReady = false;
}

void PulseCore::closeStream(Stream& slot) {
    if (!slot.stream)
        return;
    releaseStream(slot.stream);
    slot.stream = nullptr;
    slot.source.clear();
}

void PulseCore::onStreamState(pa_stream* s, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    const bool system = s == core->m_system.stream;
    Stream& slot = system ? core->m_system : core->m_mic;
    if (slot.stream != s)
        return;
    switch (pa_stream_get_state(s)) {
    case PA_STREAM_READY:
        slot.everReady = true;
        if (system) {
            core->postNote(QStringLiteral("audio systemowe: wystartowało"));
        } else {
            core->postNote(QStringLiteral("mikrofon: %1Hz %2ch").arg(kMicFormat.sampleRate).arg(kMicFormat.channels));
            core->postNote(QStringLiteral("mikrofon: wystartował, źródło=") + core->m_sourceDescription);
        }
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED: {
        // The device went away or the server refused; the next look at the defaults decides what to open.
        const QString why = text(pa_strerror(pa_context_errno(core->m_context)));
        core->postFailure((system ? QStringLiteral("audio systemowe: ") : QStringLiteral("mikrofon: ")) + why);
        core->closeStream(slot);
        core->scheduleRetry(kRetryUsec);
        break;
    }
    default:
        break;
    }
}

// Peek, drop holes, hand over, drop: no allocation beyond the scratch buffers, no Qt objects, no logging.
void PulseCore::onRead(pa_stream* s, size_t, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    const AudioChannel channel = s == core->m_system.stream ? AudioChannel::System : AudioChannel::Mic;
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0)
            break;
        if (data)
            core->deliver(channel, data, bytes);
        pa_stream_drop(s);
    }
}

void PulseCore::deliver(AudioChannel channel, const void* data, size_t bytes) {
    const auto readAt = std::chrono::steady_clock::now();
    const auto* samples = static_cast<const float*>(data);
    if (channel == AudioChannel::System) {
        if (m_audio)
            m_audio(channel, kSystemFormat, static_cast<const char*>(data), qsizetype(bytes), readAt);
        if (m_canceller && m_mic.stream) {
            downmixToMono(samples, qsizetype(bytes / 8), 2, m_mono);
            m_canceller->addFar(m_mono.data(), qsizetype(m_mono.size()));
            // Microphone frames that were waiting for this far end can go now.
            m_processed.clear();
            m_canceller->takeProcessed(m_processed);
            if (!m_processed.empty() && m_audio)
                m_audio(AudioChannel::Mic, kMicFormat, reinterpret_cast<const char*>(m_processed.data()),
                        qsizetype(m_processed.size() * 4), readAt);
        }
        return;
    }
    if (m_canceller) {
        m_processed.clear();
        m_canceller->processNear(samples, qsizetype(bytes / 4), m_processed);
        if (!m_processed.empty() && m_audio)
            m_audio(channel, kMicFormat, reinterpret_cast<const char*>(m_processed.data()),
                    qsizetype(m_processed.size() * 4), readAt);
        return;
    }
    if (m_audio)
        m_audio(channel, kMicFormat, static_cast<const char*>(data), qsizetype(bytes), readAt);
}

void PulseCore::startPlayback(quint64 id, std::vector<float> samples, int sampleRate) {
    auto playback = std::make_unique<Playback>();
    playback->core = this;
    playback->id = id;
    playback->samples = std::move(samples);
    playback->sampleRate = sampleRate;
    m_playbacks.push_back(std::move(playback));
    // While the connection is still coming up the sound waits for it (onContextState).
    if (ready())
        connectPlayback(m_playbacks.back().get());
}

void PulseCore::connectPlayback(Playback* p) {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, uint32_t(p->sampleRate), 1};
    pa_stream* s = pa_stream_new(m_context, "Quippet: dźwięk", &format, nullptr);
    p->stream = s;
    if (!s) {
        endPlayback(p, text(pa_strerror(pa_context_errno(m_context))));
        return;
    }
    pa_stream_set_state_callback(s, &PulseCore::onPlaybackState, p);
    pa_stream_set_write_callback(s, &PulseCore::onPlaybackWrite, p);
    if (pa_stream_connect_playback(s, nullptr, nullptr, pa_stream_flags_t(0), nullptr, nullptr) < 0)
        endPlayback(p, text(pa_strerror(pa_context_errno(m_context))));
}

// Sounds asked for while the connection came up. Connecting one may end it (and take it off the list).
void PulseCore::connectWaitingPlaybacks() {
    std::vector<Playback*> waiting;
    for (const auto& p : m_playbacks)
        if (!p->stream)
            waiting.push_back(p.get());
    for (Playback* p : waiting)
        connectPlayback(p);
}

void PulseCore::stopPlayback(quint64 id) {
    for (const auto& p : m_playbacks) {
        if (p->id == id) {
            endPlayback(p.get(), QStringLiteral("zatrzymano"));
            return;
        }
    }
}

void PulseCore::endPlayback(Playback* playback, const std::optional<QString>& error) {
    const auto it =
        std::find_if(m_playbacks.begin(), m_playbacks.end(), [playback](const auto& p) { return p.get() == playback; });
    if (it == m_playbacks.end())
        return;
    if (playback->drain) {
        // Its callback would reach a freed playback.
        pa_operation_cancel(playback->drain);
        pa_operation_unref(playback->drain);
        playback->drain = nullptr;
    }
    if (playback->stream)
        releaseStream(playback->stream);
    const quint64 id = playback->id;
    m_playbacks.erase(it);
    if (auto* capture = m_capture)
        QMetaObject::invokeMethod(
            capture, [capture, id, error] { capture->playbackEnded(id, error); }, Qt::QueuedConnection);
}

void PulseCore::onPlaybackState(pa_stream* s, void* playback) {
    auto* p = static_cast<Playback*>(playback);
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
        p->core->endPlayback(p, text(pa_strerror(pa_context_errno(pa_stream_get_context(s)))));
}

// Writes what the server asks for; once everything is written, waits for it to be played out.
void PulseCore::onPlaybackWrite(pa_stream* s, size_t bytes, void* playback) {
    auto* p = static_cast<Playback*>(playback);
    const size_t left = (p->samples.size() - p->offset) * sizeof(float);
    const size_t n = std::min(bytes / sizeof(float) * sizeof(float), left);
    if (n > 0) {
        if (pa_stream_write(s, p->samples.data() + p->offset, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            p->core->endPlayback(p, text(pa_strerror(pa_context_errno(pa_stream_get_context(s)))));
            return;
        }
        p->offset += n / sizeof(float);
    }
    if (p->offset >= p->samples.size() && !p->drain) {
        pa_stream_set_write_callback(s, nullptr, nullptr);
        p->drain = pa_stream_drain(s, &PulseCore::onPlaybackDrained, p);
        if (!p->drain)
            p->core->endPlayback(p, text(pa_strerror(pa_context_errno(pa_stream_get_context(s)))));
    }
}

void PulseCore::onPlaybackDrained(pa_stream* s, int success, void* playback) {
    auto* p = static_cast<Playback*>(playback);
    if (p->drain) {
        pa_operation_unref(p->drain);
        p->drain = nullptr;
    }
    if (success)
        p->core->endPlayback(p, std::nullopt);
    else
        p->core->endPlayback(p, text(pa_strerror(pa_context_errno(pa_stream_get_context(s)))));
}

namespace {
struct UseCount {
    PulseCore* core;
    uint32_t source;
    uint32_t ownClient;
    bool inUse = false;
};
} // namespace

void PulseCore::recountUse() {
    if (!m_monitor)
        return;
    if (!ready() || !m_sourceKnown || m_defaultSourceIsMonitor) {
        postSourceState(false);
        return;
    }
    auto* count = new UseCount{this, m_defaultSourceIndex, pa_context_get_index(m_context)};
    auto cb = [](pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
        auto* count = static_cast<UseCount*>(userdata);
        if (info && eol == 0) {
            const QString pid = text(pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID));
            const bool own = info->client == count->ownClient || pid == QString::number(getpid());
            // Module streams (loopbacks, remaps) have no client; corked streams are not recording. (Every client
            // stream has an owner module too: the protocol module it came through.)
            if (info->source == count->source && !info->corked && info->client != PA_INVALID_INDEX && !own)
                count->inUse = true;
            return;
        }
        if (count->source == count->core->m_defaultSourceIndex)
            count->core->postSourceState(count->inUse);
        delete count;
    };
    if (pa_operation* op = pa_context_get_source_output_info_list(m_context, cb, count))
        pa_operation_unref(op);
    else
        delete count;
}

void PulseCore::postFailure(const QString& line) {
    // A device that keeps refusing is retried every half second, and two failures may take turns: each is said
    // once until something works again.
    if (m_failuresNoted.contains(line))
        return;
    m_failuresNoted.insert(line);
    post(line);
}

void PulseCore::postNote(const QString& line) {
    m_failuresNoted.clear();
    if (line == m_lastNote)
        return;
    post(line);
}

void PulseCore::post(const QString& line) {
    m_lastNote = line;
    if (auto* capture = m_capture)
        QMetaObject::invokeMethod(
            capture, [capture, line] { emit capture->noted(line); }, Qt::QueuedConnection);
}

void PulseCore::postInput(PermissionState state) {
    m_input = state;
    if (auto* capture = m_capture)
        QMetaObject::invokeMethod(
            capture, [capture, state] { capture->setInput(state); }, Qt::QueuedConnection);
}

void PulseCore::postRoute(const OutputRoute& route) {
    if (auto* capture = m_capture)
        QMetaObject::invokeMethod(
            capture, [capture, route] { capture->setRoute(route); }, Qt::QueuedConnection);
}

void PulseCore::postSourceState(bool inUse) {
    if (auto* monitor = m_monitor) {
        const QString source = m_sourceKnown ? QString::fromStdString(m_defaultSource) : QString();
        QMetaObject::invokeMethod(
            monitor, [monitor, source, inUse] { emit monitor->sourceState(source, inUse); }, Qt::QueuedConnection);
    }
}

OutputRoute classifyOutput(const OutputDeviceFacts& facts) {
    OutputRoute route;
    route.deviceName = facts.description;
    auto as = [&](OutputRoute::Kind kind) {
        route.kind = kind;
        route.description.clear();
        return route;
    };
    switch (facts.portType) {
    case PA_DEVICE_PORT_TYPE_HEADPHONES:
    case PA_DEVICE_PORT_TYPE_HEADSET:
    case PA_DEVICE_PORT_TYPE_HANDSET:
    case PA_DEVICE_PORT_TYPE_EARPIECE:
    case PA_DEVICE_PORT_TYPE_BLUETOOTH:
    case PA_DEVICE_PORT_TYPE_USB:
    case PA_DEVICE_PORT_TYPE_HANDSFREE:
        return as(OutputRoute::Kind::Headphones);
    case PA_DEVICE_PORT_TYPE_SPEAKER:
    case PA_DEVICE_PORT_TYPE_HDMI:
    case PA_DEVICE_PORT_TYPE_TV:
        return as(OutputRoute::Kind::Speakers);
    default:
        break;
    }
    if (containsAny(facts.portName, {"headphone", "headset"}))
        return as(OutputRoute::Kind::Headphones);
    if (containsAny(facts.portName, {"speaker", "hdmi"}))
        return as(OutputRoute::Kind::Speakers);
    if (containsAny(facts.formFactor, {"headphone", "headset", "hands-free", "handset"}))
        return as(OutputRoute::Kind::Headphones);
    if (containsAny(facts.formFactor, {"speaker", "internal", "tv", "hifi"}))
        return as(OutputRoute::Kind::Speakers);
    if (containsAny(facts.bus, {"bluetooth", "usb"}))
        return as(OutputRoute::Kind::Headphones);
    route.kind = OutputRoute::Kind::Unknown;
    route.description = !facts.bus.isEmpty() ? facts.bus : facts.sinkName;
    return route;
}

PulseAudioSystem::PulseAudioSystem(QObject* parent) : AudioSystem(parent), m_core(std::make_shared<PulseCore>()) {
    auto l = m_core->lock();
    m_core->m_capture = this;
}

PulseAudioSystem::~PulseAudioSystem() {
    auto l = m_core->lock();
    m_core->m_capture = nullptr;
    m_core->m_audio = nullptr;
    m_core->m_systemWanted = false;
    m_core->m_micWanted = false;
    m_core->reconcile();
    m_core->m_canceller.reset();
}

void PulseAudioSystem::setAudioHandler(AudioFn handler) {
    auto l = m_core->lock();
    m_core->m_audio = std::move(handler);
}

void PulseAudioSystem::start() {
    auto l = m_core->lock();
    m_core->m_systemWanted = true;
    m_core->ensureConnected();
    m_core->reconcile();
}

void PulseAudioSystem::startMic(std::unique_ptr<EchoCanceller> canceller) {
    auto l = m_core->lock();
    m_core->m_canceller = std::move(canceller);
    m_core->m_micWanted = true;
    m_core->m_micRestart = true;
    m_core->reconcile();
}

quint64 PulseAudioSystem::playSound(std::vector<float> samples, int sampleRate, PlayDone done) {
    const quint64 id = ++m_lastPlayback;
    m_playing.insert(id, std::move(done));
    // A stream the server never plays out (suspended, corked) must still end.
    const qint64 lengthMs = sampleRate > 0 ? qint64(samples.size()) * 1000 / sampleRate : 0;
    QTimer::singleShot(std::chrono::milliseconds(lengthMs + kPlayGraceMs), this,
                       [this, id] { endSound(id, QStringLiteral("dźwięk nie został odtworzony na czas")); });
    auto l = m_core->lock();
    m_core->ensureConnected();
    m_core->startPlayback(id, std::move(samples), sampleRate);
    return id;
}

void PulseAudioSystem::stopSound(quint64 id) {
    endSound(id, QStringLiteral("zatrzymano"));
}

// Said at once: the server's own word about the sound would come later, and is then dropped.
void PulseAudioSystem::endSound(quint64 id, const QString& why) {
    const PlayDone done = m_playing.take(id);
    if (!done)
        return;
    {
        auto l = m_core->lock();
        m_core->stopPlayback(id);
    }
    done(why);
}

void PulseAudioSystem::playbackEnded(quint64 id, const std::optional<QString>& error) {
    const PlayDone done = m_playing.take(id);
    if (done)
        done(error);
}

void PulseAudioSystem::recheck() {
    auto l = m_core->lock();
    m_core->ensureConnected();
    m_core->queryServer();
}

std::unique_ptr<SourceMonitor> PulseAudioSystem::sourceMonitor() {
    return std::make_unique<PulseSourceMonitor>(m_core);
}

void PulseAudioSystem::setInput(PermissionState state) {
    if (state == m_input)
        return;
    m_input = state;
    emit inputAvailabilityChanged();
}

void PulseAudioSystem::setRoute(const OutputRoute& route) {
    if (route.sameRoute(m_route) && route.deviceName == m_route.deviceName)
        return;
    m_route = route;
    emit outputRouteChanged();
}

} // namespace quippet
