#include "speech/PcmConverter.h"

#include <gtest/gtest.h>

#include <QtEndian>

#include <cmath>
#include <cstring>
#include <numbers>

using namespace quippet;

namespace {

std::vector<qint16> samples(const QByteArray& bytes) {
    std::vector<qint16> out(size_t(bytes.size() / 2));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = qFromLittleEndian<qint16>(bytes.constData() + i * 2);
    return out;
}

// A sine of `hz` at `amplitude` (full scale 1.0) in the given layout; frames [first, first + count).
AudioChunk sine(const AudioFormat& format, double hz, double amplitude, qint64 first, int count,
                const std::vector<double>& channelGain = {}) {
    AudioChunk chunk;
    chunk.format = format;
    const int bps = format.bytesPerSample();
    chunk.data.resize(qsizetype(count) * format.channels * bps);
    for (int i = 0; i < count; ++i) {
        const double v = amplitude * std::sin(2 * std::numbers::pi * hz * double(first + i) / format.sampleRate);
        for (int c = 0; c < format.channels; ++c) {
            const double x = v * (channelGain.empty() ? 1.0 : channelGain[size_t(c)]);
            const qsizetype index = format.interleaved ? qsizetype(i) * format.channels + c : qsizetype(c) * count + i;
            char* p = chunk.data.data() + index * bps;
            switch (format.sampleType) {
            case AudioFormat::SampleType::Int16:
                qToLittleEndian(qint16(std::lround(x * 32767)), p);
                break;
            case AudioFormat::SampleType::Int32:
                qToLittleEndian(qint32(std::llround(x * 2147483647.0)), p);
                break;
            case AudioFormat::SampleType::Float32: {
                const float f = float(x);
                std::memcpy(p, &f, 4);
                break;
            }
            }
        }
    }
    return chunk;
}

QByteArray convertInPieces(PcmConverter& converter, const AudioFormat& format, double hz, int totalFrames, int piece,
                           const std::vector<double>& gain = {}) {
    QByteArray out;
    for (int at = 0; at < totalFrames; at += piece)
        out += converter.convert(sine(format, hz, 0.5, at, std::min(piece, totalFrames - at), gain));
    return out;
}

} // namespace

TEST(PcmConverterTest, ResamplesAndMixesAnyLayoutKeepingFrequencyAndLevel) {
    struct Case {
        AudioFormat format;
        int piece;
    };
    const Case cases[] = {
        {{44100, 2, AudioFormat::SampleType::Float32, true}, 441},   // 10 ms buffers of a typical desktop stream
        {{44100, 2, AudioFormat::SampleType::Float32, false}, 1024}, // planar
        {{16000, 1, AudioFormat::SampleType::Int16, true}, 160},
        {{96000, 3, AudioFormat::SampleType::Int32, true}, 960},
        {{48000, 2, AudioFormat::SampleType::Int32, false}, 480}, // no resampling, only mixing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.format.sampleRate << " Hz, " << c.format.channels << " ch, type "
                                        << int(c.format.sampleType)
                                        << (c.format.interleaved ? " interleaved" : " planar"));
        PcmConverter converter;
        const QByteArray out = convertInPieces(converter, c.format, 1000, c.format.sampleRate, c.piece);
        const auto s = samples(out);
        // One second in gives one second out, less at most the resampler's start-up delay (a few ms).
        EXPECT_LE(s.size(), 48000u);
        EXPECT_GE(s.size(), 48000u - 160);

        // Sample by sample against the ideal 48 kHz sine (after the filter's start-up): frequency, level and phase
        // are kept, and the resampler neither shifts nor smears the signal.
        double err = 0, sig = 0;
        for (size_t i = 4800; i < s.size(); ++i) {
            const double ideal = 0.5 * 32767 * std::sin(2 * std::numbers::pi * 1000 * double(i) / 48000);
            err += (s[i] - ideal) * (s[i] - ideal);
            sig += ideal * ideal;
        }
        const double snrDb = 10 * std::log10(sig / err);
        EXPECT_GT(snrDb, 60.0);
    }
}

