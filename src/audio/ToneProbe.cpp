#include "audio/ToneProbe.h"

#include "audio/AudioCapture.h"
#include "audio/LevelStore.h"
#include "core/Clock.h"

#include <QPointer>

#include <algorithm>
#include <cmath>

namespace quippet {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSilence = 1e-20;
constexpr double kUnmeasuredHeardDb = -70;

double toDb(double power) {
    return 10 * std::log10(std::max(power, kSilence));
}

// The power of one frequency in a block (Goertzel), scaled so a sine of amplitude A at that frequency reads A²/2.
double blockTonePower(const float* x, qsizetype n, double hz, int rate) {
    const double w = 2 * kPi * hz / rate;
    const double coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const double s0 = x[i] + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double magnitude2 = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2 * magnitude2 / (double(n) * double(n));
}

} // namespace

std::vector<float> testTone(double seconds, float amplitude, int sampleRate) {
    std::vector<float> out(size_t(std::max(0.0, seconds) * sampleRate), 0.0f);
    const qsizetype ramp = sampleRate / 200; // 5 ms edges: no clicks
    quint32 seed = 0x2545F491u;
    const auto next = [&seed](int lo, int hi) {
        seed = seed * 1664525u + 1013904223u;
        return lo + int((seed >> 8) % quint32(hi - lo + 1));
    };
    qsizetype at = 0;
    while (at < qsizetype(out.size())) {
        const qsizetype on = qsizetype(next(80, 240)) * sampleRate / 1000;
        const qsizetype off = qsizetype(next(40, 160)) * sampleRate / 1000;
        const qsizetype end = std::min<qsizetype>(at + on, qsizetype(out.size()));
        for (qsizetype i = at; i < end; ++i) {
            const qsizetype edge = std::min(i - at, end - 1 - i);
            const double gain = edge >= ramp ? 1.0 : 0.5 - 0.5 * std::cos(kPi * double(edge) / double(ramp));
            out[size_t(i)] = float(amplitude * gain * std::sin(2 * kPi * ToneMeter::kToneHz * double(i) / sampleRate));
        }
        at = end + off;
    }
    return out;
}

void ToneMeter::add(AudioChannel channel, const AudioChunk& chunk) {
    std::vector<float>& out = channel == AudioChannel::System ? m_system : m_mic;
    (channel == AudioChannel::System ? m_systemRate : m_micRate) = chunk.format.sampleRate;
    appendMono(chunk.format, chunk.data.constData(), chunk.frames(), out);
}

void ToneMeter::clear() {
    m_system.clear();
    m_mic.clear();
}

int ToneMeter::sampleRate(AudioChannel channel) const {
    return channel == AudioChannel::System ? m_systemRate : m_micRate;
}

qint64 ToneMeter::span(AudioChannel channel, double seconds) const {
    return qint64(seconds * sampleRate(channel));
}

std::optional<double> ToneMeter::tonePower(AudioChannel channel, qint64 from, qint64 to) const {
    const std::vector<float>& x = samples(channel);
    const int rate = sampleRate(channel);
    const qsizetype block = std::max(1, rate / kBlocksPerSecond);
    from = std::clamp<qint64>(from, 0, qint64(x.size()));
    to = std::clamp<qint64>(to, from, qint64(x.size()));
    double sum = 0;
    int blocks = 0;
    for (qint64 at = from; at + block <= to; at += block, ++blocks)
        sum += blockTonePower(x.data() + at, block, kToneHz, rate);
    if (blocks == 0)
        return std::nullopt;
    return sum / blocks;
}

std::optional<double> ToneMeter::power(AudioChannel channel, qint64 from, qint64 to) const {
    const std::vector<float>& x = samples(channel);
    from = std::clamp<qint64>(from, 0, qint64(x.size()));
    to = std::clamp<qint64>(to, from, qint64(x.size()));
    if (to == from)
        return std::nullopt;
    double sum = 0;
    for (qint64 i = from; i < to; ++i)
        sum += double(x[size_t(i)]) * x[size_t(i)];
    return sum / double(to - from);
}

ToneReading readTone(const ToneMeter& meter, ToneMeter::Mark quietFrom, ToneMeter::Mark quietTo,
                     ToneMeter::Mark playFrom, ToneMeter::Mark playTo) {
    ToneReading reading;
    const auto quiet = meter.tonePower(AudioChannel::System, quietFrom.system, quietTo.system);
    const double sysNoise = quiet.value_or(0);
    const double sysTone = meter.tonePower(AudioChannel::System, playFrom.system, playTo.system).value_or(0);
    reading.systemNoiseDb = toDb(sysNoise);
    reading.systemDb = toDb(sysTone);
    // Without a quiet moment to compare with, only a plainly audible tone counts.
    const double floorDb = quiet ? reading.systemNoiseDb + kToneHeardMarginDb : kUnmeasuredHeardDb;
    reading.heard = sysTone > kSilence && reading.systemDb >= floorDb;
    if (!reading.heard)
        return reading;

    const double sysExcess = sysTone - sysNoise;
    const auto micNoise = meter.tonePower(AudioChannel::Mic, quietFrom.mic, quietTo.mic);
    const auto micTone = meter.tonePower(AudioChannel::Mic, playFrom.mic, playTo.mic);
    const double noise = micNoise.value_or(0);
    // Seen when the tone lifts the microphone's band at least 3 dB above its own noise.
    reading.leakFloorDb = toDb(std::max(noise, kSilence * 1e6) / sysExcess);
    if (micTone && *micTone - noise >= std::max(noise, kSilence * 1e6))
        reading.leakDb = toDb((*micTone - noise) / sysExcess);
    return reading;
}

