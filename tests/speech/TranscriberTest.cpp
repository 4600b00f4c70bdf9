#include "speech/ElevenLabsTranscriber.h"

#include "core/Settings.h"
#include "peers/HttpPeer.h"
#include "peers/SttPeer.h"
#include "support/ManualClock.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonObject>
#include <QtEndian>

using namespace quippet;
using namespace quippet::test;
using namespace std::chrono_literals;

namespace {

// A credential source the test steers. The transcriber asks it on the thread that created it: the test's.
class FakeProvider final : public CredentialProvider {
public:
    void credential(std::function<void(CredentialResult)> done) override {
        ++asks;
        done(key ? CredentialResult(Credential{Credential::Kind::ApiKey, *key}) : QStringLiteral("brak klucza"));
    }
    std::optional<QString> key = QStringLiteral("sk_test");
    int asks = 0;
};

// The speech service on loopback and a "KLIENT" transcriber for Polish. Its credentials come from the steerable
// provider, or with `tokens` from a backend whose answer to its n-th token request that function gives.
struct Fixture {
    explicit Fixture(std::function<HttpResponse(int)> tokens = {}) {
        EXPECT_TRUE(peer.start());
        peer.setApiKey(QStringLiteral("sk_test"));
        Settings::setValue(Settings::kElevenLabsBaseUrl, peer.baseUrl().toString());
        if (tokens) {
            EXPECT_TRUE(backend.start());
            backend.route("POST", QStringLiteral("/api/stt/token"),
                          [this, tokens](const HttpRequest&) { return tokens(++issued); });
            credentials = std::make_shared<BackendCredentialProvider>(
                appendPath(backend.baseUrl(), QStringLiteral("api/stt/token")), QStringLiteral("session-abc"));
        }
        transcriber =
            std::make_unique<ElevenLabsTranscriber>(QStringLiteral("KLIENT"), QStringLiteral("pl"), credentials, clock);
        QObject::connect(transcriber.get(), &ElevenLabsTranscriber::statusLine,
                         [this](const QString& line) { statuses.append(line); });
        QObject::connect(transcriber.get(), &ElevenLabsTranscriber::transcript,
                         [this](const QString& text, bool isFinal) {
                             texts.append({text, isFinal});
                         });
    }

    // Feeds `count` 10 ms buffers of 48 kHz mono s16 frames holding a running counter, so any byte range of the
    // stream is recognisable; returns their bytes.
    QByteArray feed(int count) {
        QByteArray fed;
        for (int i = 0; i < count; ++i) {
            AudioChunk chunk;
            chunk.data.resize(480 * 2);
            for (int frame = 0; frame < 480; ++frame)
                qToLittleEndian(qint16(next++ & 0x7fff), chunk.data.data() + frame * 2);
            fed += chunk.data;
            transcriber->append(chunk);
        }
        return fed;
    }
    // Moves the clock, then lets a retry that fell due ask for its credential; returns the number of asks so far.
    int asksAfter(std::chrono::milliseconds by) {
        clock.advance(by);
        transcriber->sync();
        QCoreApplication::processEvents();
        return provider->asks;
    }
    // The next attempt asks for its credential exactly `delay` after the previous one failed.
    void expectRetryAfter(std::chrono::milliseconds delay) {
        const int asked = provider->asks;
        EXPECT_EQ(asksAfter(delay - 1ms), asked) << "retried early, delay " << delay.count();
        EXPECT_EQ(asksAfter(1ms), asked + 1) << "not retried after " << delay.count();
    }
    bool waitConnected() {
        return waitUntil([&] { return transcriber->state().connected; });
    }
    bool waitStatus(const QString& line, int times = 1) {
        return waitUntil([&] { return statuses.count(line) == times; });
    }
    bool waitReconnectScheduled() {
        return waitUntil([&] { return transcriber->state().reconnectScheduled; });
    }

    TempHome home;
    ManualClock clock;
    SttPeer peer;
    HttpPeer backend;
    int issued = 0;
    std::shared_ptr<FakeProvider> provider = std::make_shared<FakeProvider>();
    std::shared_ptr<CredentialProvider> credentials = provider;
    std::unique_ptr<ElevenLabsTranscriber> transcriber;
    QStringList statuses;
    QList<std::pair<QString, bool>> texts;
    int next = 0;
};

} // namespace

