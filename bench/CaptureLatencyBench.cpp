// Latency from the sound server's read callback to a watcher hearing of the same samples on the main thread, and
// from the read (where the samples are handed to the speech client) to the speech-to-text service, against a private
// PulseAudio daemon with a stream kept playing into the default output (needs pulseaudio installed).
#include "audio/AudioCapture.h"
#include "audio/PulseAudioSystem.h"
#include "core/DiagnosticsLog.h"
#include "core/Settings.h"
#include "peers/SttPeer.h"
#include "secrets/Credentials.h"
#include "secrets/Keychain.h"
#include "speech/ElevenLabsTranscriber.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/PulseFixture.h"
#include "support/TempHome.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <QTimer>
#include <mutex>

#include <algorithm>
#include <limits>
#include <tuple>
#include <vector>

using namespace quippet;

namespace {

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
    DiagnosticsLog log(clock);
    AudioCapture capture(clock, log, std::make_unique<PulseAudioSystem>());
    std::vector<double> latenciesMs;
    capture.setOnHandOver([&](AudioChannel, std::chrono::steady_clock::time_point readAt) {
        latenciesMs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - readAt).count());
    });
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

// What was handed to the client, on the sound server's thread: the running byte count after each buffer, and when.
struct Handed {
    std::mutex lock;
    qint64 total = 0;
    std::vector<std::pair<qint64, std::chrono::steady_clock::time_point>> at;
};

// A real speech-to-text client for the system audio only (the microphone's is a no-op), so the peer sees one
// connection whose bytes follow the system-audio hand-overs one to one.
struct ClientOnly final : TranscriberPort {
    ClientOnly(TranscriberSetup setup, std::shared_ptr<CredentialProvider> credentials, Clock& clock, Handed& handed)
        : m_handed(handed) {
        if (setup.label == QLatin1String("KLIENT"))
            m_transcriber =
                std::make_unique<ElevenLabsTranscriber>(setup.label, setup.language, std::move(credentials), clock);
    }
    void start() override {
        if (m_transcriber)
            m_transcriber->start();
    }
    void stop() override {
        if (m_transcriber)
            m_transcriber->stop();
    }
    void append(const AudioChunk& chunk) override {
        if (!m_transcriber)
            return;
        // The capture hands buffers over on the thread that read them, right after the read.
        const auto now = std::chrono::steady_clock::now();
        m_transcriber->append(chunk);
        const std::lock_guard<std::mutex> hold(m_handed.lock);
        m_handed.total += chunk.frames() * 2; // 48 kHz mono 16-bit after conversion
        m_handed.at.emplace_back(m_handed.total, now);
    }
    std::unique_ptr<ElevenLabsTranscriber> m_transcriber;
    Handed& m_handed;
};

// From the read callback to the speech-to-text service (a loopback peer) receiving the same samples: hand-over,
// conversion, batching into messages of at least kMinChunkBytes (80 ms), base64, JSON and the WebSocket.
void BM_ReadCallbackToServiceReceipt(benchmark::State& state) {
    if (!test::PulseServer::binaryAvailable()) {
        state.SkipWithError("pulseaudio is not installed");
        return;
    }
    test::TempHome home;
    test::PulseServer server;
    if (!server.start()) {
        state.SkipWithError("the private sound server did not start");
        return;
    }
    server.keepAwake(QStringLiteral("speakers"));
    test::SttPeer peer;
    peer.setApiKey(QStringLiteral("sk_bench"));
    peer.start();
    Settings::setValue(Settings::kElevenLabsBaseUrl, peer.baseUrl().toString());
    test::MemorySecretStore secrets;
    Keychain keychain(secrets);
    keychain.write(QLatin1String(Keychain::kElevenLabsKey), QStringLiteral("sk_bench"));

    SystemClock clock;
    DiagnosticsLog log(clock);
    AudioCapture capture(clock, log, std::make_unique<PulseAudioSystem>());
    Handed handedToClient;
    capture.setTranscriberFactory([&](TranscriberSetup setup) -> std::unique_ptr<TranscriberPort> {
        return std::make_unique<ClientOnly>(std::move(setup), std::make_shared<KeychainCredentialProvider>(keychain),
                                            clock, handedToClient);
    });
    std::vector<std::tuple<qint64, qint64, std::chrono::steady_clock::time_point>> received; // peer total, ours, when
    QObject::connect(&peer, &test::SttPeer::chunkReceived, [&] {
        const std::lock_guard<std::mutex> hold(handedToClient.lock);
        if (const auto* c = peer.last())
            received.emplace_back(c->audio.size(), handedToClient.total, std::chrono::steady_clock::now());
    });
    capture.start();
    capture.setTranscription(true);

    for (auto _ : state) {
        QEventLoop loop;
        QTimer::singleShot(8000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    capture.setTranscription(false);
    const auto handed = handedToClient.at;
    if (received.size() < 20) {
        state.SkipWithError("too little audio reached the peer");
        return;
    }
    // Audio kept from before the connection shifts the peer's count by a constant; the smallest gap between what
    // was handed over and what arrived is that shift (up to one batch).
    qint64 shift = std::numeric_limits<qint64>::max();
    for (const auto& [peerTotal, ours, when] : received)
        shift = std::min(shift, ours - peerTotal);
    std::vector<double> latenciesMs;
    size_t j = 0;
    for (const auto& [end, readAt] : handed) {
        while (j < received.size() && std::get<0>(received[j]) + shift < end)
            ++j;
        if (j == received.size())
            break;
        if (std::get<2>(received[j]) >= readAt)
            latenciesMs.push_back(std::chrono::duration<double, std::milli>(std::get<2>(received[j]) - readAt).count());
    }
    std::sort(latenciesMs.begin(), latenciesMs.end());
    state.counters["messages"] = double(received.size());
    state.counters["median_ms"] = latenciesMs[latenciesMs.size() / 2];
    state.counters["p99_ms"] = latenciesMs[std::min(latenciesMs.size() - 1, latenciesMs.size() * 99 / 100)];
}
BENCHMARK(BM_ReadCallbackToServiceReceipt)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK(BM_ReadCallbackToHandOver)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
