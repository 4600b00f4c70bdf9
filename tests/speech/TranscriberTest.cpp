#include "speech/ElevenLabsTranscriber.h"

#include "core/Settings.h"
#include "peers/HttpPeer.h"
#include "peers/SttPeer.h"
#include "support/ManualClock.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QMutex>
#include <QtEndian>

using namespace quippet;
using namespace quippet::test;
using namespace std::chrono_literals;

namespace {

// A credential source the test steers; records when (on the fake clock) it was asked.
class FakeProvider final : public CredentialProvider {
public:
    explicit FakeProvider(Clock& clock) : m_clock(clock) {}
    void credential(std::function<void(CredentialResult)> done) override {
        CredentialResult answer = QStringLiteral("brak klucza");
        {
            QMutexLocker lock(&m_mutex);
            m_askedAt.append(m_clock.monotonic());
            if (m_key)
                answer = Credential{Credential::Kind::ApiKey, *m_key};
        }
        done(answer);
    }
    void setKey(std::optional<QString> key) {
        QMutexLocker lock(&m_mutex);
        m_key = std::move(key);
    }
    QList<std::chrono::milliseconds> askedAt() const {
        QMutexLocker lock(&m_mutex);
        return m_askedAt;
    }

private:
    Clock& m_clock;
    mutable QMutex m_mutex;
    std::optional<QString> m_key;
    QList<std::chrono::milliseconds> m_askedAt;
};

// 48 kHz mono s16 frames holding a running counter, so any byte range of the stream is recognisable.
AudioChunk counterChunk(int frames, int& next) {
    AudioChunk chunk;
    chunk.data.resize(frames * 2);
    for (int i = 0; i < frames; ++i)
        qToLittleEndian(qint16(next++ & 0x7fff), chunk.data.data() + i * 2);
    return chunk;
}

struct Fixture {
    explicit Fixture(const QString& label = QStringLiteral("KLIENT"), const QString& language = QStringLiteral("pl")) {
        EXPECT_TRUE(peer.start());
        peer.setApiKey(QStringLiteral("sk_test"));
        Settings::setValue(Settings::kElevenLabsBaseUrl, peer.baseUrl().toString());
        provider = std::make_shared<FakeProvider>(clock);
        provider->setKey(QStringLiteral("sk_test"));
        transcriber = std::make_unique<ElevenLabsTranscriber>(label, language, provider, clock);
        QObject::connect(transcriber.get(), &ElevenLabsTranscriber::statusLine,
                         [this](const QString& line) { statuses.append(line); });
        QObject::connect(transcriber.get(), &ElevenLabsTranscriber::transcript,
                         [this](const QString& text, bool isFinal) {
                             texts.append({text, isFinal});
                         });
    }

    bool waitConnected() {
        return waitUntil([&] { return transcriber->state().connected; });
    }
    bool waitStatus(const QString& line) {
        return waitUntil([&] { return statuses.contains(line); });
    }
    bool waitReconnectScheduled() {
        return waitUntil([&] { return transcriber->state().reconnectScheduled; });
    }

    TempHome home;
    ManualClock clock;
    SttPeer peer;
    std::shared_ptr<FakeProvider> provider;
    std::unique_ptr<ElevenLabsTranscriber> transcriber;
    QStringList statuses;
    QList<std::pair<QString, bool>> texts;
};

// The speech service and a backend that issues its tokens; `answer` gets the number of the request.
struct TokenSetup {
    explicit TokenSetup(std::function<HttpResponse(int)> answer) {
        EXPECT_TRUE(peer.start());
        EXPECT_TRUE(backend.start());
        backend.route("POST", QStringLiteral("/api/stt/token"),
                      [this, answer](const HttpRequest&) { return answer(++issued); });
        Settings::setValue(Settings::kElevenLabsBaseUrl, peer.baseUrl().toString());
        provider = std::make_shared<BackendCredentialProvider>(
            appendPath(backend.baseUrl(), QStringLiteral("api/stt/token")), QStringLiteral("session-abc"));
    }

