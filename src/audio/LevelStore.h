#pragma once

#include "audio/AudioChunk.h"

#include <QMutex>
#include <QString>

#include <chrono>
#include <optional>
#include <vector>

namespace quippet {

// Levels measured on the audio thread and sampled by the level timer on the main thread. The only lock in the
// audio path; held for a few field updates only.
//
// The sound server hands audio over in fragments about as long as a level tick, on time give or take tens of
// milliseconds, and after a stall several at once. A buffer's level stands for every tick its audio covers, and on
// screen for one more when the next buffer is late by less than half a buffer (at most kMaxGrace), so that a steady
// voice does not flicker. Whether the client's channel sounds is not held for a late buffer: the early answers wait
// for its quiet, and a tick more of it would be a tick more before every such answer.
class LevelStore {
public:
    struct Snapshot {
        float client = 0;
        float me = 0;
        // The client's level without the grace for a late fragment: whether its channel sounds is not held back.
        float clientCovered = 0;
        qint64 clientBuffers = 0;
        std::optional<QString> clientFormat;
        float clientPeakEver = 0;
    };

    // Audio thread; `lasts` is how much audio the buffer held.
    void addClient(float level, const AudioFormat& format, std::chrono::microseconds lasts);
    void addMe(float level, std::chrono::microseconds lasts);

    // Main thread, once every `tick`: the maxima since the last call, or while the audio delivered before still
    // covers this tick, the level last taken; and the running system-audio statistics.
    Snapshot take(std::chrono::microseconds tick);

    // The longest a buffer's level is held beyond its own tick for the audio it still covers, and the most a next
    // buffer may be late.
    static constexpr std::chrono::microseconds kMaxHold{200000};
    static constexpr std::chrono::microseconds kMaxGrace{50000};

private:
    struct Meter {
        float level = 0;                      // the loudest buffer since the last take
        float taken = 0;                      // what the last take reported
        std::chrono::microseconds arrived{0}; // audio delivered since the last take
        std::chrono::microseconds ahead{0};   // audio delivered beyond the ticks taken so far
        std::chrono::microseconds grace{0};   // how late the next buffer may be: half the newest one, at most kMaxGrace
        void add(float l, std::chrono::microseconds lasts);
        struct Reading {
            float shown = 0;   // with the grace
            float covered = 0; // only while delivered audio covers the tick
        };
        Reading take(std::chrono::microseconds tick);
    };

    QMutex m_lock;
    Meter m_client;
    Meter m_me;
    qint64 m_clientBuffers = 0;
    std::optional<QString> m_clientFormat;
    float m_clientPeakEver = 0;
};

// "48000Hz 2ch 32bit float interleaved"
QString describeFormat(const AudioFormat& format);

// Sample `index` of raw PCM in `format`, as a value in [-1, 1].
double sampleAt(const AudioFormat& format, const char* data, qsizetype index);
// Appends `frames` frames of raw PCM in `format` to `out`, its channels averaged into one.
void appendMono(const AudioFormat& format, const char* data, qint64 frames, std::vector<float>& out);
// How long `bytes` of PCM in `format` play.
std::chrono::microseconds playingTime(const AudioFormat& format, qsizetype bytes);
// Root mean square of each channel; the largest. 0 for no samples.
float loudestChannelRms(const AudioFormat& format, const char* data, qsizetype bytes);
// Root mean square of the first channel only.
float firstChannelRms(const AudioFormat& format, const char* data, qsizetype bytes);

} // namespace quippet