TEST(TranscriberUrlTest, SchemePathAndQueryForEachCredential) {
    TempHome home;
    // QSettings resolves its file once per process, so an earlier case's preference may still be there.
    Settings::remove(Settings::kElevenLabsBaseUrl);
    EXPECT_EQ(ElevenLabsTranscriber::serviceBaseUrl(), QUrl("https://api.eu.residency.elevenlabs.io"));

    const QString query = "?model_id=scribe_v2_realtime&audio_format=pcm_48000";
    const QUrl withKey = ElevenLabsTranscriber::realtimeUrl(QUrl("https://stt.example/"), QStringLiteral("pl"),
                                                            Credential{Credential::Kind::ApiKey, "sk_x"});
    EXPECT_EQ(withKey.toString(), "wss://stt.example/v1/speech-to-text/realtime" + query +
                                      "&language_code=pl&commit_strategy=vad&filter_background_audio=true");
    // No language: the service detects it. The token goes last, percent-encoded ('+' would read as a space).
    const QUrl withToken = ElevenLabsTranscriber::realtimeUrl(QUrl("http://127.0.0.1:9000"), QString(),
                                                              Credential{Credential::Kind::Token, "t&1+/="});
    EXPECT_EQ(QString::fromLatin1(withToken.toEncoded()),
              "ws://127.0.0.1:9000/v1/speech-to-text/realtime" + query +
                  "&commit_strategy=vad&filter_background_audio=true&token=t%261%2B%2F%3D");
}

TEST(TranscriberStreamingTest, SmallBuffersAreBatchedIntoBase64JsonChunks) {
    Fixture f;
    f.transcriber->start();
    ASSERT_TRUE(f.waitStatus("KLIENT: połączono ze Scribe"));
    EXPECT_EQ(f.peer.connections().first().query().queryItemValue("language_code"), "pl");

    // Seven 10 ms buffers (6720 bytes) stay below the minimum; the eighth sends all 7680 bytes at once.
    QByteArray fed = f.feed(7);
    EXPECT_EQ(f.transcriber->state().pendingBytes, 6720);
    fed += f.feed(1);
    ASSERT_TRUE(f.peer.waitForChunks(1));
    const QJsonObject message{{"message_type", "input_audio_chunk"},
                              {"audio_base_64", QString::fromLatin1(fed.toBase64())},
                              {"sample_rate", 48000}}; // a number, not a text
    EXPECT_EQ(f.peer.connections().first().messages, QList<QJsonObject>{message});

    // "wysyłam audio" is said for the first chunk only.
    f.feed(32);
    ASSERT_TRUE(f.peer.waitForChunks(5));
    f.transcriber->sync();
    QCoreApplication::processEvents();
    EXPECT_EQ(f.statuses.count("KLIENT: wysyłam audio"), 1);
    for (const QByteArray& chunk : f.peer.connections().first().chunks)
        EXPECT_GE(chunk.size(), ElevenLabsTranscriber::kMinChunkBytes);

    // A buffer in another format rebuilds the converter and comes out at 48 kHz: 441 frames at 44.1 kHz -> ~480.
    const qsizetype before = f.transcriber->state().pendingBytes;
    const AudioChunk stereo{{44100, 2, AudioFormat::SampleType::Float32, true}, QByteArray(441 * 2 * 4, '\0')};
    for (int i = 0; i < 3; ++i)
        f.transcriber->append(stereo);
    const auto s = f.transcriber->state();
    EXPECT_EQ(s.converterBuilds, 2);
    EXPECT_NEAR(double(s.pendingBytes - before), 3 * 960.0, 120.0);
}

TEST(TranscriberOfflineTest, KeepsTheNewest192000BytesForTheNextConnection) {
    Fixture f;
    f.provider->key.reset();
    f.transcriber->start();
    ASSERT_TRUE(f.waitStatus("KLIENT: brak klucza"));
    const QByteArray fed = f.feed(500); // five seconds without a connection
    EXPECT_EQ(f.transcriber->state().pendingBytes, 192000);

    f.provider->key = QStringLiteral("sk_test");
    f.clock.advance(1600ms);
    ASSERT_TRUE(f.waitConnected());
    const QByteArray fresh = f.feed(1);
    ASSERT_TRUE(f.peer.waitForChunks(1));
    EXPECT_EQ(f.peer.connections().last().chunks.first(), fed.right(192000) + fresh);

    // The open connection is pinged; a service that answers keeps it.
    for (int pongs = 1; pongs <= 4; ++pongs) {
        f.asksAfter(5s);
        ASSERT_TRUE(waitUntil([&] { return f.transcriber->state().pongs == pongs; }));
    }

    // The service goes silent as on a half-open connection. Once the system's buffers are full, the socket holds
    // no more than its bound and new audio waits, bounded, in the offline buffer.
    ASSERT_TRUE(f.peer.mute());
    QByteArray all = fed + fresh;
    for (int second = 0; second < 300 && f.transcriber->state().pendingBytes < 96000; ++second) {
        all += f.feed(100);
        // Whatever the system still takes is passed on before more comes, so only a full one holds audio back.
        waitUntil([&] { return f.transcriber->state().backlogBytes == 0; }, 100);
    }
    const auto held = f.transcriber->state();
    ASSERT_GE(held.pendingBytes, 96000);
    // (The bound, and at most the one message sent just below it.)
    EXPECT_LE(held.backlogBytes,
              ElevenLabsTranscriber::kMaxBacklogBytes + ElevenLabsTranscriber::kOfflineBufferBytes * 4 / 3 + 1024);
    // The last pong came after the fourth ping: three silent periods later the connection counts as dropped, and
    // what the socket never passed on goes out first on the next one, with the held audio, without a gap and
    // within the offline bound.
    for (int tick = 0; tick < 4; ++tick)
        f.asksAfter(5s);
    ASSERT_TRUE(f.waitStatus("KLIENT: Scribe nie odpowiada — łączę ponownie"));
    ASSERT_TRUE(f.waitReconnectScheduled());
    f.clock.advance(1600ms);
    ASSERT_TRUE(f.peer.waitForConnections(2));
    ASSERT_TRUE(f.waitConnected());
    const QByteArray after = f.feed(1);
    ASSERT_TRUE(waitUntil([&] { return !f.peer.connections().last().chunks.isEmpty(); }));
    const QByteArray first = f.peer.connections().last().chunks.first();
    const qsizetype resent = first.size() - after.size();
    EXPECT_GT(resent, held.pendingBytes);
    EXPECT_LE(resent, 192000);
    EXPECT_EQ(first, all.right(resent) + after);
}