    TempHome home;
    ManualClock clock;
    SttPeer peer;
    HttpPeer backend;
    int issued = 0;
    std::shared_ptr<CredentialProvider> provider;
};

} // namespace

TEST(TranscriberUrlTest, SchemePathAndQueryForEachCredential) {
    TempHome home;
    // QSettings resolves its file once per process, so an earlier case's preference may still be there.
    Settings::remove(Settings::kElevenLabsBaseUrl);
    EXPECT_EQ(ElevenLabsTranscriber::serviceBaseUrl(), QUrl(QStringLiteral("https://api.eu.residency.elevenlabs.io")));
    Settings::setValue(Settings::kElevenLabsBaseUrl, QStringLiteral("http://127.0.0.1:9000/"));
    EXPECT_EQ(ElevenLabsTranscriber::serviceBaseUrl(), QUrl(QStringLiteral("http://127.0.0.1:9000/")));

    const QUrl withKey =
        ElevenLabsTranscriber::realtimeUrl(QUrl(QStringLiteral("https://stt.example/")), QStringLiteral("pl"),
                                           Credential{Credential::Kind::ApiKey, QStringLiteral("sk_x")});
    EXPECT_EQ(withKey.toString(),
              QStringLiteral("wss://stt.example/v1/speech-to-text/realtime?model_id=scribe_v2_realtime&audio_format="
                             "pcm_48000&language_code=pl&commit_strategy=vad&filter_background_audio=true"));

    const QUrl withToken =
        ElevenLabsTranscriber::realtimeUrl(QUrl(QStringLiteral("http://127.0.0.1:9000")), QString(),
                                           Credential{Credential::Kind::Token, QStringLiteral("t&1+/=")});
    EXPECT_EQ(withToken.scheme(), QStringLiteral("ws"));
    const QUrlQuery query(withToken);
    EXPECT_FALSE(query.hasQueryItem(QStringLiteral("language_code")));
    EXPECT_EQ(query.queryItems().last().first, QStringLiteral("token"));
    EXPECT_EQ(query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded), QStringLiteral("t&1+/="));
    EXPECT_TRUE(withToken.toEncoded().endsWith("&token=t%261%2B%2F%3D")) << withToken.toEncoded().constData();
}

