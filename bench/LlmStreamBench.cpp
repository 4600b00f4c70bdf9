// From the model peer writing one server-sent event to onChunk receiving its text, over loopback.
// The peer runs on its own thread and writes the next event only after the client has taken the previous one,
// so each figure is one event's latency, not a queue's. Client CPU = process CPU less the peer thread's.
#include "assistant/GeminiClient.h"

#include "core/Clock.h"
#include "core/Settings.h"
#include "peers/HttpPeer.h"
#include "peers/LlmPeer.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <vector>

using namespace quippet;

namespace {

constexpr int kWarmUp = 50;
constexpr int kEvents = 1000;
constexpr int kTotal = kWarmUp + kEvents;

qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

qint64 cpuNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The model peer, living on its own thread.
class PeerThread {
public:
    PeerThread() : m_written(kTotal) {
        m_peer = new test::HttpPeer;
        m_peer->moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(
            m_peer,
            [this] {
                m_peer->start();
                m_peer->routeStream("POST", QStringLiteral("/v1beta/models/gemini-flash-latest:streamGenerateContent"),
                                    [this](const test::HttpRequest&, test::HttpStream* stream) {
                                        m_stream = stream;
                                        stream->writeHead(200, {{"Content-Type", "text/event-stream"}});
                                        m_cpuStart = cpuNs(CLOCK_THREAD_CPUTIME_ID);
                                        write(0);
                                    });
            },
            Qt::BlockingQueuedConnection);
    }
    ~PeerThread() {
        QMetaObject::invokeMethod(
            m_peer, [this] { delete m_peer; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    QUrl baseUrl() const { return m_peer->baseUrl(); }

    // Called from the client's thread: the peer writes event `index` (or ends the stream) on its own thread.
    void requestWrite(int index) {
        QMetaObject::invokeMethod(
            m_peer, [this, index] { write(index); }, Qt::QueuedConnection);
    }
    qint64 writtenAt(int index) const { return m_written[size_t(index)].load(std::memory_order_acquire); }
    qint64 cpuUsed() {
        qint64 used = 0;
        QMetaObject::invokeMethod(
            m_peer, [&] { used = cpuNs(CLOCK_THREAD_CPUTIME_ID) - m_cpuStart; }, Qt::BlockingQueuedConnection);
        return used;
    }

private:
    void write(int index) {
        if (!m_stream)
            return;
        if (index >= kTotal) {
            // The answer's last event carries the finish reason; a stream without it counts as cut off.
            m_stream->write(
                test::LlmPeer::event(QJsonObject{{"candidates", QJsonArray{QJsonObject{{"finishReason", "STOP"}}}}}));
            m_stream->end();
            return;
        }
        const QByteArray event = test::LlmPeer::textEvent({QStringLiteral("słowo %1 ").arg(index)});
        m_written[size_t(index)].store(nowNs(), std::memory_order_release);
        m_stream->write(event);
    }

    QThread m_thread;
    test::HttpPeer* m_peer;
    QPointer<test::HttpStream> m_stream;
    std::vector<std::atomic<qint64>> m_written;
    qint64 m_cpuStart = 0;
};

void BM_LlmStreamEventToChunk(benchmark::State& state) {
    test::MemorySecretStore store;
    Keychain keychain(store);
    keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("bench-key"));
    RateGate gate(1'000'000);
    SystemClock systemClock;
    GeminiClient client(keychain, systemClock, gate);

    std::vector<double> latenciesUs;
    double clientCpuUsPerEvent = 0;
    for (auto _ : state) {
        PeerThread peer;
        Settings::setValue(Settings::kGeminiBaseUrl, peer.baseUrl().toString());
        latenciesUs.clear();
        latenciesUs.reserve(kEvents);
        QEventLoop loop;
        QObject context;
        qint64 processCpuStart = 0;
        LlmClient::Callbacks callbacks;
        callbacks.onChunk = [&](const QString& text) {
            const qint64 received = nowNs();
            const int index = text.section(QLatin1Char(' '), 1, 1).toInt();
            if (index == kWarmUp)
                processCpuStart = cpuNs(CLOCK_PROCESS_CPUTIME_ID);
            if (index >= kWarmUp)
                latenciesUs.push_back(double(received - peer.writtenAt(index)) / 1000.0);
            peer.requestWrite(index + 1);
        };
        callbacks.onDone = [&](const std::optional<QString>& error) {
            if (error)
                state.SkipWithError(error->toUtf8().constData());
            loop.quit();
        };
        client.stream(QStringLiteral("system"), {LlmPart{QStringLiteral("pytanie"), {}}}, callbacks, &context);
        loop.exec();
        const qint64 processCpu = cpuNs(CLOCK_PROCESS_CPUTIME_ID) - processCpuStart;
        // The peer's CPU since its first write; its share in the warm-up is small against 1000 events.
        const qint64 peerCpu = peer.cpuUsed();
        clientCpuUsPerEvent = double(processCpu - peerCpu) / 1000.0 / kEvents;
    }
    if (latenciesUs.size() != size_t(kEvents))
        return;
    std::sort(latenciesUs.begin(), latenciesUs.end());
    state.counters["events"] = double(kEvents);
    state.counters["median_us"] = latenciesUs[latenciesUs.size() / 2];
    state.counters["p99_us"] = latenciesUs[size_t(double(latenciesUs.size()) * 0.99)];
    state.counters["max_us"] = latenciesUs.back();
    state.counters["client_cpu_us_per_event"] = clientCpuUsPerEvent;
}
BENCHMARK(BM_LlmStreamEventToChunk)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
