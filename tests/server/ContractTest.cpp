// The app's own clients (Backend, the backend credential provider, the model client's relay route, ContextSync)
// against a real quippet-server on loopback.
#include "ServerHarness.h"

#include "assistant/GeminiClient.h"
#include "backend/Backend.h"
#include "backend/ContextSync.h"
#include "core/Localization.h"
#include "secrets/Credentials.h"
#include "support/MemorySecretStore.h"

#include <QDir>
#include <QFile>

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

TEST_F(Contract, SignInThroughThePageStoresATokenAndReadsTheAccount) {
    signIn();
    EXPECT_EQ(backend->loginState(), Backend::LoginState::signedIn(QString::fromLatin1(kEmail)));
    EXPECT_EQ(backend->secondsRemaining(), 3600);
    EXPECT_EQ(backend->tier(), QStringLiteral("pro"));
    EXPECT_EQ(opened.path(), QStringLiteral("/device"));
}

TEST_F(Contract, SessionIsChargedByTheServersClock) {
    signIn();
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
}

TEST_F(Contract, SpeechTokenIsIssuedWithTheServersKeyOnlyInASession) {
    signIn();
    EXPECT_EQ(speechCredential().index(), 1u); // refused: no open session
    ASSERT_EQ(openSession(), std::nullopt);
    const CredentialResult result = speechCredential();
    ASSERT_EQ(result.index(), 0u);
    EXPECT_EQ(std::get<Credential>(result).kind, Credential::Kind::Token);
    EXPECT_EQ(std::get<Credential>(result).value, QStringLiteral("stt-1"));
}

TEST_F(Contract, ModelReplyStreamsThroughTheRelayWithoutTheModelField) {
    llm.script(QStringLiteral("gemini-flash-latest"),
               LlmScript::reply({QStringLiteral("Dzień "), QStringLiteral("dobry")}));
    signIn();
    ASSERT_EQ(openSession(), std::nullopt);
    const auto [text, failure] = ask();
    EXPECT_EQ(failure, std::nullopt);
    EXPECT_EQ(text, QStringLiteral("Dzień dobry"));
    ASSERT_EQ(llm.bodies().size(), 1);
    EXPECT_FALSE(llm.bodies().first().contains(QLatin1String("model")));
    EXPECT_FALSE(llm.http().requests().first().target.contains("key="));
}

TEST_F(Contract, ModelEventsArePassedOnBeforeTheReplyEnds) {
    LlmScript slow = LlmScript::reply({QStringLiteral("first"), QStringLiteral("second")});
    slow.delayMs = 600'000; // the second event would come ten minutes later
    llm.script(QStringLiteral("gemini-flash-latest"), slow);
    signIn();
    ASSERT_EQ(openSession(), std::nullopt);
    EXPECT_EQ(ask(QStringLiteral("first")).first, QStringLiteral("first"));
}

TEST_F(Contract, ModelRefusalsKeepTheirStatusSoTheAppWalksItsChain) {
    llm.script(QStringLiteral("gemini-flash-latest"), LlmScript::failure(429, R"({"error":{"code":429}})"));
    llm.script(QStringLiteral("gemini-flash-lite-latest"), LlmScript::failure(429, R"({"error":{"code":429}})"));
    signIn();
    ASSERT_EQ(openSession(), std::nullopt);
    const auto [text, failure] = ask();
    EXPECT_EQ(failure, std::nullopt);
    EXPECT_EQ(llm.modelsRequested(),
              (QStringList{QStringLiteral("gemini-flash-latest"), QStringLiteral("gemini-flash-lite-latest"),
                           QStringLiteral("gemini-2.5-flash-lite")}));
}

TEST_F(Contract, ModelWithoutSessionShowsTheNotOpenMessage) {
    signIn();
    const auto [text, failure] = ask();
    EXPECT_EQ(failure, i18n::text("session.error.notOpen"));
    EXPECT_TRUE(llm.bodies().isEmpty());
}

TEST_F(Contract, ContextSyncPullsTheTeamsDocuments) {
    ASSERT_FALSE(store().addDocument(QStringLiteral("oferta 2026.md"), QStringLiteral("text/markdown"), "# Oferta\n"));
    signIn();
    bool done = false;
    QObject context;
    ContextSync::pull(
        keychain, [](const QString&) {}, &context, [&] { done = true; });
    ASSERT_TRUE(waitUntil([&] { return done; }));
    QFile file(ContextSync::contextFolder() + QStringLiteral("/oferta 2026.md"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("# Oferta\n"));
    QDir(ContextSync::contextFolder()).removeRecursively();
}

} // namespace
} // namespace quippet::test