TEST(TranscriberStreamingTest, SmallBuffersAreBatchedIntoBase64JsonChunks) {
    Fixture f;
    f.transcriber->start();
    ASSERT_TRUE(f.waitStatus(QStringLiteral("KLIENT: połączono ze Scribe")));
    ASSERT_TRUE(f.waitConnected());
    const SttPeer::Connection& conn = f.peer.connections().first();
    EXPECT_EQ(conn.apiKey, QStringLiteral("sk_test"));
    EXPECT_FALSE(conn.query().hasQueryItem(QStringLiteral("token")));
    EXPECT_EQ(conn.query().queryItemValue(QStringLiteral("language_code")), QStringLiteral("pl"));

    // Four 10 ms buffers (3840 bytes) stay below the minimum; the fifth sends all 4800 bytes at once.
    int next = 0;
    QByteArray fed;
    for (int i = 0; i < 4; ++i) {
        AudioChunk c = counterChunk(480, next);
        fed += c.data;
        f.transcriber->append(c);
    }
    EXPECT_EQ(f.transcriber->state().sentChunks, 0);
    EXPECT_EQ(f.transcriber->state().pendingBytes, 3840);
    AudioChunk fifth = counterChunk(480, next);
    fed += fifth.data;
    f.transcriber->append(fifth);
    ASSERT_TRUE(f.peer.waitForChunks(1));
    const SttPeer::Connection& after = f.peer.connections().first();
    ASSERT_EQ(after.chunks.size(), 1);
    EXPECT_EQ(after.chunks.first(), fed);
    const QJsonObject message = after.messages.first();
    EXPECT_EQ(message.keys(), (QStringList{QStringLiteral("audio_base_64"), QStringLiteral("message_type"),
                                           QStringLiteral("sample_rate")}));
    EXPECT_EQ(message.value(QLatin1String("message_type")).toString(), QStringLiteral("input_audio_chunk"));
    EXPECT_EQ(message.value(QLatin1String("sample_rate")), QJsonValue(48000)); // a number, not a text

    // "wysyłam audio" is said for the first chunk only.
    for (int i = 0; i < 20; ++i)
        f.transcriber->append(counterChunk(480, next));
    ASSERT_TRUE(f.peer.waitForChunks(5));
    f.transcriber->sync();
    QCoreApplication::processEvents();
    EXPECT_EQ(f.statuses.count(QStringLiteral("KLIENT: wysyłam audio")), 1);
    for (const QByteArray& chunk : f.peer.connections().first().chunks)
        EXPECT_GE(chunk.size(), ElevenLabsTranscriber::kMinChunkBytes);

    // A buffer in another format rebuilds the converter and comes out at 48 kHz: 441 frames at 44.1 kHz -> ~480.
    EXPECT_EQ(f.transcriber->state().converterBuilds, 1);
    const qsizetype before = f.transcriber->state().pendingBytes;
    AudioChunk stereo;
    stereo.format = {44100, 2, AudioFormat::SampleType::Float32, true};
    stereo.data = QByteArray(441 * 2 * 4, '\0');
    for (int i = 0; i < 3; ++i)
        f.transcriber->append(stereo);
    const auto s = f.transcriber->state();
    EXPECT_EQ(s.converterBuilds, 2);
    EXPECT_NEAR(double(s.pendingBytes - before), 3 * 960.0, 120.0);
}

TEST(TranscriberOfflineTest, KeepsTheNewest192000BytesForTheNextConnection) {
    Fixture f;
    f.provider->setKey(std::nullopt);
    f.transcriber->start();
    ASSERT_TRUE(f.waitStatus(QStringLiteral("KLIENT: brak klucza")));

    // Five seconds without a connection.
    int next = 0;
    QByteArray fed;
    for (int i = 0; i < 500; ++i) {
        AudioChunk c = counterChunk(480, next);
        fed += c.data;
        f.transcriber->append(c);
    }
    EXPECT_EQ(f.transcriber->state().pendingBytes, 192000);

    f.provider->setKey(QStringLiteral("sk_test"));
    f.clock.advance(1600ms);
    ASSERT_TRUE(f.waitStatus(QStringLiteral("KLIENT: połączono ze Scribe")));
    ASSERT_TRUE(f.waitConnected());
    AudioChunk fresh = counterChunk(480, next);
    f.transcriber->append(fresh);
    ASSERT_TRUE(f.peer.waitForChunks(1));
    EXPECT_EQ(f.peer.connections().last().chunks.first(), fed.right(192000) + fresh.data);
}