ToneProbe::ToneProbe(Clock& clock, AudioCapture& capture, QObject* parent) : QObject(parent), m_capture(capture) {
    m_timer = clock.createTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &Timer::timeout, this, &ToneProbe::timedOut);
}

ToneProbe::~ToneProbe() {
    stop();
}

void ToneProbe::start(Tone tone) {
    stop();
    m_tone = tone;
    m_meter.clear();
    m_micExpected = m_capture.micPermission() == PermissionState::Granted;
    listen();
}

void ToneProbe::listenWithoutMic() {
    m_micExpected = false;
    listen();
}

void ToneProbe::listen() {
    m_phase = Phase::Quiet;
    m_capture.setOnChunk([this](AudioChannel channel, const AudioChunk& chunk) { onChunk(channel, chunk); });
    m_timer->start(kAudioWait);
    progress();
}

void ToneProbe::stop() {
    // A tone of an abandoned probe must not sound into the next one's quiet. Idle first: its end is no result.
    m_phase = Phase::Idle;
    ++m_generation;
    if (const quint64 sound = std::exchange(m_sound, 0))
        m_capture.stopSound(sound);
    m_capture.setOnChunk({});
    m_timer->stop();
}

void ToneProbe::onChunk(AudioChannel channel, const AudioChunk& chunk) {
    if (channel == AudioChannel::Mic)
        m_micExpected = true;
    m_meter.add(channel, chunk);
    progress();
}

void ToneProbe::progress() {
    const ToneMeter::Mark now = m_meter.mark();
    switch (m_phase) {
    case Phase::Quiet: {
        // The microphone, when there is one, must deliver too: its quiet is what the leak is measured against.
        const bool systemQuiet = now.system >= m_meter.span(AudioChannel::System, kQuietSeconds);
        const bool micQuiet = !m_micExpected || now.mic >= m_meter.span(AudioChannel::Mic, kQuietSeconds);
        if (systemQuiet && micQuiet)
            play();
        break;
    }
    case Phase::Tail:
        if (now.system >= m_playTo.system + m_meter.span(AudioChannel::System, kTailSeconds) &&
            (!m_micExpected || now.mic >= m_playTo.mic + m_meter.span(AudioChannel::Mic, kTailSeconds)))
            finish();
        break;
    case Phase::Idle:
    case Phase::Playing:
        break;
    }
}

void ToneProbe::play() {
    m_phase = Phase::Playing;
    m_playFrom = m_meter.mark();
    // The sound server has been heard from; the tone gets time to play out and come back.
    const double seconds = m_tone == Tone::ForNewCanceller ? kCancelledToneSeconds : kToneSeconds;
    m_timer->start(kAudioWait + toneTime(m_tone));
    const quint64 generation = m_generation;
    QPointer<ToneProbe> self(this);
    m_sound = m_capture.playSound(testTone(seconds, kToneAmplitude), 48000,
                                  [self, generation](const std::optional<QString>& error) {
                                      if (self && self->m_generation == generation && self->m_phase == Phase::Playing)
                                          self->toneEnded(error);
                                  });
}

void ToneProbe::toneEnded(const std::optional<QString>& error) {
    m_sound = 0;
    if (error) {
        stop();
        emit notPlayed(error);
        return;
    }
    m_playTo = m_meter.mark();
    m_phase = Phase::Tail;
    progress();
}

// Whether the tone came back, over all of it; the echo once a canceller has had its time to catch on. Both against
// the quiet before the tone.
void ToneProbe::finish() {
    stop();
    ToneMeter::Mark tailEnd = m_playTo;
    tailEnd.system += m_meter.span(AudioChannel::System, kTailSeconds);
    tailEnd.mic += m_meter.span(AudioChannel::Mic, kTailSeconds);
    Result result;
    result.whole = readTone(m_meter, ToneMeter::Mark{}, m_playFrom, m_playFrom, tailEnd);
    ToneMeter::Mark settled = m_playFrom;
    const double settle = m_tone == Tone::ForNewCanceller ? kCancelledSettleSeconds : kSettleSeconds;
    settled.system += m_meter.span(AudioChannel::System, settle);
    settled.mic += m_meter.span(AudioChannel::Mic, settle);
    result.echo = readTone(m_meter, ToneMeter::Mark{}, m_playFrom, settled, tailEnd);
    emit measured(result);
}

void ToneProbe::timedOut() {
    switch (m_phase) {
    case Phase::Tail: // the tone was played out; a stream stalled after it: what was captured is read
        finish();
        break;
    case Phase::Playing:
        stop();
        emit notPlayed(std::nullopt);
        break;
    case Phase::Quiet:
        stop();
        emit noAudio();
        break;
    case Phase::Idle:
        break;
    }
}

} // namespace quippet