TEST(TranscriberReconnectTest, BackoffSeriesResetsAfterASessionThatLasted) {
    Fixture f;
    f.provider->key.reset();
    f.transcriber->start();
    ASSERT_TRUE(f.waitReconnectScheduled());
    for (const auto delay : {1600ms, 2560ms, 4096ms, 6554ms, 8000ms, 8000ms, 8000ms}) {
        f.expectRetryAfter(delay);
        ASSERT_TRUE(f.waitReconnectScheduled());
    }
    EXPECT_EQ(f.transcriber->state().reconnects, 8);

    // The next attempt succeeds; a session that lasted 10 s clears the count, so a drop waits 1.6 s again.
    f.provider->key = QStringLiteral("sk_test");
    f.clock.advance(8000ms);
    ASSERT_TRUE(f.waitStatus("KLIENT: połączono ze Scribe"));
    f.feed(8);
    ASSERT_TRUE(f.peer.waitForChunks(1));
    f.transcriber->sync();
    f.clock.advance(10s);
    f.peer.drop();
    ASSERT_TRUE(f.waitReconnectScheduled());
    f.expectRetryAfter(1600ms);
    // Audio has gone out before, so this session is a resumption.
    ASSERT_TRUE(f.waitStatus("KLIENT: wznowiono połączenie"));
    EXPECT_EQ(f.statuses.count("KLIENT: połączono ze Scribe"), 1);

    // A close by the service is handled like a drop. A session that ends at once does not clear the count, also
    // when the service goes on confirming sessions and closing them straight away: the delays keep growing.
    ASSERT_TRUE(f.waitConnected());
    f.peer.close(1011);
    f.peer.setCloseAtOnce(true);
    for (const auto delay : {2560ms, 4096ms, 6554ms}) {
        ASSERT_TRUE(f.waitReconnectScheduled());
        f.expectRetryAfter(delay);
    }
    ASSERT_TRUE(f.peer.waitForConnections(5));
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
    const int asked = f.provider->asks;
    EXPECT_EQ(f.asksAfter(60s), asked);
    f.feed(300);
    EXPECT_EQ(f.transcriber->state().pendingBytes, 192000);

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
    ASSERT_TRUE(f.waitStatus("KLIENT: połączono ze Scribe"));
    f.statuses.clear();
    // Ignored: a text that is no text, no text, no JSON object, no type or one that is no text, bytes not UTF-8.
    for (const char* text :
         {R"({"message_type":"partial_transcript","text":"Dzień do"})",
          R"({"message_type":"committed_transcript","text":" Dzień dobry "})",
          R"({"message_type":"final_transcript","text":"Jak się masz?"})",
          R"({"message_type":"partial_transcript","text":42})", R"({"message_type":"committed_transcript"})",
          "not json", "[1,2]", R"({"message_type":7})", R"({"text":"no type"})",
          R"({"message_type":"quota_exceeded","error":"Przekroczono limit"})",
          R"({"message_type":"input_error","error":5})"})
        f.peer.sendRaw(QString::fromUtf8(text));
    f.peer.sendBinary(R"({"message_type":"committed_transcript","text":"zażółć"})");
    f.peer.sendBinary("{\"message_type\":\"committed_transcript\",\"text\":\"\xff\xfe\"}");
    f.peer.sendRaw(R"({"message_type":"partial_transcript","text":""})");
    ASSERT_TRUE(waitUntil([&] { return f.texts.size() >= 5; }));

    const QList<std::pair<QString, bool>> expected = {
        {"Dzień do", false}, {" Dzień dobry ", true}, {"Jak się masz?", true}, {"zażółć", true}, {"", false}};
    EXPECT_EQ(f.texts, expected);
    EXPECT_EQ(f.statuses, (QStringList{"KLIENT: Przekroczono limit", "KLIENT: input_error"}));
    // Error messages leave the connection as it is.
    EXPECT_TRUE(f.transcriber->state().connected);
}