TEST(TranscriberReconnectTest, BackoffSeriesResetsOnSessionStarted) {
    Fixture f;
    f.provider->setKey(std::nullopt);
    f.transcriber->start();
    ASSERT_TRUE(f.waitReconnectScheduled());

    const QList<std::chrono::milliseconds> expected = {1600ms, 2560ms, 4096ms, 6554ms, 8000ms, 8000ms, 8000ms};
    for (const auto delay : expected) {
        const qsizetype asked = f.provider->askedAt().size();
        f.clock.advance(delay - 1ms);
        f.transcriber->sync();
        EXPECT_EQ(f.provider->askedAt().size(), asked) << "asked early, delay " << delay.count();
        f.clock.advance(1ms);
        ASSERT_TRUE(waitUntil([&] { return f.provider->askedAt().size() == asked + 1; })) << delay.count();
        ASSERT_TRUE(f.waitReconnectScheduled());
    }
    EXPECT_EQ(f.transcriber->state().reconnects, 8);

    // The next attempt succeeds; "session_started" clears the count, so a drop waits 1.6 s again.
    f.provider->setKey(QStringLiteral("sk_test"));
    f.clock.advance(8000ms);
    ASSERT_TRUE(f.waitStatus(QStringLiteral("KLIENT: połączono ze Scribe")));
    ASSERT_TRUE(f.waitConnected());
    EXPECT_EQ(f.transcriber->state().reconnects, 0);

    int next = 0;
    for (int i = 0; i < 5; ++i)
        f.transcriber->append(counterChunk(480, next));
    ASSERT_TRUE(f.peer.waitForChunks(1));
    f.peer.drop();
    ASSERT_TRUE(f.waitReconnectScheduled());
    EXPECT_FALSE(f.transcriber->state().connected);
    const qsizetype asked = f.provider->askedAt().size();
    f.clock.advance(1599ms);
    f.transcriber->sync();
    EXPECT_EQ(f.provider->askedAt().size(), asked);
    f.clock.advance(1ms);
    ASSERT_TRUE(f.peer.waitForConnections(2));
    // Audio has gone out before, so this session is a resumption.
    ASSERT_TRUE(f.waitStatus(QStringLiteral("KLIENT: wznowiono połączenie")));
    EXPECT_EQ(f.statuses.count(QStringLiteral("KLIENT: połączono ze Scribe")), 1);

    // A close by the service is handled like a drop.
    ASSERT_TRUE(f.waitConnected());
    f.peer.close(1011);
    ASSERT_TRUE(f.waitReconnectScheduled());
    f.clock.advance(1600ms);
    ASSERT_TRUE(f.peer.waitForConnections(3));
}

TEST(TranscriberReconnectTest, StopClosesGoingAwayAndCancelsEverything) {
    Fixture f;
    f.transcriber->start();
    ASSERT_TRUE(f.waitConnected());
    f.transcriber->stop();
    ASSERT_TRUE(f.peer.waitForClosed());
    EXPECT_EQ(f.peer.connections().first().closeCode, 1001);

    // Stopped while waiting to reconnect: the delay passes without an attempt, audio only accumulates (bounded).
    f.transcriber->start();
    ASSERT_TRUE(f.peer.waitForConnections(2));
    ASSERT_TRUE(f.waitConnected());
    f.peer.drop();
    ASSERT_TRUE(f.waitReconnectScheduled());
    f.transcriber->stop();
    const qsizetype asked = f.provider->askedAt().size();
    f.clock.advance(60s);
    f.transcriber->sync();
    QCoreApplication::processEvents();
    EXPECT_EQ(f.provider->askedAt().size(), asked);
    int next = 0;
    for (int i = 0; i < 300; ++i)
        f.transcriber->append(counterChunk(480, next));
    const auto s = f.transcriber->state();
    EXPECT_EQ(s.pendingBytes, 192000);
    EXPECT_EQ(s.sentChunks, 0);
    EXPECT_EQ(f.peer.connections().size(), 2);

    // Stopping and dropping at once (as when listening ends) still says goodbye to the service.
    f.transcriber->start();
    ASSERT_TRUE(f.peer.waitForConnections(3));
    ASSERT_TRUE(f.waitConnected());
    f.transcriber->stop();
    f.transcriber.reset();
    ASSERT_TRUE(f.peer.waitForClosed());
    EXPECT_EQ(f.peer.connections().last().closeCode, 1001);
}

