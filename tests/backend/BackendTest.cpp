#include "backend/Backend.h"
#include "support/Wait.h"

#include "core/Localization.h"
#include "peers/BackendPeer.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>

using namespace quippet;
using quippet::test::waitUntil;
using namespace std::chrono_literals;
using Kind = Backend::LoginState::Kind;

namespace {

// An open session answered without a refusal (an empty answer means none came).
const std::optional<std::optional<QString>> kAccepted{std::in_place};

QJsonObject json(const QByteArray& body) {
    return QJsonDocument::fromJson(body).object();
}

// A port nothing listens on: bound once, then released.
quint16 deadPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

class BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.start());
        qputenv("QUIPPET_BACKEND", peer.baseUrl().toString().toUtf8());
    }
    void TearDown() override { qunsetenv("QUIPPET_BACKEND"); }

    std::unique_ptr<Backend> makeBackend() {
        auto backend = std::make_unique<Backend>(keychain, clock, [this](const QString& line) { notes << line; });
        backend->openUrl = [this](const QUrl& url) { opened << url; };
        return backend;
    }
    void signIn(const QString& token = QStringLiteral("token-x")) {
        peer.addToken(token);
        keychain.write(QLatin1String(Keychain::kBackendToken), token);
    }
    // Each waits for the backend's answer (nullopt: none came).
    std::optional<std::optional<QString>> open(Backend& backend, const std::optional<QString>& company = {},
                                               const std::optional<QString>& topic = {}) {
        auto answer = std::make_shared<std::optional<std::optional<QString>>>();
        backend.openSession(company, topic, [answer](std::optional<QString> e) { *answer = e; });
        waitUntil([&] { return answer->has_value(); });
        return *answer;
    }
    std::optional<bool> heartbeat(Backend& backend, int seconds) {
        auto answer = std::make_shared<std::optional<bool>>();
        backend.heartbeat(seconds, [answer](bool exhausted) { *answer = exhausted; });
        waitUntil([&] { return answer->has_value(); });
        return *answer;
    }
    bool refresh(Backend& backend) {
        auto done = std::make_shared<bool>(false);
        backend.refreshAccount([done] { *done = true; });
        return waitUntil([&] { return *done; });
    }
    // Starts signing in and waits until the polling loop sleeps on the clock.
    bool loginPolling(Backend& backend) {
        backend.startLogin();
        return waitUntil([&] { return clock.activeTimers() == 1; });
    }
    int tokenRequests() { return int(peer.http().requestsTo(QStringLiteral("/api/auth/device/token")).size()); }
    // Waits for the polling loop to be asleep again after `requests` token exchanges.
    bool pollingAsleepAfter(int requests) {
        return waitUntil([&] { return tokenRequests() == requests && clock.activeTimers() == 1; });
    }

    test::TempHome home;
    test::MemorySecretStore store;
    Keychain keychain{store};
    ManualClock clock;
    test::BackendPeer peer;
    QStringList notes;
    QList<QUrl> opened;
};

TEST_F(BackendTest, SignInByPollingWithDefaultTimings) {
    peer.setStartInterval(std::nullopt, std::nullopt); // defaults: every 3 s for 600 s
    auto backend = makeBackend();
    EXPECT_EQ(backend->loginState(), Backend::LoginState::signedOut());

    backend->startLogin();
    EXPECT_EQ(backend->loginState().kind, Kind::WaitingForBrowser);
    ASSERT_TRUE(waitUntil([&] { return clock.activeTimers() == 1; }));
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0].toString(), peer.baseUrl().toString() + "/device?code=dev-1");
    const auto start = peer.http().requestsTo(QStringLiteral("/api/auth/device/start"));
    ASSERT_EQ(start.size(), 1);
    EXPECT_EQ(json(start[0].body).value("deviceName").toString(), Backend::deviceName());
    EXPECT_TRUE(start[0].header("authorization").isEmpty());
    EXPECT_TRUE(notes.contains("logowanie: otwarto przeglądarkę"));

    clock.advance(2999ms);
    EXPECT_EQ(tokenRequests(), 0);
    clock.advance(1ms);
    ASSERT_TRUE(pollingAsleepAfter(1)); // "authorization_pending": keep waiting
    EXPECT_EQ(backend->loginState().kind, Kind::WaitingForBrowser);
    const auto token = peer.http().requestsTo(QStringLiteral("/api/auth/device/token"));
    EXPECT_EQ(json(token[0].body).value("device_code").toString(), "dev-1");
    EXPECT_EQ(json(token[0].body).value("device_name").toString(), Backend::deviceName());

    peer.confirm();
    clock.advance(3s);
    ASSERT_TRUE(waitUntil([&] { return backend->email().has_value(); }));
    EXPECT_EQ(backend->loginState(), Backend::LoginState::signedIn(QStringLiteral("ania@example.com")));
    EXPECT_EQ(keychain.read(QLatin1String(Keychain::kBackendToken)), QStringLiteral("token-1"));
    EXPECT_EQ(backend->tier(), QStringLiteral("pro"));
    EXPECT_EQ(backend->secondsRemaining(), 3600);
    EXPECT_EQ(peer.http().requestsTo(QStringLiteral("/api/me"))[0].header("authorization"), "Bearer token-1");
    EXPECT_TRUE(notes.contains("logowanie: zalogowano"));
    EXPECT_EQ(clock.activeTimers(), 0);
}

