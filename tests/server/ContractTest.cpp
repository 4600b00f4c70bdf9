// The app's own clients (Backend, the backend credential provider, the model client's relay route, ContextSync)
// against a real quippet-server on loopback.
#include "ServerHarness.h"

#include "assistant/GeminiClient.h"
#include "backend/Backend.h"
#include "backend/ContextSync.h"
#include "core/Localization.h"
#include "secrets/Credentials.h"
#include "support/Files.h"
#include "support/MemorySecretStore.h"

#include <QDir>

namespace quippet::test {
namespace {

class Contract : public ServerHarness {
protected:
    void SetUp() override {
        ServerHarness::SetUp();
        qputenv("QUIPPET_BACKEND", server->url().toString().toUtf8());
        backend = std::make_unique<Backend>(keychain, clock, [](const QString&) {});
        backend->openUrl = [this](const QUrl& url) { opened = url; };
    }
    void TearDown() override {
        backend.reset();
        qunsetenv("QUIPPET_BACKEND");
    }

    // Sign-in as a user does it: the app asks for a code and opens the page, the user confirms there, the browser
    // hands back "quippet://auth".
    void signIn(const QString& email = kEmail) {
        backend->startLogin();
        ASSERT_TRUE(waitUntil([this] { return opened.isValid(); }));
        const Reply done = client.confirm(opened, email);
        ASSERT_EQ(done.status, 200) << done.body.constData();
        backend->handleCallback(QUrl(QStringLiteral("quippet://auth")));
        ASSERT_TRUE(waitUntil([this] { return backend->email().has_value(); }));
    }

    std::optional<QString> openSession() {
        std::optional<std::optional<QString>> result;
        backend->openSession(QStringLiteral("Acme"), std::nullopt, [&](std::optional<QString> e) { result = e; });
        EXPECT_TRUE(waitUntil([&] { return result.has_value(); }));
        return result.value_or(QStringLiteral("no answer"));
    }

    CredentialResult speechCredential() {
        BackendCredentialProvider provider(appendPath(Backend::baseURL(), QStringLiteral("api/stt/token")),
                                           *keychain.read(QLatin1String(Keychain::kBackendToken)));
        std::optional<CredentialResult> result;
        provider.credential([&](CredentialResult r) { result = std::move(r); });
        EXPECT_TRUE(waitUntil([&] { return result.has_value(); }));
        return result.value_or(CredentialResult(QStringLiteral("no answer")));
    }

    // Streams one reply through the relay until it ends, or only until `until` has come; answers the text and the
    // failure, if any.
    std::pair<QString, std::optional<QString>> ask(const QString& until = {}) {
        GeminiClient gemini(keychain, clock, gate);
        QString text;
        std::optional<std::optional<QString>> done;
        QObject context;
        gemini.stream(
            QStringLiteral("system"), {LlmPart{QStringLiteral("pytanie"), std::nullopt}},
            {{}, [&](const QString& piece) { text += piece; }, [&](const std::optional<QString>& e) { done = e; }},
            &context);
        EXPECT_TRUE(waitUntil([&] { return done.has_value() || (!until.isEmpty() && text == until); }));
        return {text, done.value_or(QStringLiteral("no answer"))};
    }

