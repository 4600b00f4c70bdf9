#include "assistant/GeminiClient.h"
#include "support/Wait.h"

#include "core/Localization.h"
#include "core/Settings.h"
#include "peers/BackendPeer.h"
#include "peers/LlmPeer.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

using namespace quippet;
using namespace std::chrono_literals;
using quippet::test::waitUntil;
using test::LlmPeer;
using test::LlmScript;

namespace {

struct Outcome {
    QStringList chunks;
    QStringList statuses;
    bool done = false;
    std::optional<QString> error;
};

class GeminiClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(llm.start());
        ASSERT_TRUE(backend.start());
        backend.setLlm(&llm);
        backend.addToken(QStringLiteral("tok"));
        // With a trailing slash, which the client's base address drops.
        Settings::setValue(Settings::kGeminiBaseUrl, llm.baseUrl().toString() + QLatin1Char('/'));
        qputenv("QUIPPET_BACKEND", backend.baseUrl().toString().toUtf8());
        keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("test-key"));
    }
    void TearDown() override {
        qunsetenv("QUIPPET_BACKEND");
        Settings::remove(Settings::kGeminiBaseUrl);
    }

    // Starts a stream; the outcome fills in as callbacks arrive.
    std::shared_ptr<Outcome> start(const QList<LlmPart>& parts = {LlmPart{QStringLiteral("Pytanie"), {}}},
                                   QObject* context = nullptr) {
        auto outcome = std::make_shared<Outcome>();
        LlmClient::Callbacks callbacks;
        callbacks.onChunk = [outcome](const QString& text) { outcome->chunks << text; };
        callbacks.onStatus = [outcome](const QString& line) { outcome->statuses << line; };
        callbacks.onDone = [outcome](const std::optional<QString>& error) {
            EXPECT_FALSE(outcome->done) << "onDone twice";
            outcome->done = true;
            outcome->error = error;
        };
        client.stream(QStringLiteral("Jesteś asystentem."), parts, callbacks, context ? context : &owner);
        return outcome;
    }
    Outcome run(const QList<LlmPart>& parts = {LlmPart{QStringLiteral("Pytanie"), {}}}) {
        const auto outcome = start(parts);
        EXPECT_TRUE(waitUntil([&] { return outcome->done; }));
        return *outcome;
    }

    test::TempHome home;
    test::MemorySecretStore store;
    Keychain keychain{store};
    ManualClock clock;
    RateGate gate;
    LlmPeer llm;
    test::BackendPeer backend;
    QObject owner;
    GeminiClient client{keychain, clock, gate};
};

TEST_F(GeminiClientTest, DirectRouteSendsTheDocumentedRequest) {
    const QString oddKey = QStringLiteral("AIza+b/c&d=e#f");
    keychain.write(QLatin1String(Keychain::kGeminiKey), oddKey);
    llm.setKey(oddKey);
    const QByteArray jpeg("\xff\xd8\xff\xe0 jpeg bytes", 15);
    const Outcome outcome =
        run({LlmPart{QStringLiteral("Profil"), {}}, LlmPart{{}, jpeg}, LlmPart{QStringLiteral("Zrzut"), jpeg}});
    EXPECT_EQ(outcome.error, std::nullopt);
    EXPECT_EQ(outcome.chunks, QStringList{"Dzień dobry"});

    EXPECT_EQ(GeminiClient::baseUrl(), llm.baseUrl());
    const auto& requests = llm.http().requests();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0].target,
              "/v1beta/models/gemini-flash-latest:streamGenerateContent?alt=sse&key=AIza%2Bb%2Fc%26d%3De%23f");
    EXPECT_EQ(requests[0].header("content-type"), "application/json");
    EXPECT_TRUE(requests[0].header("authorization").isEmpty());

    const QJsonObject image{
        {"inline_data", QJsonObject{{"mime_type", "image/jpeg"}, {"data", QString::fromLatin1(jpeg.toBase64())}}}};
    const QJsonObject expected{
        {"contents", QJsonArray{QJsonObject{{"role", "user"},
                                            {"parts", QJsonArray{QJsonObject{{"text", "Profil"}}, image,
                                                                 QJsonObject{{"text", "Zrzut"}}, image}}}}},
        {"system_instruction", QJsonObject{{"parts", QJsonArray{QJsonObject{{"text", "Jesteś asystentem."}}}}}},
        {"generationConfig", QJsonObject{{"temperature", 0.8},
                                         {"maxOutputTokens", 4000},
                                         {"thinkingConfig", QJsonObject{{"thinkingLevel", "low"}}}}}};
    EXPECT_EQ(llm.bodies().at(0), expected);
}

