// CPU cost of echo cancellation: one iteration is one second of 48 kHz audio through the canceller (far end and
// near end in 20 ms pieces, as the sound server delivers them), delay estimation included.
#include "audio/EchoCanceller.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

using namespace quippet;

namespace {

// Speech-like test signal: noise "syllables" of random length and loudness with short pauses between them.
std::vector<float> babble(size_t samples, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.2f);
    std::uniform_int_distribution<int> syllableMs(80, 250);
    std::uniform_real_distribution<float> loudness(0.1f, 1.0f);
    std::vector<float> out(samples, 0.0f);
    size_t i = 0;
    while (i < samples) {
        const size_t length = size_t(syllableMs(rng)) * 48;
        const float gain = loudness(rng);
        for (size_t j = 0; j < length && i < samples; ++j, ++i)
            out[i] = gain * noise(rng);
        i += size_t(syllableMs(rng) / 3) * 48; // pause
    }
    return out;
}

void BM_EchoCancellationPerAudioSecond(benchmark::State& state) {
    constexpr size_t kSecond = 48000;
    constexpr size_t kPiece = 960;
    const auto far = babble(kSecond * 4, 1);
    const auto voice = babble(kSecond * 4, 2);
    std::vector<float> near(far.size());
    for (size_t i = 0; i < near.size(); ++i)
        near[i] = (i >= 7200 ? 0.4f * far[i - 7200] : 0.0f) + 0.3f * voice[i]; // 150 ms echo path
    auto ec = EchoCanceller::create();
    if (!ec) {
        state.SkipWithError("echo canceller unavailable");
        return;
    }
    std::vector<float> out;
    out.reserve(kSecond + kPiece);
    size_t at = 0;
    for (auto _ : state) {
        out.clear();
        for (size_t done = 0; done < kSecond; done += kPiece) {
            if (at + kPiece > far.size())
                at = 0;
            ec->addFar(far.data() + at, kPiece);
            ec->processNear(near.data() + at, kPiece, out);
            at += kPiece;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["delay_ms"] = ec->delayMs();
    state.counters["realtime_x"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_EchoCancellationPerAudioSecond)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