TEST(TranscriberMessagesTest, TranscriptsErrorsAndMalformedMessages) {
    Fixture f;
    f.transcriber->start();
    ASSERT_TRUE(f.waitConnected());
    ASSERT_TRUE(f.waitStatus(QStringLiteral("KLIENT: połączono ze Scribe")));
    f.statuses.clear();

    auto msg = [](const char* type, const QJsonValue& text = QJsonValue::Undefined) {
        QJsonObject o{{QStringLiteral("message_type"), QString::fromLatin1(type)}};
        if (!text.isUndefined())
            o.insert(QStringLiteral("text"), text);
        return o;
    };
    f.peer.send(msg("partial_transcript", QStringLiteral("Dzień do")));
    f.peer.send(msg("committed_transcript", QStringLiteral(" Dzień dobry ")));
    f.peer.send(msg("final_transcript", QStringLiteral("Jak się masz?")));
    f.peer.send(msg("partial_transcript", 42)); // text is not a text: ignored
    f.peer.send(msg("committed_transcript"));   // no text: ignored
    f.peer.sendRaw(QStringLiteral("not json"));
    f.peer.sendRaw(QStringLiteral("[1,2]"));
    f.peer.sendRaw(QStringLiteral("{\"message_type\":7}"));
    f.peer.sendRaw(QStringLiteral("{\"text\":\"no type\"}"));
    f.peer.send({{QStringLiteral("message_type"), QStringLiteral("quota_exceeded")},
                 {QStringLiteral("error"), QStringLiteral("Przekroczono limit")}});
    f.peer.send({{QStringLiteral("message_type"), QStringLiteral("input_error")}, {QStringLiteral("error"), 5}});
    f.peer.sendBinary(QByteArray(R"({"message_type":"committed_transcript","text":"zażółć"})"));
    f.peer.sendBinary(QByteArray("{\"message_type\":\"committed_transcript\",\"text\":\"\xff\xfe\"}"));
    f.peer.send(msg("partial_transcript", QString()));
    ASSERT_TRUE(waitUntil([&] { return f.texts.size() >= 5; }));
    f.transcriber->sync();
    QCoreApplication::processEvents();

    const QList<std::pair<QString, bool>> expected = {{QStringLiteral("Dzień do"), false},
                                                      {QStringLiteral(" Dzień dobry "), true},
                                                      {QStringLiteral("Jak się masz?"), true},
                                                      {QStringLiteral("zażółć"), true},
                                                      {QString(), false}};
    EXPECT_EQ(f.texts, expected);
    EXPECT_EQ(f.statuses,
              (QStringList{QStringLiteral("KLIENT: Przekroczono limit"), QStringLiteral("KLIENT: input_error")}));
    // Error messages leave the connection as it is.
    EXPECT_TRUE(f.transcriber->state().connected);
}

