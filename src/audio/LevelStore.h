#pragma once

#include "audio/AudioChunk.h"

#include <QMutex>
#include <QString>

#include <optional>
#include <vector>

namespace quippet {

// Levels measured on the audio thread and sampled by the level timer on the main thread. The only lock in the
// audio path; held for a few field updates only.
class LevelStore {
public:
    struct Snapshot {
        float client = 0;
        float me = 0;
        qint64 clientBuffers = 0;
        std::optional<QString> clientFormat;
        float clientPeakEver = 0;
    };

    // Audio thread.
    void addClient(float level, const AudioFormat& format);
    void addMe(float level);

    // Main thread: the maxima since the last call (then reset to 0) and the running system-audio statistics.
    Snapshot take();

private:
    QMutex m_lock;
    float m_client = 0;
    float m_me = 0;
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
// Root mean square of each channel; the largest. 0 for no samples.
float loudestChannelRms(const AudioFormat& format, const char* data, qsizetype bytes);
// Root mean square of the first channel only.
float firstChannelRms(const AudioFormat& format, const char* data, qsizetype bytes);

} // namespace quippet
