// Per-channel cost of getting captured audio onto the wire: conversion to 48 kHz mono s16, batching into chunks
// of at least kMinChunkBytes (80 ms), base64 and the JSON message. Reported as a multiple of real time on one core.
#include "core/Clock.h"
#include "core/Settings.h"
#include "peers/SttPeer.h"
#include "speech/ElevenLabsTranscriber.h"
#include "speech/PcmConverter.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QString>
#include <QTimer>

#include <algorithm>

#include <cmath>
#include <cstring>
#include <numbers>

using namespace quippet;

namespace {

std::vector<AudioChunk> tenMsBuffers(const AudioFormat& format, int seconds) {
    const int frames = format.sampleRate / 100;
    std::vector<AudioChunk> out;
    qint64 n = 0;
    for (int b = 0; b < seconds * 100; ++b) {
        AudioChunk chunk;
        chunk.format = format;
        chunk.data.resize(qsizetype(frames) * format.channels * format.bytesPerSample());
        for (int i = 0; i < frames; ++i, ++n) {
            const double v = 0.3 * std::sin(2 * std::numbers::pi * 220 * double(n) / format.sampleRate) +
                             0.1 * std::sin(2 * std::numbers::pi * 3100 * double(n) / format.sampleRate);
            for (int c = 0; c < format.channels; ++c) {
                char* p = chunk.data.data() + (qsizetype(i) * format.channels + c) * format.bytesPerSample();
                if (format.sampleType == AudioFormat::SampleType::Float32) {
                    const float f = float(v);
                    std::memcpy(p, &f, 4);
                } else {
                    const qint16 s = qint16(std::lround(v * 32767));
                    std::memcpy(p, &s, 2);
                }
            }
        }
        out.push_back(std::move(chunk));
    }
    return out;
}

void pipeline(benchmark::State& state, const AudioFormat& format) {
    constexpr int kSeconds = 10;
    const auto buffers = tenMsBuffers(format, kSeconds);
    size_t sent = 0;
    for (auto _ : state) {
        PcmConverter converter;
        QByteArray pending;
        for (const AudioChunk& buffer : buffers) {
            pending += converter.convert(buffer);
            if (pending.size() < ElevenLabsTranscriber::kMinChunkBytes)
                continue;
            // The socket takes text as QString; the conversion is part of the cost.
            const QString message = QString::fromLatin1(ElevenLabsTranscriber::encodeChunk(pending));
            sent += size_t(message.size());
            pending.clear();
        }
        benchmark::DoNotOptimize(sent);
    }
    // Real-time factor: seconds of audio handled per second of CPU.
    state.counters["xRealtime"] =
        benchmark::Counter(double(kSeconds) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Pipeline_44k1StereoFloat(benchmark::State& state) {
    pipeline(state, {44100, 2, AudioFormat::SampleType::Float32, true});
}
void BM_Pipeline_48kStereoFloat(benchmark::State& state) {
    pipeline(state, {48000, 2, AudioFormat::SampleType::Float32, true});
}
void BM_Pipeline_48kMonoS16(benchmark::State& state) {
    pipeline(state, {48000, 1, AudioFormat::SampleType::Int16, true});
}

// From the capture thread's append() of the buffer that completes a chunk to the service (a loopback peer) holding
// that chunk: the worker-thread hop, conversion, encoding and the WebSocket round through the kernel.
void BM_AppendToServiceLatency(benchmark::State& state) {
    static int argc = 1;
    static char name[] = "bench_transcriber";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
    quippet::test::TempHome home;
    quippet::test::SttPeer peer;
    peer.setApiKey(QStringLiteral("sk_bench"));
    if (!peer.start()) {
        state.SkipWithError("peer cannot listen");
        return;
    }
    Settings::setValue(Settings::kElevenLabsBaseUrl, peer.baseUrl().toString());
    quippet::test::MemorySecretStore store;
    Keychain keychain(store);
    keychain.write(QLatin1String(Keychain::kElevenLabsKey), QStringLiteral("sk_bench"));
    SystemClock systemClock;
    ElevenLabsTranscriber transcriber(QStringLiteral("KLIENT"), QStringLiteral("pl"),
                                      std::make_shared<KeychainCredentialProvider>(keychain), systemClock);
    transcriber.start();
    QElapsedTimer wait;
    wait.start();
    while (!transcriber.state().connected && wait.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (!transcriber.state().connected) {
        state.SkipWithError("no connection");
        return;
    }

    const auto buffers = tenMsBuffers({48000, 1, AudioFormat::SampleType::Int16, true}, 1);
    std::vector<double> latenciesMs;
    size_t next = 0;
    for (auto _ : state) {
        for (int i = 0; i < 4; ++i)
            transcriber.append(buffers[next++ % buffers.size()]);
        transcriber.sync();
        const int before = peer.totalChunks();
        QEventLoop loop;
        QObject::connect(&peer, &quippet::test::SttPeer::chunkReceived, &loop, &QEventLoop::quit);
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        QElapsedTimer timer;
        timer.start();
        transcriber.append(buffers[next++ % buffers.size()]);
        if (peer.totalChunks() == before)
            loop.exec();
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        latenciesMs.push_back(ms);
        state.SetIterationTime(ms / 1000.0);
    }
    std::sort(latenciesMs.begin(), latenciesMs.end());
    if (!latenciesMs.empty()) {
        state.counters["median_ms"] = latenciesMs[latenciesMs.size() / 2];
        state.counters["p99_ms"] = latenciesMs[std::min(latenciesMs.size() - 1, latenciesMs.size() * 99 / 100)];
    }
}

} // namespace

BENCHMARK(BM_AppendToServiceLatency)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Pipeline_44k1StereoFloat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pipeline_48kStereoFloat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pipeline_48kMonoS16)->Unit(benchmark::kMillisecond);
