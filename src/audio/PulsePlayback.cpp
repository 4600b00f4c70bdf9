#include "audio/PulseCore.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>

namespace quippet {

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
        endPlayback(p, paError(m_context));
        return;
    }
    pa_stream_set_state_callback(s, &PulseCore::onPlaybackState, p);
    pa_stream_set_write_callback(s, &PulseCore::onPlaybackWrite, p);
    if (pa_stream_connect_playback(s, nullptr, nullptr, pa_stream_flags_t(0), nullptr, nullptr) < 0)
        endPlayback(p, paError(m_context));
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
        p->core->endPlayback(p, paError(pa_stream_get_context(s)));
}

// Writes what the server asks for; once everything is written, waits for it to be played out.
void PulseCore::onPlaybackWrite(pa_stream* s, size_t bytes, void* playback) {
    auto* p = static_cast<Playback*>(playback);
    const size_t left = (p->samples.size() - p->offset) * sizeof(float);
    const size_t n = std::min(bytes / sizeof(float) * sizeof(float), left);
    if (n > 0) {
        if (pa_stream_write(s, p->samples.data() + p->offset, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            p->core->endPlayback(p, paError(pa_stream_get_context(s)));
            return;
        }
        p->offset += n / sizeof(float);
    }
    if (p->offset >= p->samples.size() && !p->drain) {
        pa_stream_set_write_callback(s, nullptr, nullptr);
        p->drain = pa_stream_drain(s, &PulseCore::onPlaybackDrained, p);
        if (!p->drain)
            p->core->endPlayback(p, paError(pa_stream_get_context(s)));
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
        p->core->endPlayback(p, paError(pa_stream_get_context(s)));
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

} // namespace quippet