    MemorySecretStore secretStore;
    Keychain keychain{secretStore};
    RateGate gate;
    std::unique_ptr<Backend> backend;
    QUrl opened;
};

TEST_F(Contract, SignInThroughThePageThenASessionChargedByTheServersClockAndTheTeamsDocuments) {
    signIn();
    EXPECT_EQ(backend->loginState(), Backend::LoginState::signedIn(QString::fromLatin1(kEmail)));
    EXPECT_EQ(backend->secondsRemaining(), 3600);
    EXPECT_EQ(backend->tier(), QStringLiteral("pro"));
    EXPECT_EQ(opened.path(), QStringLiteral("/device"));
    ASSERT_EQ(openSession(), std::nullopt);
    EXPECT_EQ(backend->sessionMaxSeconds(), 3600);
    clock.advance(std::chrono::seconds(30));
    std::optional<bool> exhausted;
    backend->heartbeat(30, [&](bool e) { exhausted = e; });
    ASSERT_TRUE(waitUntil([&] { return exhausted.has_value(); }));
    EXPECT_FALSE(*exhausted);
    EXPECT_EQ(backend->secondsRemaining(), 3570);
    clock.advance(std::chrono::seconds(10));
    bool closed = false;
    backend->closeSession(500, std::nullopt, QStringLiteral("demo"), [&] { closed = true; }); // claims more than ran
    ASSERT_TRUE(waitUntil([&] { return closed; }));
    EXPECT_EQ(backend->secondsRemaining(), 3560);
    EXPECT_EQ(store().user(kEmail)->secondsUsed, 40);

    // The team's documents come down with the same token.
    ASSERT_FALSE(store().addDocument(QStringLiteral("oferta 2026.md"), QStringLiteral("text/markdown"), "# Oferta\n"));
    bool pulled = false;
    QObject context;
    ContextSync::pull(
        keychain, [](const QString&) {}, &context, [&] { pulled = true; });
    ASSERT_TRUE(waitUntil([&] { return pulled; }));
    EXPECT_EQ(readFile(ContextSync::contextFolder() + QStringLiteral("/oferta 2026.md")), "# Oferta\n");
    QDir(ContextSync::contextFolder()).removeRecursively();
}

// The speech token and the model relay: refused outside a session; in one, the token is issued with the server's key
// and the reply streams through without the model field or a key of the app's.
TEST_F(Contract, ProvidersAreReachedOnlyInASession) {
    llm.script(QStringLiteral("gemini-flash-latest"),
               LlmScript::reply({QStringLiteral("Dzień "), QStringLiteral("dobry")}));
    signIn();
    EXPECT_EQ(speechCredential().index(), 1u);
    EXPECT_EQ(ask().second, i18n::text("session.error.notOpen"));
    EXPECT_TRUE(llm.bodies().isEmpty());
    ASSERT_EQ(openSession(), std::nullopt);
    const CredentialResult result = speechCredential();
    ASSERT_EQ(result.index(), 0u);
    EXPECT_EQ(std::get<Credential>(result).kind, Credential::Kind::Token);
    EXPECT_EQ(std::get<Credential>(result).value, QStringLiteral("stt-1"));
    EXPECT_EQ(ask(), std::pair(QStringLiteral("Dzień dobry"), std::optional<QString>()));
    ASSERT_EQ(llm.bodies().size(), 1);
    EXPECT_FALSE(llm.bodies().first().contains(QLatin1String("model")));
    EXPECT_FALSE(llm.http().requests().first().target.contains("key="));

    // Refusals keep their status, so the app walks its chain of models.
    for (const char* model : {"gemini-flash-latest", "gemini-flash-lite-latest"})
        llm.script(QString::fromLatin1(model), LlmScript::failure(429, R"({"error":{"code":429}})"));
    EXPECT_EQ(ask().second, std::nullopt);
    EXPECT_EQ(llm.modelsRequested(),
              (QStringList{QStringLiteral("gemini-flash-latest"), QStringLiteral("gemini-flash-latest"),
                           QStringLiteral("gemini-flash-lite-latest"), QStringLiteral("gemini-2.5-flash-lite")}));
}

TEST_F(Contract, ModelEventsArePassedOnBeforeTheReplyEnds) {
    LlmScript slow = LlmScript::reply({QStringLiteral("first"), QStringLiteral("second")});
    slow.delayMs = 600'000; // the second event would come ten minutes later
    llm.script(QStringLiteral("gemini-flash-latest"), slow);
    signIn();
    ASSERT_EQ(openSession(), std::nullopt);
    EXPECT_EQ(ask(QStringLiteral("first")).first, QStringLiteral("first"));
}

} // namespace
} // namespace quippet::test