TEST_F(GeminiClientTest, KeysAreRequiredOnlyOnTheDirectRoute) {
    keychain.remove(QLatin1String(Keychain::kGeminiKey));
    Outcome outcome = run();
    EXPECT_TRUE(outcome.error.value_or("").contains("secret-tool store --label="));
    EXPECT_TRUE(llm.http().requests().isEmpty());

    // Signed in: the proxy serves without an own key, names the model in the body and never sends a key.
    keychain.write(QLatin1String(Keychain::kBackendToken), QStringLiteral("tok"));
    outcome = run();
    EXPECT_EQ(outcome.error, std::nullopt);
    EXPECT_EQ(outcome.chunks, QStringList{"Dzień dobry"});
    const auto proxied = backend.http().requestsTo(QStringLiteral("/api/llm"));
    ASSERT_EQ(proxied.size(), 1);
    EXPECT_EQ(proxied[0].header("authorization"), "Bearer tok");
    EXPECT_EQ(proxied[0].header("content-type"), "application/json");
    EXPECT_EQ(llm.bodies().last().value("model").toString(), "gemini-flash-latest");

    // A refusal by the proxy is shown in the user's words.
    backend.http().route("POST", QStringLiteral("/api/llm"),
                         test::HttpResponse::json(402, R"({"error":"insufficient_credit"})"));
    outcome = run();
    EXPECT_EQ(outcome.error, i18n::text("session.error.noCredit"));
}

TEST_F(GeminiClientTest, RateLimitedModelsFallBackInOrder) {
    llm.script(QStringLiteral("gemini-flash-latest"), LlmScript::failure(429, R"({"error":{"code":429}})"));
    llm.script(QStringLiteral("gemini-flash-lite-latest"), LlmScript::reply({"Zapasowa ", "odpowiedź"}));
    Outcome outcome = run();
    EXPECT_EQ(outcome.error, std::nullopt);
    EXPECT_EQ(outcome.chunks, (QStringList{"Zapasowa ", "odpowiedź"}));
    EXPECT_EQ(outcome.statuses, QStringList{"limit na gemini-flash-latest — próbuję model zapasowy"});
    EXPECT_EQ(llm.modelsRequested(), (QStringList{"gemini-flash-latest", "gemini-flash-lite-latest"}));

    llm.script(QStringLiteral("gemini-flash-lite-latest"), LlmScript::failure(429, "busy"));
    llm.script(QStringLiteral("gemini-2.5-flash-lite"), LlmScript::failure(429, "still busy"));
    outcome = run();
    EXPECT_EQ(outcome.error, "Gemini HTTP 429: still busy");
    EXPECT_EQ(outcome.statuses, (QStringList{"limit na gemini-flash-latest — próbuję model zapasowy",
                                             "limit na gemini-flash-lite-latest — próbuję model zapasowy"}));
    EXPECT_EQ(llm.modelsRequested().mid(2), GeminiClient::modelChain());
    // One stamp per call, not per attempt.
    EXPECT_EQ(gate.stamps(), 2);
}

TEST_F(GeminiClientTest, RetiredModelsAreSkippedOnTheDirectRouteOnly) {
    llm.script(QStringLiteral("gemini-flash-latest"), LlmScript::failure(404, R"({"error":{"code":404}})"));
    llm.script(QStringLiteral("gemini-flash-lite-latest"), LlmScript::reply({"Zapasowa"}));
    Outcome outcome = run();
    EXPECT_EQ(outcome.error, std::nullopt);
    EXPECT_EQ(outcome.statuses, QStringList{"brak modelu gemini-flash-latest — próbuję model zapasowy"});
    // Once found gone, it costs no round trip on later answers.
    outcome = run();
    EXPECT_TRUE(outcome.statuses.isEmpty());
    EXPECT_EQ(llm.modelsRequested(),
              (QStringList{"gemini-flash-latest", "gemini-flash-lite-latest", "gemini-flash-lite-latest"}));

    // Through the proxy a 404 is the backend's answer, not a missing model: it ends the call.
    keychain.write(QLatin1String(Keychain::kBackendToken), QStringLiteral("tok"));
    backend.http().route("POST", QStringLiteral("/api/llm"),
                         test::HttpResponse::json(404, R"({"error":"no_open_session"})"));
    outcome = run();
    EXPECT_TRUE(outcome.error.has_value());
    EXPECT_EQ(backend.http().requestsTo(QStringLiteral("/api/llm")).size(), 1);
}

