#pragma once

#include "audio/AudioChunk.h"

#include <QByteArray>

#include <optional>
#include <vector>

struct SpeexResamplerState_;

namespace quippet {

// Turns captured PCM of any layout into what the speech-to-text service takes: 48 kHz, mono, signed 16-bit
// little-endian. Channels are averaged; the resampler keeps its filter state from one buffer to the next, so a
// stream cut into buffers of any size converts like one long buffer, and starts afresh when the input format
// changes (another device, another sample rate). Not thread-safe: one converter per channel, used on one thread.
class PcmConverter {
public:
    static constexpr int kTargetRate = 48000;

    PcmConverter();
    ~PcmConverter();
    PcmConverter(const PcmConverter&) = delete;
    PcmConverter& operator=(const PcmConverter&) = delete;

    // The converted bytes; empty when the chunk is malformed or yields no whole frame yet.
    QByteArray convert(const AudioChunk& chunk);

    const std::optional<AudioFormat>& source() const { return m_source; }
    // How many times a conversion was set up for a new input format.
    int builds() const { return m_builds; }

    static bool isValid(const AudioFormat& format);

private:
    bool rebuild(const AudioFormat& format);
    void release();

    std::optional<AudioFormat> m_source;
    SpeexResamplerState_* m_resampler = nullptr;
    int m_builds = 0;
    std::vector<float> m_mono;
    std::vector<float> m_resampled;
};

} // namespace quippet
