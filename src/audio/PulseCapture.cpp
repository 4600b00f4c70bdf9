#include "audio/PulseCore.h"

#include "audio/EchoCanceller.h"

#include <algorithm>
#include <cstring>

namespace quippet {

namespace {

// How a capture stream's lines in the log begin.
QString label(bool system) {
    return system ? QStringLiteral("audio systemowe: ") : QStringLiteral("mikrofon: ");
}

} // namespace

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
        postFailure(label(system) + paError(m_context));
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
        postFailure(label(system) + paError(m_context));
        releaseStream(s);
        scheduleRetry(kRetryUsec);
        return;
    }
    Stream& slot = system ? m_system : m_mic;
    m_gathered.reserve(std::max(m_gathered.capacity(), size_t(2 * attr.fragsize)));
    slot.stream = s;
    slot.source = source;
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
        const QString why = paError(core->m_context);
        core->postFailure(label(system) + why);
        core->closeStream(slot);
        core->scheduleRetry(kRetryUsec);
        break;
    }
    default:
        break;
    }
}

// Peek, drop holes, hand over, drop: no allocation beyond the scratch buffers, no Qt objects, no logging. A fragment
// often comes in pieces (the server's ring buffer wraps, a remapped source posts odd sizes); the pieces of one wake-up
// are handed over as one buffer, so that every reader downstream wakes once per fragment, not once per piece.
void PulseCore::onRead(pa_stream* s, size_t, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    const AudioChannel channel = s == core->m_system.stream ? AudioChannel::System : AudioChannel::Mic;
    std::vector<char>& gathered = core->m_gathered;
    gathered.clear();
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0)
            break;
        if (data) {
            const auto* piece = static_cast<const char*>(data);
            gathered.insert(gathered.end(), piece, piece + bytes);
        } else if (!gathered.empty()) {
            // A hole: what came before it goes on its own, the hole itself is dropped.
            core->deliver(channel, gathered.data(), gathered.size());
            gathered.clear();
        }
        pa_stream_drop(s);
    }
    if (!gathered.empty())
        core->deliver(channel, gathered.data(), gathered.size());
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

} // namespace quippet