TEST_F(GeminiClientTest, SixtyFirstStreamWaitsOnTheClockAndSaysSo) {
    for (int i = 0; i < 60; ++i) {
        EXPECT_TRUE(run().statuses.isEmpty());
        clock.advance(i == 0 ? 12'600ms : 100ms); // the oldest stamp is 18.5 s old after the 60th
    }
    // 60 s less 18.5 s: 41.5 s, reported rounded half away from zero.
    const auto waiting = start();
    EXPECT_EQ(waiting->statuses, QStringList{"limit zapytań — czekam 42 s"});
    QCoreApplication::processEvents();
    clock.advance(41'499ms);
    QCoreApplication::processEvents();
    EXPECT_EQ(llm.modelsRequested().size(), 60);
    clock.advance(1ms);
    ASSERT_TRUE(waitUntil([&] { return waiting->done; }));
    EXPECT_EQ(llm.modelsRequested().size(), 61);
    EXPECT_EQ(waiting->statuses.size(), 1);
}

TEST_F(GeminiClientTest, OtherFailuresEndTheCallAtOnce) {
    llm.script(QStringLiteral("gemini-flash-latest"), LlmScript::failure(400, R"({"error":{"code":400}})"));
    Outcome outcome = run();
    EXPECT_EQ(outcome.error, R"(Gemini HTTP 400: {"error":{"code":400}})");
    EXPECT_EQ(llm.modelsRequested(), QStringList{"gemini-flash-latest"});
    EXPECT_TRUE(outcome.statuses.isEmpty());

    QByteArray html = "<html>\n<head><title>500 Internal Server Error</title></head>\n<body>";
    while (html.size() < 2000)
        html += "<p>upstream exploded</p>\r\n";
    llm.script(QStringLiteral("gemini-flash-latest"), LlmScript::failure(500, html, "text/html"));
    outcome = run();
    const QString flat = QString::fromUtf8(html).remove('\r').remove('\n');
    EXPECT_EQ(outcome.error, "Gemini HTTP 500: " + flat.left(160));
    EXPECT_EQ(llm.modelsRequested().size(), 2);
}

TEST_F(GeminiClientTest, EventStreamIsReadLineByLineAsItArrives) {
    const QByteArray twoParts = LlmPeer::textEvent({"Pierwsza, ", "druga"});
    LlmScript script;
    script.pieces = {
        ": keep-alive\r\n\r\nevent: message\r\n", twoParts.left(20), twoParts.mid(20, 7), twoParts.mid(27),
        "data: {not json\r\n\r\ndata: [1,2]\r\n\r\n", LlmPeer::textEvent({"", "trzecia"}),
        R"(data: {"candidates":[{"content":{"parts":[{"inlineData":{}}]}}]})"
        "\n\n",
        LlmPeer::event(QJsonObject{{"usageMetadata", LlmPeer::usage(1, 1, 1, 1)}}),
        // the last line comes without a line feed
        "data: " +
            QJsonDocument(QJsonObject{{"usageMetadata", LlmPeer::usage(1200, 600, 40, 12)},
                                      {"candidates",
                                       QJsonArray{QJsonObject{
                                           {"content", QJsonObject{{"parts", QJsonArray{QJsonObject{{"text", "!"}}}}}},
                                           {"finishReason", "STOP"}}}}})
                .toJson(QJsonDocument::Compact)};
    llm.script(QStringLiteral("gemini-flash-latest"), script);
    testing::internal::CaptureStderr();
    Outcome outcome = run();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(outcome.error, std::nullopt);
    EXPECT_EQ(outcome.chunks, (QStringList{"Pierwsza, ", "druga", "trzecia", "!"}));
    EXPECT_EQ(err, "[gemini] gemini-flash-latest in=1200 cache=600 (50%) think=40 out=12\n");

    // No usage: no line.
    llm.script(QStringLiteral("gemini-flash-latest"), LlmScript::reply({"a"}));
    testing::internal::CaptureStderr();
    outcome = run();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    QJsonObject usage{{"promptTokenCount", 0}, {"cachedContentTokenCount", 5}, {"candidatesTokenCount", "x"}};
    EXPECT_EQ(GeminiClient::usageLine("m", usage), "[gemini] m in=0 cache=5 (0%) think=0 out=0\n");
}

TEST_F(GeminiClientTest, CutStreamKeepsTheTextAndReportsTheFailure) {
    // Only the answer's last event (a finish reason, or a refused prompt) completes it: a connection that ends
    // before it, cleanly or broken, keeps the text delivered and reports the failure without trying another model.
    LlmScript script = LlmScript::reply({"Zdążyłem ", "powiedzieć"});
    script.pieces.removeLast();
    for (const bool cut : {false, true}) {
        script.cut = cut;
        llm.script(QStringLiteral("gemini-flash-latest"), script);
        const Outcome outcome = run();
        EXPECT_EQ(outcome.chunks, (QStringList{"Zdążyłem ", "powiedzieć"})) << cut;
        EXPECT_TRUE(outcome.error.value_or("").startsWith("Gemini: ")) << cut;
    }
    EXPECT_EQ(llm.modelsRequested().size(), 2);

    LlmScript refused;
    refused.pieces = {LlmPeer::event(QJsonObject{{"promptFeedback", QJsonObject{{"blockReason", "SAFETY"}}}})};
    llm.script(QStringLiteral("gemini-flash-latest"), refused);
    Outcome outcome = run();
    EXPECT_EQ(outcome.error, std::nullopt);
    EXPECT_TRUE(outcome.chunks.isEmpty());

    // A complete, well-formed answer whose one event line is longer than a megabyte is refused, not held.
    llm.script(QStringLiteral("gemini-flash-latest"), LlmScript::reply({QString(1 << 20, QLatin1Char('a'))}));
    outcome = run();
    EXPECT_TRUE(outcome.error.value_or("").startsWith("Gemini: "));
    EXPECT_TRUE(outcome.chunks.isEmpty());
}

TEST_F(GeminiClientTest, DestroyingTheContextSilencesTheStream) {
    LlmScript slow = LlmScript::reply({"a", "b", "c", "d"});
    slow.delayMs = 30;
    llm.script(QStringLiteral("gemini-flash-latest"), slow);
    auto context = std::make_unique<QObject>();
    auto outcome = start({LlmPart{QStringLiteral("x"), {}}}, context.get());
    ASSERT_TRUE(waitUntil([&] { return !outcome->chunks.isEmpty(); }));
    context.reset();
    const qsizetype seen = outcome->chunks.size();
    // A second, identical stream started later ends after the first one's remaining events would have arrived.
    auto later = start();
    ASSERT_TRUE(waitUntil([&] { return later->done; }));
    EXPECT_EQ(later->chunks.size(), 4);
    EXPECT_EQ(outcome->chunks.size(), seen);
    EXPECT_FALSE(outcome->done);
}

TEST_F(GeminiClientTest, VerifyListsBareModelNames) {
    const auto verify = [&] {
        auto answer = std::make_shared<std::optional<std::variant<QStringList, QString>>>();
        client.verify([answer](auto result) { *answer = result; }, &owner);
        EXPECT_TRUE(waitUntil([&] { return answer->has_value(); }));
        return answer->value_or(QString());
    };
    llm.setListing({"models/gemini-flash-latest", "models/gemini-2.5-flash-lite", "tuned"});
    EXPECT_EQ(std::get<QStringList>(verify()), (QStringList{"gemini-flash-latest", "gemini-2.5-flash-lite", "tuned"}));
    EXPECT_EQ(llm.http().requests().last().target, "/v1beta/models?pageSize=1000&key=test-key");

    // The listing comes 50 to a page unless more are asked for: the chain's aliases, late in a long list, are seen.
    QStringList many;
    for (int i = 0; i < 120; ++i)
        many << QStringLiteral("models/gemini-tuned-%1").arg(i);
    llm.setListing(many + QStringList{"models/gemini-flash-latest"});
    EXPECT_TRUE(std::get<QStringList>(verify()).contains("gemini-flash-latest"));

    // A listing past a megabyte is refused.
    many.clear();
    for (int i = 0; i < 1000; ++i)
        many << QStringLiteral("models/gemini-tuned-%1-").arg(i) + QString(1100, QLatin1Char('x'));
    llm.setListing(many);
    EXPECT_TRUE(std::holds_alternative<QString>(verify()));

    keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("wrong"));
    EXPECT_EQ(std::get<QString>(verify()), i18n::text("keys.gemini.refused"));
    keychain.remove(QLatin1String(Keychain::kGeminiKey));
    EXPECT_EQ(std::get<QString>(verify()), GeminiClient::noKeyText());
}

TEST(GeminiHumanMessage, MapsKnownBackendCodesOnly) {
    for (const auto& [code, key] : {std::pair{"free_session_limit", "session.freeLimit"},
                                    {"insufficient_credit", "session.error.noCredit"},
                                    {"no_open_session", "session.error.notOpen"},
                                    {"unauthorized", "session.error.signedOut"}})
        EXPECT_EQ(GeminiClient::humanMessage(R"({"error":")" + QByteArray(code) + "\"}"), i18n::text(key)) << code;
    for (const char* body : {R"({"error":"other"})", R"({"error":{"code":429}})", "<html>unauthorized</html>"})
        EXPECT_EQ(GeminiClient::humanMessage(body), std::nullopt) << body;
    EXPECT_EQ(GeminiClient::httpFailureText(402, R"({"error":"unauthorized"})"), i18n::text("session.error.signedOut"));
}

} // namespace