TEST(TranscriberCredentialsTest, BackendTokensGoInTheQueryOncePerAttempt) {
    Fixture f([](int issued) {
        if (issued == 3)
            return HttpResponse::json(201, R"({"token":"tok-3"})");
        // The third token was refused, so the fourth attempt reuses an old token, which the service rejects.
        return HttpResponse::json(200, R"({"token":"tok-)" + QByteArray::number(issued == 4 ? 1 : issued) + "\"}");
    });
    f.peer.addToken(QStringLiteral("tok-1"));
    f.peer.addToken(QStringLiteral("tok-2"));
    f.transcriber->start();
    ASSERT_TRUE(f.waitConnected());
    EXPECT_EQ(f.peer.connections().first().token, "tok-1");
    EXPECT_EQ(f.backend.requests().first().header("authorization"), "Bearer session-abc");

    // Every reconnection asks for a fresh token.
    f.peer.drop();
    ASSERT_TRUE(f.waitReconnectScheduled());
    f.clock.advance(1600ms);
    ASSERT_TRUE(f.waitStatus("KLIENT: połączono ze Scribe", 2));
    EXPECT_EQ(f.peer.connections().at(1).token, "tok-2");

    // A refusal by the backend is reported and retried (the session before it ended at once: no fresh series).
    f.peer.drop();
    ASSERT_TRUE(f.waitReconnectScheduled());
    f.clock.advance(2560ms);
    ASSERT_TRUE(f.waitStatus("KLIENT: backend nie wydał tokenu do Scribe"));
    ASSERT_TRUE(f.waitReconnectScheduled());
    EXPECT_EQ(f.peer.connections().size(), 2);

    // A used token is rejected by the service: its error is reported and the connection's end leads to a retry.
    f.clock.advance(4096ms);
    ASSERT_TRUE(f.waitStatus("KLIENT: Scribe odrzucił dane logowania: missing or used token"));
    EXPECT_FALSE(f.peer.connections().at(2).accepted);
    ASSERT_TRUE(f.waitReconnectScheduled());
    EXPECT_EQ(f.issued, 4);
}

TEST(TranscriberCredentialsTest, OneProviderServesBothChannelsAndAStalledHandshakeIsRetried) {
    Fixture f(
        [](int issued) { return HttpResponse::json(200, "{\"token\":\"stt-" + QByteArray::number(issued) + "\"}"); });
    f.peer.setTokenPrefix(QStringLiteral("stt-"));

    static QStringList threadWarnings;
    threadWarnings.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
            if (m.contains(QLatin1String("thread"), Qt::CaseInsensitive))
                threadWarnings.append(m);
        });
    {
        ElevenLabsTranscriber mic(QStringLiteral("TY"), QStringLiteral("pl"), f.credentials, f.clock);
        f.transcriber->start();
        mic.start();
        ASSERT_TRUE(waitUntil([&] { return f.transcriber->state().connected && mic.state().connected; }));
        EXPECT_EQ(f.issued, 2);
        f.transcriber.reset();
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
    ElevenLabsTranscriber stalled(QStringLiteral("KLIENT"), QStringLiteral("pl"), f.credentials, f.clock);
    QStringList said;
    QObject::connect(&stalled, &ElevenLabsTranscriber::statusLine, [&](const QString& line) { said << line; });
    stalled.start();
    ASSERT_TRUE(silent.waitForRequests(1));
    EXPECT_FALSE(stalled.state().reconnectScheduled);
    f.clock.advance(60s);
    ASSERT_TRUE(waitUntil([&] { return stalled.state().reconnectScheduled; }));
    // Then refused (a bad key): why is said once, not on every retry.
    silent.route("GET", QStringLiteral("/v1/speech-to-text/realtime"), HttpResponse::json(401, "{}"));
    f.clock.advance(1600ms);
    ASSERT_TRUE(silent.waitForRequests(2));
    ASSERT_TRUE(waitUntil([&] { return stalled.state().reconnectScheduled; }));
    f.clock.advance(2560ms);
    ASSERT_TRUE(silent.waitForRequests(3));
    ASSERT_TRUE(waitUntil([&] { return stalled.state().reconnectScheduled && said.size() >= 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(said, (QStringList{"KLIENT: Scribe nie odpowiada na połączenie",
                                 "KLIENT: Scribe odrzucił połączenie (HTTP 401)"}));
}
