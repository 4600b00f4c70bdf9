#pragma once

#include "audio/AudioChunk.h"
#include "audio/AudioSystem.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <optional>
#include <vector>

namespace quippet {

class AudioCapture;
class Clock;
class Timer;

// The test sound of the pre-call check: bursts of a sine at ToneMeter::kToneHz with soft edges, on and off in an
// irregular rhythm, so that an echo canceller can find the delay from the envelope. Mono.
std::vector<float> testTone(double seconds, float amplitude, int sampleRate = 48000);

// Collects the captured audio of both channels as mono samples and reads the test tone's power from them.
// Positions are sample counts per channel since the meter was cleared; main thread.
class ToneMeter {
public:
    static constexpr double kToneHz = 1500;
    // Power is read over blocks of this length (a 50 Hz wide band around the tone).
    static constexpr int kBlocksPerSecond = 50;

    struct Mark {
        qint64 system = 0;
        qint64 mic = 0;
    };

    void add(AudioChannel channel, const AudioChunk& chunk);
    void clear();
    Mark mark() const { return {qint64(m_system.size()), qint64(m_mic.size())}; }
    int sampleRate(AudioChannel channel) const;
    // How many samples `seconds` of a channel are.
    qint64 span(AudioChannel channel, double seconds) const;

    // Mean power of the tone's frequency between two positions of a channel, linear (a sine of amplitude A reads
    // A²/2); nothing when the span holds no whole block.
    std::optional<double> tonePower(AudioChannel channel, qint64 from, qint64 to) const;
    // Mean power of everything between two positions.
    std::optional<double> power(AudioChannel channel, qint64 from, qint64 to) const;

private:
    const std::vector<float>& samples(AudioChannel channel) const {
        return channel == AudioChannel::System ? m_system : m_mic;
    }

    std::vector<float> m_system;
    std::vector<float> m_mic;
    int m_systemRate = 48000;
    int m_micRate = 48000;
};

// What one playing of the test tone showed, from the quiet before it (baseline) and the time it played.
struct ToneReading {
    bool heard = false;          // the tone stood out of the system audio
    double systemDb = -200;      // the tone's power in the system audio while it played, dBFS
    double systemNoiseDb = -200; // the same frequency before it played
    // How strongly the tone reached the microphone, relative to the system audio, in dB; nothing when the
    // microphone showed no trace of it above its own noise.
    std::optional<double> leakDb;
    // The weakest leak the microphone's noise would have let through: with no leak seen, it is below this.
    double leakFloorDb = 0;
};

// A tone must stand this far above the quiet before it to count as heard.
inline constexpr double kToneHeardMarginDb = 12;

// The quiet from quietFrom to quietTo, the tone from playFrom to playTo (its first moments may be left out).
ToneReading readTone(const ToneMeter& meter, ToneMeter::Mark quietFrom, ToneMeter::Mark quietTo,
                     ToneMeter::Mark playFrom, ToneMeter::Mark playTo);

// The pre-call check's measurement: waits for a moment of quiet on both channels, plays the test tone on the
// default output and reads what of it came back through the system audio and the microphone. Ends with exactly
// one of measured, notPlayed or noAudio, unless stopped first. Main thread only.
class ToneProbe : public QObject {
    Q_OBJECT
public:
    static constexpr float kToneAmplitude = 0.1f; // -20 dBFS peaks: quiet on a normal volume
    static constexpr double kToneSeconds = 2.5;
    // The leak is read after the first second of the tone.
    static constexpr double kSettleSeconds = 1.0;
    // Measured again with echo cancellation just switched on, the canceller starts from nothing and moves its
    // delay once it has heard two seconds of the far end: a longer tone, read once that has settled.
    static constexpr double kCancelledToneSeconds = 6.0;
    static constexpr double kCancelledSettleSeconds = 4.0;
    static constexpr double kQuietSeconds = 0.4;
    static constexpr double kTailSeconds = 0.3;
    // How long the sound server may take to deliver the first audio.
    static constexpr std::chrono::seconds kAudioWait{3};

    // The ordinary tone, or the longer one for a canceller that was just switched on.
    enum class Tone { Plain, ForNewCanceller };
    static std::chrono::milliseconds toneTime(Tone tone) {
        return std::chrono::milliseconds(
            qint64((tone == Tone::ForNewCanceller ? kCancelledToneSeconds : kToneSeconds) * 1000));
    }
    // The longest a measurement takes: the wait for the first audio, then the tone and the wait for its way back.
    static std::chrono::milliseconds longest(Tone tone) { return kAudioWait + toneTime(tone) + kAudioWait; }

    struct Result {
        ToneReading whole; // over all of the tone and its tail
        ToneReading echo;  // from when a canceller has had time to catch on
    };

    ToneProbe(Clock& clock, AudioCapture& capture, QObject* parent = nullptr);
    ~ToneProbe() override;

    // Starts afresh; a probe under way is abandoned.
    void start(Tone tone);
    // Silences the tone and stops listening; nothing is signalled after it.
    void stop();
    // After noAudio, when the system audio did come: listens again, without waiting for the microphone.
    void listenWithoutMic();
    bool running() const { return m_phase != Phase::Idle; }
    // What was captured since start(); kept after the probe ended.
    const ToneMeter& meter() const { return m_meter; }

signals:
    void measured(const quippet::ToneProbe::Result& result);
    // The sound server did not play the tone: its reason, or nothing when it did not end in time.
    void notPlayed(const std::optional<QString>& error);
    // kAudioWait passed without the quiet before the tone (the meter tells which channel stayed silent).
    void noAudio();

private:
    enum class Phase { Idle, Quiet, Playing, Tail };

    void listen();
    void onChunk(AudioChannel channel, const AudioChunk& chunk);
    void progress();
    void play();
    void toneEnded(const std::optional<QString>& error);
    void finish();
    void timedOut();

    AudioCapture& m_capture;
    ToneMeter m_meter;
    Phase m_phase = Phase::Idle;
    Tone m_tone = Tone::Plain;
    bool m_micExpected = false;
    ToneMeter::Mark m_playFrom, m_playTo;
    quint64 m_sound = 0;      // the tone's sound number while it plays
    quint64 m_generation = 0; // answers for an abandoned tone are dropped
    Timer* m_timer = nullptr;
};

} // namespace quippet