TEST_F(BackendTest, PollingFloorsTheIntervalIgnoresRefusalsAndExpires) {
    peer.setStartInterval(0, 5);
    peer.setTokenRefusal(QStringLiteral("access_denied"));
    auto backend = makeBackend();
    ASSERT_TRUE(loginPolling(*backend));
    for (int i = 1; i <= 5; ++i) {
        clock.advance(1s);
        ASSERT_TRUE(waitUntil([&] { return tokenRequests() == i && (clock.activeTimers() == 1 || i == 5); }));
        // A quiet refusal neither ends the loop nor changes the state.
        if (i < 5) {
            EXPECT_EQ(backend->loginState().kind, Kind::WaitingForBrowser);
        }
    }
    ASSERT_TRUE(waitUntil([&] { return backend->loginState().kind == Kind::Failed; }));
    EXPECT_EQ(backend->loginState().message, i18n::text("login.error.expired"));
    clock.advance(10s);
    EXPECT_EQ(tokenRequests(), 5);

    peer.http().route("POST", QStringLiteral("/api/auth/device/start"), test::HttpResponse::json(500, "{}"));
    backend->startLogin();
    ASSERT_TRUE(waitUntil([&] { return backend->loginState().kind == Kind::Failed; }));
    EXPECT_EQ(backend->loginState().message, i18n::text("login.error.unreachable"));
    EXPECT_EQ(notes.last(), "logowanie: " + i18n::text("login.error.unreachable"));

    // Unreachable: the network layer's own description.
    qputenv("QUIPPET_BACKEND", QStringLiteral("http://127.0.0.1:%1").arg(deadPort()).toUtf8());
    backend->startLogin();
    ASSERT_TRUE(waitUntil([&] { return backend->loginState().kind == Kind::Failed; }));
    EXPECT_NE(backend->loginState().message, i18n::text("login.error.unreachable"));
    EXPECT_FALSE(backend->loginState().message.isEmpty());
    EXPECT_EQ(notes.last(), "logowanie: " + backend->loginState().message);
}