TEST(PcmConverterTest, StateCarriesAcrossBuffersAndRestartsOnFormatChange) {
    const AudioFormat cd{44100, 2, AudioFormat::SampleType::Float32, true};
    // The same second of audio cut into 10 ms buffers or given whole converts to the same samples: the
    // resampler's history survives between buffers.
    PcmConverter pieces, whole;
    const QByteArray a = convertInPieces(pieces, cd, 440, 44100, 441);
    const QByteArray b = convertInPieces(whole, cd, 440, 44100, 44100);
    const auto sa = samples(a), sb = samples(b);
    ASSERT_GT(sa.size(), 47000u);
    const size_t n = std::min(sa.size(), sb.size());
    int maxDiff = 0;
    for (size_t i = 0; i < n; ++i)
        maxDiff = std::max(maxDiff, std::abs(sa[i] - sb[i]));
    EXPECT_LE(maxDiff, 1);

    // Another format starts a fresh converter; returning to the first one starts yet another.
    const AudioFormat phone{16000, 1, AudioFormat::SampleType::Int16, true};
    const QByteArray fromPhone = convertInPieces(pieces, phone, 440, 16000, 160);
    EXPECT_EQ(pieces.builds(), 2);
    EXPECT_NEAR(double(fromPhone.size()), 96000.0, 200.0); // 3x the frames, 2 bytes each
    convertInPieces(pieces, cd, 440, 4410, 441);
    EXPECT_EQ(pieces.builds(), 3);
}

TEST(PcmConverterTest, MixingPassthroughAndMalformedInput) {
    // Channels are averaged: opposite phases cancel, a one-sided signal halves.
    PcmConverter converter;
    const AudioFormat stereo{48000, 2, AudioFormat::SampleType::Int16, true};
    const auto cancelled = samples(converter.convert(sine(stereo, 1000, 0.5, 0, 480, {1.0, -1.0})));
    ASSERT_EQ(cancelled.size(), 480u);
    EXPECT_TRUE(std::all_of(cancelled.begin(), cancelled.end(), [](qint16 v) { return std::abs(v) <= 1; }));
    const auto oneSided = samples(converter.convert(sine(stereo, 1000, 0.5, 12, 1, {1.0, 0.0})));
    ASSERT_EQ(oneSided.size(), 1u);
    EXPECT_NEAR(oneSided[0], 0.25 * 32767 * std::sin(2 * std::numbers::pi * 12 / 48), 2);

    // Float beyond full scale clips instead of wrapping round.
    const AudioFormat loud{48000, 1, AudioFormat::SampleType::Float32, true};
    const auto clipped = samples(converter.convert(sine(loud, 1000, 3.0, 0, 48)));
    EXPECT_EQ(*std::max_element(clipped.begin(), clipped.end()), 32767);
    EXPECT_EQ(*std::min_element(clipped.begin(), clipped.end()), -32768);

    // The target format itself passes through byte for byte.
    const AudioChunk target = sine({48000, 1, AudioFormat::SampleType::Int16, true}, 300, 0.7, 0, 480);
    EXPECT_EQ(converter.convert(target), target.data);

    // Torn or impossible buffers give nothing.
    AudioChunk torn = target, noChannels = target, noRate = target;
    torn.data.chop(1);
    noChannels.format.channels = 0;
    noRate.format.sampleRate = 0;
    for (const AudioChunk& bad : {torn, noChannels, noRate, AudioChunk{}})
        EXPECT_TRUE(converter.convert(bad).isEmpty()) << bad.data.size() << " bytes, " << bad.format.channels << " ch";
    // A valid buffer afterwards converts again.
    EXPECT_EQ(converter.convert(target), target.data);
}