TEST(TranscriberCredentialsTest, BackendTokensGoInTheQueryOncePerAttempt) {
    TokenSetup t([](int issued) {
        if (issued == 3)
            return HttpResponse::json(201, R"({"token":"tok-3"})");
        // The third token was refused, so the fourth attempt reuses an old token, which the service rejects.
        return HttpResponse::json(200, QByteArray(R"({"token":"tok-)") + QByteArray::number(issued == 4 ? 1 : issued) +
                                           "\"}");
    });
    auto& [home, clock, peer, backend, issued, provider] = t;
    peer.addToken(QStringLiteral("tok-1"));
    peer.addToken(QStringLiteral("tok-2"));
    ElevenLabsTranscriber transcriber(QStringLiteral("TY"), QStringLiteral("en"), provider, clock);
    QStringList statuses;
    QObject::connect(&transcriber, &ElevenLabsTranscriber::statusLine, [&](const QString& l) { statuses.append(l); });
    auto waitScheduled = [&] { return waitUntil([&] { return transcriber.state().reconnectScheduled; }); };

    transcriber.start();
    ASSERT_TRUE(peer.waitForConnections(1));
    ASSERT_TRUE(waitUntil([&] { return transcriber.state().connected; }));
    const SttPeer::Connection first = peer.connections().first();
    EXPECT_TRUE(first.accepted);
    EXPECT_EQ(first.token, QStringLiteral("tok-1"));
    EXPECT_TRUE(first.apiKey.isEmpty());
    EXPECT_EQ(first.query().queryItemValue(QStringLiteral("language_code")), QStringLiteral("en"));
    EXPECT_EQ(backend.requests().first().header("authorization"), QByteArray("Bearer session-abc"));

    // Every reconnection asks for a fresh token.
    peer.drop();
    ASSERT_TRUE(waitScheduled());
    clock.advance(1600ms);
    ASSERT_TRUE(peer.waitForConnections(2));
    EXPECT_EQ(peer.connections().at(1).token, QStringLiteral("tok-2"));
    ASSERT_TRUE(waitUntil([&] { return statuses.count(QStringLiteral("TY: połączono ze Scribe")) == 2; }));

    // A refusal by the backend is reported and retried.
    peer.drop();
    ASSERT_TRUE(waitScheduled());
    clock.advance(1600ms);
    ASSERT_TRUE(waitUntil([&] { return statuses.contains(QStringLiteral("TY: backend nie wydał tokenu do Scribe")); }));
    ASSERT_TRUE(waitScheduled());
    EXPECT_EQ(peer.connections().size(), 2);

    // A used token is rejected by the service: its error is reported and the connection's end leads to a retry.
    clock.advance(2560ms);
    ASSERT_TRUE(peer.waitForConnections(3));
    EXPECT_FALSE(peer.connections().at(2).accepted);
    ASSERT_TRUE(waitUntil([&] { return statuses.contains(QStringLiteral("TY: missing or used token")); }));
    ASSERT_TRUE(waitScheduled());
    EXPECT_EQ(issued, 4);
}

TEST(TranscriberCredentialsTest, OneProviderServesBothChannelsAndAStalledHandshakeIsRetried) {
    TokenSetup t([](int issued) {
        return HttpResponse::json(200, QByteArray(R"({"token":"stt-)") + QByteArray::number(issued) + "\"}");
    });
    auto& [home, clock, peer, backend, issued, provider] = t;
    peer.setTokenPrefix(QStringLiteral("stt-"));

    static QStringList threadWarnings;
    threadWarnings.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
            if (m.contains(QLatin1String("thread"), Qt::CaseInsensitive))
                threadWarnings.append(m);
        });
    {
        ElevenLabsTranscriber client(QStringLiteral("KLIENT"), QStringLiteral("pl"), provider, clock);
        ElevenLabsTranscriber mic(QStringLiteral("TY"), QStringLiteral("pl"), provider, clock);
        client.start();
        mic.start();
        ASSERT_TRUE(peer.waitForConnections(2));
        ASSERT_TRUE(waitUntil([&] { return client.state().connected && mic.state().connected; }));
        EXPECT_EQ(issued, 2);
        EXPECT_EQ(peer.acceptedCount(), 2);
        EXPECT_NE(peer.connections().at(0).token, peer.connections().at(1).token);
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(threadWarnings.isEmpty()) << threadWarnings.join(QLatin1Char('\n')).toStdString();

    // A server that takes the connection but never completes the handshake: given up after 60 s, then retried.
    HttpPeer silent;
    ASSERT_TRUE(silent.start());
    HttpResponse hang;
    hang.hang = true;
    silent.route("GET", QStringLiteral("/v1/speech-to-text/realtime"), hang);
    Settings::setValue(Settings::kElevenLabsBaseUrl, silent.baseUrl().toString());
    ElevenLabsTranscriber stalled(QStringLiteral("KLIENT"), QStringLiteral("pl"), provider, clock);
    stalled.start();
    ASSERT_TRUE(silent.waitForRequests(1));
    stalled.sync();
    EXPECT_FALSE(stalled.state().reconnectScheduled);
    clock.advance(std::chrono::seconds(60));
    ASSERT_TRUE(waitUntil([&] { return stalled.state().reconnectScheduled; }));
    clock.advance(1600ms);
    ASSERT_TRUE(silent.waitForRequests(2));
}
