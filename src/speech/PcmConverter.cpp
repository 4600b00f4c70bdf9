#include "speech/PcmConverter.h"

#include <speex/speex_resampler.h>

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quippet {

namespace {

// Speech recognition needs nothing above ~8 kHz. Quality 2 still gives ~75 dB SNR on a tone (close to the 16-bit
// floor) at about two thirds of quality 3's cost; 44.1 kHz input is resampled through speex's interpolating path,
// which dominates the per-channel CPU.
constexpr int kResamplerQuality = 2;

template <typename T> T load(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return qFromLittleEndian(value);
}

float sampleAt(const char* p, AudioFormat::SampleType type) {
    switch (type) {
    case AudioFormat::SampleType::Int16:
        return float(load<qint16>(p));
    case AudioFormat::SampleType::Int32:
        return float(double(load<qint32>(p)) / 65536.0);
    case AudioFormat::SampleType::Float32: {
        quint32 bits = load<quint32>(p);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return std::isfinite(f) ? f * 32768.0f : 0.0f;
    }
    }
    return 0.0f;
}

// Mono average in the int16 scale (±32768), whatever the input's type and layout.
void mixDown(const AudioChunk& chunk, qint64 frames, std::vector<float>& out) {
    const AudioFormat& f = chunk.format;
    const int bps = f.bytesPerSample();
    const int channels = f.channels;
    const char* data = chunk.data.constData();
    out.resize(size_t(frames));
    const float scale = 1.0f / float(channels);
    const qint64 frameStride = f.interleaved ? qint64(bps) * channels : bps;
    const qint64 channelStride = f.interleaved ? bps : qint64(bps) * frames;

    if (channels == 1 && f.sampleType == AudioFormat::SampleType::Int16) {
        for (qint64 i = 0; i < frames; ++i)
            out[size_t(i)] = float(load<qint16>(data + i * 2));
        return;
    }
    for (qint64 i = 0; i < frames; ++i) {
        const char* frame = data + i * frameStride;
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c)
            sum += sampleAt(frame + c * channelStride, f.sampleType);
        out[size_t(i)] = sum * scale;
    }
}

void toS16(const float* in, size_t n, QByteArray& out) {
    out.resize(qsizetype(n * 2));
    char* p = out.data();
    for (size_t i = 0; i < n; ++i) {
        const float v = std::clamp(std::nearbyint(in[i]), -32768.0f, 32767.0f);
        qToLittleEndian(qint16(v), p + i * 2);
    }
}

} // namespace

PcmConverter::PcmConverter() = default;

PcmConverter::~PcmConverter() {
    release();
}

void PcmConverter::release() {
    if (m_resampler)
        speex_resampler_destroy(m_resampler);
    m_resampler = nullptr;
}

bool PcmConverter::isValid(const AudioFormat& format) {
    return format.sampleRate > 0 && format.sampleRate <= 768000 && format.channels > 0 && format.channels <= 64;
}

bool PcmConverter::rebuild(const AudioFormat& format) {
    release();
    m_source.reset();
    if (!isValid(format))
        return false;
    if (format.sampleRate != kTargetRate) {
        int err = 0;
        m_resampler = speex_resampler_init(1, spx_uint32_t(format.sampleRate), kTargetRate, kResamplerQuality, &err);
        if (!m_resampler || err != RESAMPLER_ERR_SUCCESS) {
            release();
            return false;
        }
        // Without this the first output starts with the filter's delay line of silence.
        speex_resampler_skip_zeros(m_resampler);
    }
    m_source = format;
    ++m_builds;
    return true;
}

QByteArray PcmConverter::convert(const AudioChunk& chunk) {
    const AudioFormat& format = chunk.format;
    if (!m_source || *m_source != format) {
        if (!rebuild(format))
            return {};
    }
    const qint64 bytesPerFrame = qint64(format.bytesPerSample()) * format.channels;
    // A ragged tail (a torn buffer) cannot be split into frames; planar data must be whole frames per channel.
    if (chunk.data.isEmpty() || chunk.data.size() % bytesPerFrame != 0)
        return {};
    const qint64 frames = chunk.data.size() / bytesPerFrame;

    QByteArray out;
    if (format.sampleRate == kTargetRate && format.channels == 1 &&
        format.sampleType == AudioFormat::SampleType::Int16) {
        out = chunk.data;
        out.detach();
        return out;
    }

    mixDown(chunk, frames, m_mono);
    if (!m_resampler) {
        toS16(m_mono.data(), m_mono.size(), out);
        return out;
    }

    const qint64 capacity = frames * kTargetRate / format.sampleRate + 1024;
    m_resampled.resize(size_t(capacity));
    spx_uint32_t consumed = 0;
    spx_uint32_t produced = 0;
    // The resampler may stop early when the output is short; the capacity above leaves headroom, but loop anyway.
    while (consumed < spx_uint32_t(frames) && produced < spx_uint32_t(capacity)) {
        spx_uint32_t inLen = spx_uint32_t(frames) - consumed;
        spx_uint32_t outLen = spx_uint32_t(capacity) - produced;
        if (speex_resampler_process_float(m_resampler, 0, m_mono.data() + consumed, &inLen,
                                          m_resampled.data() + produced, &outLen) != RESAMPLER_ERR_SUCCESS)
            return {};
        if (inLen == 0 && outLen == 0)
            break;
        consumed += inLen;
        produced += outLen;
    }
    if (produced == 0)
        return {};
    toS16(m_resampled.data(), produced, out);
    return out;
}

} // namespace quippet
