#pragma once

#include <QByteArray>
#include <QMetaType>

#include <chrono>

namespace quippet {

enum class AudioChannel { System, Mic };

// How much audio the capture hands over at a time (the sound server's fragment). The level tick, the echo
// canceller's wait for the far end and the speech client's message size follow from it.
inline constexpr std::chrono::milliseconds kCaptureFragment{100};

// The layout of captured PCM as the capture source delivers it.
struct AudioFormat {
    enum class SampleType { Int16, Int32, Float32 };

    int sampleRate = 48000;
    int channels = 1;
    SampleType sampleType = SampleType::Int16;
    bool interleaved = true; // planar data holds channel 0's frames, then channel 1's, ...

    int bytesPerSample() const { return sampleType == SampleType::Int16 ? 2 : 4; }
    bool operator==(const AudioFormat&) const = default;
};

// A deep copy of one captured buffer, safe to hand to another thread.
struct AudioChunk {
    AudioFormat format;
    QByteArray data;

    qint64 frames() const { return data.size() / (format.bytesPerSample() * qMax(1, format.channels)); }
};

} // namespace quippet

Q_DECLARE_METATYPE(quippet::AudioChunk)
