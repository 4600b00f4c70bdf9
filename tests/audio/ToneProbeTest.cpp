// The pre-call check's tone measurements on synthetic signals: is the tone there, and how much of it leaks into the
// microphone.
#include "audio/ToneProbe.h"
#include "audio/LevelStore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace quippet;

namespace {

constexpr int kProbeRate = 48000;

AudioChunk floatChunk(const std::vector<float>& mono, int channels = 1) {
    std::vector<float> interleaved;
    for (float v : mono)
        for (int c = 0; c < channels; ++c)
            interleaved.push_back(v);
    AudioChunk chunk;
    chunk.format = {kProbeRate, channels, AudioFormat::SampleType::Float32, true};
    chunk.data = QByteArray(reinterpret_cast<const char*>(interleaved.data()), qsizetype(interleaved.size() * 4));
    return chunk;
}

AudioChunk int16Chunk(const std::vector<float>& mono) {
    std::vector<qint16> pcm;
    for (float v : mono)
        pcm.push_back(qint16(std::lround(std::clamp(v, -1.0f, 0.99997f) * 32768.0f)));
    AudioChunk chunk;
    chunk.format = {kProbeRate, 1, AudioFormat::SampleType::Int16, true};
    chunk.data = QByteArray(reinterpret_cast<const char*>(pcm.data()), qsizetype(pcm.size() * 2));
    return chunk;
}

std::vector<float> noise(size_t n, double dbfs, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0f, float(std::pow(10.0, dbfs / 20)));
    std::vector<float> out(n);
    for (float& v : out)
        v = dist(rng);
    return out;
}

struct Scenario {
    const char* name;
    bool toneOnSystem;
    std::optional<double> leakDb; // tone in the microphone relative to the system audio
    int micDelayMs;
    bool int16Mic;
};

// 0.48 s of quiet, 2 s of tone, 0.3 s of tail, on both channels; each channel fed in 40 ms buffers as the sound
// server delivers them.
ToneReading measure(const Scenario& s) {
    const size_t buffer = kProbeRate / 25;
    const size_t quiet = 12 * buffer, play = 2 * kProbeRate, tail = kProbeRate * 3 / 10;
    const std::vector<float> tone = testTone(2.0, 0.06f);
    std::vector<float> system = noise(quiet + play + tail, -75, 1);
    std::vector<float> mic = noise(quiet + play + tail, -65, 2);
    if (s.toneOnSystem)
        for (size_t i = 0; i < tone.size(); ++i)
            system[quiet + i] += tone[i];
    if (s.leakDb) {
        const float gain = float(std::pow(10.0, *s.leakDb / 20));
        const size_t delay = size_t(s.micDelayMs) * kProbeRate / 1000;
        for (size_t i = 0; i < tone.size() && quiet + delay + i < mic.size(); ++i)
            mic[quiet + delay + i] += gain * tone[i];
    }
    ToneMeter meter;
    ToneMeter::Mark marks[3];
    for (size_t at = 0; at < system.size(); at += buffer) {
        if (at == 0)
            marks[0] = meter.mark();
        if (at == quiet)
            marks[1] = meter.mark();
        const size_t n = std::min(buffer, system.size() - at);
        const std::vector<float> sys(system.begin() + qsizetype(at), system.begin() + qsizetype(at + n));
        const std::vector<float> mc(mic.begin() + qsizetype(at), mic.begin() + qsizetype(at + n));
        meter.add(AudioChannel::System, floatChunk(sys, 2));
        meter.add(AudioChannel::Mic, s.int16Mic ? int16Chunk(mc) : floatChunk(mc));
    }
    marks[2] = meter.mark();
    return readTone(meter, marks[0], marks[1], marks[1], marks[2]);
}

} // namespace

TEST(ToneProbe, ToneAndLeakAreMeasuredWithinTwoDecibels) {
    const Scenario cases[] = {
        {"leak -20 dB", true, -20.0, 0, false},
        {"leak -40 dB", true, -40.0, 0, false},
        {"leak -20 dB, 16-bit microphone", true, -20.0, 0, true},
        {"leak -40 dB, echo 120 ms late", true, -40.0, 120, false},
        {"leak -6 dB (loudspeakers close by)", true, -6.0, 30, false},
    };
    for (const Scenario& s : cases) {
        SCOPED_TRACE(s.name);
        const ToneReading r = measure(s);
        EXPECT_TRUE(r.heard);
        ASSERT_TRUE(r.leakDb.has_value());
        EXPECT_NEAR(*r.leakDb, *s.leakDb, 2.0);
        EXPECT_GT(r.systemDb, r.systemNoiseDb + 30);
    }
}

TEST(ToneProbe, MissingToneAndMissingLeakAreTold) {
    // No tone reached the system audio: not heard, and no leak is claimed.
    const ToneReading silent = measure({"no tone", false, std::nullopt, 0, false});
    EXPECT_FALSE(silent.heard);
    EXPECT_FALSE(silent.leakDb.has_value());

    // Headphones: nothing in the microphone, so only an upper bound below the microphone's own noise.
    const ToneReading headphones = measure({"no leak", true, std::nullopt, 0, false});
    EXPECT_TRUE(headphones.heard);
    EXPECT_FALSE(headphones.leakDb.has_value());
    EXPECT_LT(headphones.leakFloorDb, -30);

    // A leak far under the microphone's noise is not invented either.
    const ToneReading buried = measure({"leak under the noise", true, -80.0, 0, false});
    EXPECT_FALSE(buried.leakDb.has_value());
}

TEST(ToneProbe, SpeechBandNoiseDoesNotPassForTheTone) {
    // A loud 440 Hz hum and broadband noise on the system audio while nothing plays the tone.
    ToneMeter meter;
    std::vector<float> hum = noise(3 * kProbeRate, -30, 3);
    for (size_t i = 0; i < hum.size(); ++i)
        hum[i] += 0.3f * float(std::sin(2 * M_PI * 440 * double(i) / kProbeRate));
    const auto quiet = meter.mark();
    meter.add(AudioChannel::System, floatChunk({hum.begin(), hum.begin() + kProbeRate}));
    const auto from = meter.mark();
    meter.add(AudioChannel::System, floatChunk({hum.begin() + kProbeRate, hum.end()}));
    EXPECT_FALSE(readTone(meter, quiet, from, from, meter.mark()).heard);
}

// A measurement keeps every buffer of its run: ten seconds of 10 ms buffers must not copy the whole run again for
// each one (that made the check fall behind the sound server in slower builds).
TEST(ToneProbe, AppendingBuffersGrowsStorageGeometrically) {
    const AudioChunk buffer = floatChunk(std::vector<float>(480, 0.1f), 2);
    std::vector<float> run;
    int reallocations = 0;
    for (int i = 0; i < 1000; ++i) {
        const float* before = run.data();
        appendMono(buffer.format, buffer.data.constData(), buffer.frames(), run);
        reallocations += run.data() != before;
    }
    EXPECT_EQ(run.size(), 480u * 1000);
    EXPECT_LT(reallocations, 30);
}
