#pragma once

#include <QByteArray>
#include <QMetaType>

namespace quippet {

enum class AudioChannel { System, Mic };

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