TEST_F(BackendTest, BrowserReturnExchangesAtOnce) {
    auto backend = makeBackend();
    backend->handleCallback(QUrl("quippet://auth?code=zzz"));
    EXPECT_EQ(notes.last(), "powrót z przeglądarki bez rozpoczętego logowania — zacznij od przycisku w aplikacji");
    backend->startLogin();
    ASSERT_TRUE(waitUntil([&] { return backend->isSigningIn(); }));
    const int noteCount = int(notes.size());
    backend->handleCallback(QUrl("quippet://elsewhere"));
    EXPECT_EQ(notes.size(), noteCount);

    // Not confirmed yet: the answer changes nothing.
    backend->handleCallback(QUrl("quippet://auth"));
    EXPECT_EQ(notes.last(), "powrót z przeglądarki — wymieniam kod na token");
    ASSERT_TRUE(waitUntil([&] { return tokenRequests() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(backend->loginState().kind, Kind::WaitingForBrowser);

    peer.confirm();
    backend->handleCallback(QUrl("quippet://auth"));
    ASSERT_TRUE(waitUntil([&] { return backend->loginState().email.has_value(); }));
    EXPECT_EQ(keychain.read(QLatin1String(Keychain::kBackendToken)), QStringLiteral("token-1"));
    // The token ended the polling loop too.
    EXPECT_EQ(clock.activeTimers(), 0);
}

TEST_F(BackendTest, BrowserReturnRefusedFailsWithTheCodeAndTheDeadlineLeavesIt) {
    peer.setStartInterval(2, 4);
    auto backend = makeBackend();
    ASSERT_TRUE(loginPolling(*backend));
    peer.setTokenRefusal(QStringLiteral("access_denied"));
    backend->handleCallback(QUrl("quippet://auth"));
    ASSERT_TRUE(waitUntil([&] { return backend->loginState().kind == Kind::Failed; }));
    EXPECT_EQ(backend->loginState().message, "access_denied");
    clock.advance(2s);
    ASSERT_TRUE(pollingAsleepAfter(2));
    clock.advance(2s);
    ASSERT_TRUE(waitUntil([&] { return tokenRequests() == 3; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(backend->loginState(), Backend::LoginState::failed(QStringLiteral("access_denied")));

    // Unreachable during a non-quiet exchange.
    backend->startLogin();
    ASSERT_TRUE(waitUntil([&] { return backend->isSigningIn(); }));
    qputenv("QUIPPET_BACKEND", QStringLiteral("http://127.0.0.1:%1").arg(deadPort()).toUtf8());
    backend->handleCallback(QUrl("quippet://auth"));
    ASSERT_TRUE(waitUntil([&] { return backend->loginState().kind == Kind::Failed; }));
    EXPECT_EQ(backend->loginState().message, i18n::text("login.error.unreachable"));
}

TEST_F(BackendTest, RacingExchangesYieldOneToken) {
    // The backend spends the code on the first token: the loser is refused with "invalid_grant".
    auto backend = makeBackend();
    QList<Kind> states;
    QObject::connect(backend.get(), &Backend::loginStateChanged, [&] { states << backend->loginState().kind; });
    ASSERT_TRUE(loginPolling(*backend));
    peer.confirm();
    clock.advance(3s); // the quiet polling exchange goes first; the browser's, not quiet, is refused
    backend->handleCallback(QUrl("quippet://auth"));
    ASSERT_TRUE(waitUntil([&] { return tokenRequests() == 2 && backend->email().has_value(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(peer.tokensIssued(), 1);
    EXPECT_FALSE(states.contains(Kind::Failed));
    EXPECT_EQ(backend->loginState(), Backend::LoginState::signedIn(QStringLiteral("ania@example.com")));
    EXPECT_EQ(keychain.read(QLatin1String(Keychain::kBackendToken)), QStringLiteral("token-1"));

    // A backend that answers both with a token: the first one is kept.
    backend->signOut();
    peer.setReissueTokens(true);
    ASSERT_TRUE(loginPolling(*backend));
    peer.confirm();
    backend->handleCallback(QUrl("quippet://auth"));
    clock.advance(3s);
    ASSERT_TRUE(waitUntil([&] { return tokenRequests() == 4 && backend->loginState().email.has_value(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(peer.tokensIssued(), 3);
    EXPECT_EQ(keychain.read(QLatin1String(Keychain::kBackendToken)), QStringLiteral("token-2"));
    EXPECT_EQ(peer.http().requestsTo(QStringLiteral("/api/me")).size(), 2);
}

TEST_F(BackendTest, CancelAndSignOut) {
    auto backend = makeBackend();
    ASSERT_TRUE(loginPolling(*backend));
    backend->cancelLogin();
    EXPECT_EQ(backend->loginState(), Backend::LoginState::signedOut());
    EXPECT_FALSE(backend->isSigningIn());
    clock.advance(60s);
    EXPECT_EQ(tokenRequests(), 0);

    signIn();
    backend->cancelLogin();
    EXPECT_EQ(backend->loginState(), Backend::LoginState::signedIn());

    ASSERT_TRUE(refresh(*backend));
    backend->signOut();
    EXPECT_EQ(backend->loginState(), Backend::LoginState::signedOut());
    EXPECT_FALSE(keychain.read(QLatin1String(Keychain::kBackendToken)));
    EXPECT_EQ(notes.last(), "wylogowano");
    // The account fields stay as they were.
    EXPECT_EQ(backend->email(), QStringLiteral("ania@example.com"));
    EXPECT_EQ(backend->tier(), QStringLiteral("pro"));
    EXPECT_EQ(backend->secondsRemaining(), 3600);
}

TEST_F(BackendTest, ConstructionAndAccountRead) {
    signIn();
    auto backend = makeBackend();
    EXPECT_EQ(backend->loginState(), Backend::LoginState::signedIn());
    EXPECT_TRUE(peer.http().requests().isEmpty());

    // An answer without "email" or "tier": email cleared, tier kept; one that is no JSON object changes nothing.
    ASSERT_TRUE(refresh(*backend));
    peer.http().route("GET", QStringLiteral("/api/me"), test::HttpResponse::json(200, R"({"secondsRemaining":12})"));
    ASSERT_TRUE(refresh(*backend));
    EXPECT_EQ(backend->loginState(), Backend::LoginState::signedIn());
    EXPECT_FALSE(backend->email());
    EXPECT_EQ(backend->tier(), QStringLiteral("pro"));
    peer.http().route("GET", QStringLiteral("/api/me"), test::HttpResponse::text(200, "<html>"));
    ASSERT_TRUE(refresh(*backend));
    EXPECT_EQ(backend->secondsRemaining(), 12);
}

TEST_F(BackendTest, SessionOpenHeartbeatClose) {
    auto backend = makeBackend();
    // No token: nothing to open or count, no request.
    EXPECT_EQ(open(*backend), kAccepted);
    EXPECT_EQ(heartbeat(*backend, 10), false);
    EXPECT_TRUE(peer.http().requests().isEmpty());

    signIn();
    EXPECT_EQ(open(*backend, QString(), QString()), kAccepted);
    auto start = peer.http().requestsTo(QStringLiteral("/api/session/start"));
    EXPECT_EQ(start[0].body, "{}");
    EXPECT_EQ(start[0].header("authorization"), "Bearer token-x");
    EXPECT_EQ(start[0].header("content-type"), "application/json");
    EXPECT_EQ(backend->sessionId(), QStringLiteral("sess-1"));
    EXPECT_EQ(backend->sessionMaxSeconds(), 1800);

    peer.account().maxSeconds = 60;
    EXPECT_EQ(heartbeat(*backend, 60), true);
    EXPECT_EQ(json(peer.http().requestsTo(QStringLiteral("/api/session/heartbeat"))[0].body),
              (QJsonObject{{"sessionId", "sess-1"}, {"secondsUsed", 60}}));
    EXPECT_EQ(backend->secondsRemaining(), 3540);
    EXPECT_EQ(backend->sessionMaxSeconds(), 60);

    bool closed = false;
    backend->closeSession(75, QStringLiteral("Acme"), QString(), [&] { closed = true; });
    ASSERT_TRUE(waitUntil([&] { return closed; }));
    EXPECT_EQ(json(peer.http().requestsTo(QStringLiteral("/api/session/end"))[0].body),
              (QJsonObject{{"sessionId", "sess-1"}, {"secondsUsed", 75}, {"company", "Acme"}}));
    EXPECT_EQ(backend->secondsRemaining(), 3525);
    EXPECT_FALSE(backend->sessionId());
    EXPECT_FALSE(backend->sessionMaxSeconds());

    // A second open while one is open replaces the id; company and topic are sent when non-empty.
    EXPECT_EQ(open(*backend, QStringLiteral("Acme"), QStringLiteral("Wdrożenie")), kAccepted);
    EXPECT_EQ(json(peer.http().requestsTo(QStringLiteral("/api/session/start")).last().body),
              (QJsonObject{{"company", "Acme"}, {"topic", "Wdrożenie"}}));
    EXPECT_EQ(backend->sessionId(), QStringLiteral("sess-2"));
}

TEST_F(BackendTest, SessionRefusalsAndUnreachableBackend) {
    signIn();
    auto backend = makeBackend();
    const auto answers = [&](int status, const QByteArray& body,
                             const std::optional<std::optional<QString>>& expected) {
        peer.http().route("POST", QStringLiteral("/api/session/start"), test::HttpResponse::json(status, body));
        EXPECT_EQ(open(*backend), expected) << status << " " << body.constData();
    };
    answers(402, "{}", i18n::text("session.error.noCredit"));
    EXPECT_EQ(backend->secondsRemaining(), 0);
    EXPECT_FALSE(backend->sessionId());
    answers(403, R"({"error":"free_session_limit"})", QStringLiteral("free_session_limit")); // passed through
    answers(200, R"({"session":{}})", i18n::text("login.error.unreachable"));
    answers(502, "Bad gateway", i18n::text("login.error.unreachable"));
    answers(200, R"({"session":{"id":"s9"},"tier":"free"})", kAccepted);
    EXPECT_EQ(backend->tier(), QStringLiteral("free"));
    EXPECT_FALSE(backend->sessionMaxSeconds());

    peer.http().route("POST", QStringLiteral("/api/session/heartbeat"), test::HttpResponse::text(200, "oops"));
    EXPECT_EQ(heartbeat(*backend, 30), false);

    // Closing with the backend gone still closes the session here.
    qputenv("QUIPPET_BACKEND", QStringLiteral("http://127.0.0.1:%1").arg(deadPort()).toUtf8());
    EXPECT_EQ(heartbeat(*backend, 30), false);
    bool closed = false;
    backend->closeSession(40, std::nullopt, std::nullopt, [&] { closed = true; });
    ASSERT_TRUE(waitUntil([&] { return closed; }));
    EXPECT_FALSE(backend->sessionId());
    EXPECT_EQ(open(*backend), i18n::text("login.error.unreachable"));
}

} // namespace
