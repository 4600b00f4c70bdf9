#pragma once

#include "audio/AudioChunk.h"
#include "audio/AudioSystem.h"

#include <optional>
#include <vector>

namespace quippet {

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

} // namespace quippet
