// Latency from the sound server's read callback to the hand-over of the same samples on the main thread, against
// a private PulseAudio daemon with a stream kept playing into the default output (needs pulseaudio installed).
#include "audio/AudioCapture.h"
#include "audio/Keychain.h"
#include "audio/PulseAudioSystem.h"
#include "platform/DiagnosticsLog.h"
#include "platform/ManualClock.h"
#include "support/PulseFixture.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <vector>

using namespace quippet;

namespace {

struct NoSecrets final : SecretStore {
    std::optional<QString> readRaw(const QString&, const QString&) override { return std::nullopt; }
    bool write(const QString&, const QString&, const QString&) override { return false; }
    void remove(const QString&, const QString&) override {}
};

void BM_ReadCallbackToHandOver(benchmark::State& state) {
    if (!test::PulseServer::binaryAvailable()) {
        state.SkipWithError("pulseaudio is not installed");
        return;
    }
    test::PulseServer server;
    if (!server.start()) {
        state.SkipWithError("the private sound server did not start");
        return;
    }
    server.keepAwake(QStringLiteral("speakers"));
    server.keepAwake(QStringLiteral("micfeed"));

    ManualClock clock;
    NoSecrets secrets;
    Keychain keychain(secrets);
    DiagnosticsLog log(clock);
    AudioCapture capture(clock, keychain, log, std::make_unique<PulseAudioSystem>());
    std::vector<double> latenciesMs;
    capture.onHandOver = [&](AudioChannel, std::chrono::steady_clock::time_point readAt) {
        latenciesMs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - readAt).count());
    };
    capture.start();

    for (auto _ : state) {
        latenciesMs.clear();
        QEventLoop loop;
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (latenciesMs.empty()) {
        state.SkipWithError("no audio arrived");
        return;
    }
    std::sort(latenciesMs.begin(), latenciesMs.end());
    state.counters["buffers"] = double(latenciesMs.size());
    state.counters["median_ms"] = latenciesMs[latenciesMs.size() / 2];
    state.counters["p99_ms"] = latenciesMs[std::min(latenciesMs.size() - 1, latenciesMs.size() * 99 / 100)];
    state.counters["max_ms"] = latenciesMs.back();
}

} // namespace

BENCHMARK(BM_ReadCallbackToHandOver)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
