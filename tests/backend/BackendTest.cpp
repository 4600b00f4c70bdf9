#include "backend/Backend.h"

#include "core/Localization.h"
#include "peers/BackendPeer.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>

using namespace quippet;
using quippet::test::waitUntil;
using namespace std::chrono_literals;
using Kind = Backend::LoginState::Kind;
using LoginState = Backend::LoginState;

namespace {

// An open session answered without a refusal (an empty answer means none came).
const std::optional<std::optional<QString>> kAccepted{std::in_place};
const QString kTokenPath = QStringLiteral("/api/auth/device/token");

QJsonObject json(const QByteArray& body) {
    return QJsonDocument::fromJson(body).object();
}

// Calls `call` with a completion and waits for it (nothing: it did not come).
template <typename T> std::optional<T> await(const std::function<void(std::function<void(T)>)>& call) {
    auto answer = std::make_shared<std::optional<T>>();
    call([answer](T value) { *answer = std::move(value); });
    waitUntil([&] { return answer->has_value(); });
    return *answer;
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
        // Counts the token exchanges whose answers the backend has handled.
        QObject::connect(backend->findChild<QNetworkAccessManager*>(), &QNetworkAccessManager::finished,
                         [this](QNetworkReply* reply) { answered += reply->url().path() == kTokenPath; });
        return backend;
    }
    void signIn(const QString& token = QStringLiteral("token-x")) {
        peer.addToken(token);
        keychain.write(QLatin1String(Keychain::kBackendToken), token);
    }
    std::optional<QString> storedToken() { return keychain.read(QLatin1String(Keychain::kBackendToken)); }
    // From now on the backend is gone: a port nothing listens on.
    void backendGone() {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        qputenv("QUIPPET_BACKEND", QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()).toUtf8());
    }
    std::optional<std::optional<QString>> open(Backend& backend, const std::optional<QString>& company = {},
                                               const std::optional<QString>& topic = {}) {
        return await<std::optional<QString>>([&](auto done) { backend.openSession(company, topic, done); });
    }
    std::optional<bool> heartbeat(Backend& backend, int seconds) {
        return await<bool>([&](auto done) { backend.heartbeat(seconds, done); });
    }
    bool refresh(Backend& backend) {
        return await<bool>([&](auto done) { backend.refreshAccount([done] { done(true); }); }).has_value();
    }
    bool close(Backend& backend, int seconds, const std::optional<QString>& company = {}) {
        return await<bool>(
                   [&](auto done) { backend.closeSession(seconds, company, std::nullopt, [done] { done(true); }); })
            .has_value();
    }
    // Starts signing in and waits until the polling loop sleeps on the clock.
    bool loginPolling(Backend& backend) {
        backend.startLogin();
        return waitUntil([&] { return clock.activeTimers() == 1; });
    }
    // Waits until the backend has handled the answers to `count` token exchanges.
    bool exchanged(int count) {
        return waitUntil([&] { return answered == count; });
    }

    test::TempHome home;
    test::MemorySecretStore store;
    Keychain keychain{store};
    ManualClock clock;
    test::BackendPeer peer;
    QStringList notes;
    QList<QUrl> opened;
    int answered = 0;
};

TEST_F(BackendTest, SignInByPollingWithDefaultTimingsEndedByTheBrowsersReturn) {
    peer.setStartInterval(std::nullopt, std::nullopt); // defaults: every 3 s for 600 s
    auto backend = makeBackend();
    EXPECT_EQ(backend->loginState(), LoginState::signedOut());
    backend->handleCallback(QUrl("quippet://auth?code=zzz"));
    EXPECT_EQ(notes.last(), "powrót z przeglądarki bez rozpoczętego logowania — zacznij od przycisku w aplikacji");

    backend->startLogin();
    EXPECT_EQ(backend->loginState().kind, Kind::WaitingForBrowser);
    ASSERT_TRUE(waitUntil([&] { return clock.activeTimers() == 1; }));
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0].toString(), peer.baseUrl().toString() + "/device?code=dev-1");
    const auto start = peer.http().requestsTo(QStringLiteral("/api/auth/device/start"));
    ASSERT_EQ(start.size(), 1);
    EXPECT_EQ(json(start[0].body).value("deviceName").toString(), Backend::deviceName());
    EXPECT_TRUE(start[0].header("authorization").isEmpty());
    EXPECT_EQ(notes.last(), "logowanie: otwarto przeglądarkę");

    clock.advance(2999ms);
    EXPECT_EQ(clock.activeTimers(), 1) << "polled before 3 s";
    clock.advance(1ms);
    ASSERT_TRUE(exchanged(1)); // "authorization_pending": keep waiting
    EXPECT_EQ(backend->loginState().kind, Kind::WaitingForBrowser);
    EXPECT_EQ(clock.activeTimers(), 1);
    EXPECT_EQ(json(peer.http().requestsTo(kTokenPath)[0].body),
              (QJsonObject{{"device_code", "dev-1"}, {"device_name", Backend::deviceName()}}));

    // The browser's return exchanges at once; before the confirmation the answer changes nothing.
    const int noteCount = int(notes.size());
    backend->handleCallback(QUrl("quippet://elsewhere"));
    EXPECT_EQ(notes.size(), noteCount);
    backend->handleCallback(QUrl("quippet://auth"));
    EXPECT_EQ(notes.last(), "powrót z przeglądarki — wymieniam kod na token");
    ASSERT_TRUE(exchanged(2));
    EXPECT_EQ(backend->loginState().kind, Kind::WaitingForBrowser);

    peer.confirm();
    backend->handleCallback(QUrl("quippet://auth"));
    ASSERT_TRUE(waitUntil([&] { return backend->email().has_value(); }));
    EXPECT_EQ(backend->loginState(), LoginState::signedIn(QStringLiteral("ania@example.com")));
    EXPECT_EQ(storedToken(), QStringLiteral("token-1"));
    EXPECT_EQ(peer.http().requestsTo(QStringLiteral("/api/me"))[0].header("authorization"), "Bearer token-1");
    EXPECT_TRUE(notes.contains("logowanie: zalogowano"));
    EXPECT_EQ(clock.activeTimers(), 0) << "the token ended the polling loop too";
}

TEST_F(BackendTest, PollingKeepsTheIntervalBetweenASecondAndAMinuteIgnoresQuietRefusalsAndExpires) {
    peer.setStartInterval(0, 5);
    peer.setTokenRefusal(QStringLiteral("access_denied"));
    auto backend = makeBackend();
    ASSERT_TRUE(loginPolling(*backend));
    for (int i = 1; i <= 5; ++i) {
        clock.advance(999ms);
        ASSERT_EQ(clock.activeTimers(), 1) << "poll " << i << " went out before a second had passed";
        clock.advance(1ms);
        ASSERT_TRUE(exchanged(i));
        // A quiet refusal neither ends the loop nor changes the state; the fifth answer comes at the deadline.
        EXPECT_EQ(clock.activeTimers(), i < 5 ? 1 : 0);
        EXPECT_EQ(backend->loginState().kind, i < 5 ? Kind::WaitingForBrowser : Kind::Failed);
    }
    EXPECT_EQ(backend->loginState().message, i18n::text("login.error.expired"));

    // An interval beyond any timer's range is polled once a minute.
    peer.setStartInterval(2'147'483'647, 600);
    ASSERT_TRUE(loginPolling(*backend));
    clock.advance(59'999ms);
    EXPECT_EQ(answered, 5);
    clock.advance(1ms);
    ASSERT_TRUE(exchanged(6));
}

TEST_F(BackendTest, SignInThatCannotStartFails) {
    auto backend = makeBackend();
    const QString unreachable = i18n::text("login.error.unreachable");
    peer.http().route("POST", QStringLiteral("/api/auth/device/start"), test::HttpResponse::json(500, "{}"));
    backend->startLogin();
    ASSERT_TRUE(waitUntil([&] { return backend->loginState().kind == Kind::Failed; }));
    EXPECT_EQ(backend->loginState().message, unreachable);
    EXPECT_EQ(notes.last(), "logowanie: " + unreachable);
    // Only web pages are opened (checked at the end): no local file, script, plain http elsewhere, other scheme.
    for (const char* address : {"file:///etc/passwd", "javascript:alert(1)", "http://example.com/", "quippet://auth"}) {
        const QJsonObject start{{"device_code", "dev-9"}, {"verification_uri_complete", address}};
        peer.http().route("POST", "/api/auth/device/start",
                          test::HttpResponse::json(200, QJsonDocument(start).toJson()));
        backend->startLogin();
        ASSERT_TRUE(waitUntil([&] { return backend->loginState() == LoginState::failed(unreachable); })) << address;
    }
    EXPECT_EQ(notes.size(), 5);
    // Nothing answers: the user is told the address; the log also has the network layer's description.
    backendGone();
    const QString address = Backend::baseURL().toString();
    backend->startLogin();
    ASSERT_TRUE(waitUntil([&] { return backend->loginState().kind == Kind::Failed; }));
    EXPECT_EQ(backend->loginState().message, i18n::format("login.error.unreachableAt", address));
    EXPECT_TRUE(notes.last().startsWith("logowanie: " + backend->loginState().message + " ("));
    EXPECT_TRUE(opened.isEmpty());
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
    ASSERT_TRUE(exchanged(2));
    clock.advance(2s);
    ASSERT_TRUE(exchanged(3));
    EXPECT_EQ(backend->loginState(), LoginState::failed(QStringLiteral("access_denied")));

    // Unreachable during a non-quiet exchange.
    backend->startLogin();
    ASSERT_TRUE(waitUntil([&] { return backend->isSigningIn(); }));
    backendGone();
    backend->handleCallback(QUrl("quippet://auth"));
    ASSERT_TRUE(waitUntil([&] { return backend->loginState().kind == Kind::Failed; }));
    EXPECT_EQ(backend->loginState().message, i18n::text("login.error.unreachable"));
    qputenv("QUIPPET_BACKEND", peer.baseUrl().toString().toUtf8());
    peer.setTokenRefusal(std::nullopt);
    store.setFailWrites(true);

    // A token the keyring refuses, or a blank one (here brought by the polling loop), ends the sign-in as failed.
    for (const auto& exchange : {std::function<void()>([&] { backend->handleCallback(QUrl("quippet://auth")); }),
                                 std::function<void()>([&] { clock.advance(3s); })}) {
        ASSERT_TRUE(loginPolling(*backend));
        peer.confirm();
        exchange();
        ASSERT_TRUE(waitUntil(
            [&] { return backend->loginState() == LoginState::failed(i18n::text("login.error.unreachable")); }));
        EXPECT_EQ(clock.activeTimers(), 0);
        store.setFailWrites(false);
        peer.http().route("POST", kTokenPath, test::HttpResponse::json(200, R"({"access_token":" "})"));
    }
    EXPECT_FALSE(storedToken());
    EXPECT_TRUE(peer.http().requestsTo(QStringLiteral("/api/me")).isEmpty());
}

TEST_F(BackendTest, RacingExchangesOfOneCodeYieldOneOutcome) {
    // The browser's return and the polling loop exchange the same code at once. The backend holds both answers and
    // lets them out in the order of the case, each one handled before the next goes out.
    QList<QPointer<test::HttpStream>> held; // the browser's exchange, then the polling loop's
    peer.http().routeStream("POST", kTokenPath, [&](const test::HttpRequest&, test::HttpStream* s) { held << s; });
    peer.addToken(QStringLiteral("token-a"));
    const QByteArray token = R"({"access_token":"token-a"})", spent = R"({"error":"invalid_grant"})";
    enum { Browser, Poll };
    const struct {
        int first;
        QByteArray answers[2];          // in the order they go out
        std::optional<QString> refusal; // the sign-in's failure; none: signed in with token-a
    } cases[] = {
        {Browser, {spent, token}, {}}, // the spent code's refusal first, the token after it
        {Poll, {token, spent}, {}},
        {Browser, {token, R"({"access_token":"token-b"})"}, {}}, // a token for both: the first is kept
        // A refusal counts once the other exchange has been answered without a token.
        {Browser, {R"({"error":"access_denied"})", R"({"error":"authorization_pending"})"}, "access_denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.answers[0] + " then " + c.answers[1]).constData());
        keychain.remove(QLatin1String(Keychain::kBackendToken));
        peer.http().clearRequests();
        held.clear();
        answered = 0;
        auto backend = makeBackend();
        ASSERT_TRUE(loginPolling(*backend));
        backend->handleCallback(QUrl("quippet://auth"));
        ASSERT_TRUE(waitUntil([&] { return held.size() == 1; }));
        clock.advance(3s);
        ASSERT_TRUE(waitUntil([&] { return held.size() == 2; }));
        for (int i = 0; i < 2; ++i) {
            test::HttpStream* exchange = held[i == 0 ? c.first : 1 - c.first];
            exchange->writeHead(c.answers[i].contains("access_token") ? 200 : 400,
                                {{"Content-Type", "application/json"}});
            exchange->write(c.answers[i]);
            exchange->end();
            ASSERT_TRUE(exchanged(i + 1));
            EXPECT_TRUE(i == 1 || backend->loginState().kind != Kind::Failed) << "a refusal counted too early";
        }
        const LoginState expected =
            c.refusal ? LoginState::failed(*c.refusal) : LoginState::signedIn("ania@example.com");
        ASSERT_TRUE(waitUntil([&] { return backend->loginState() == expected; }))
            << backend->loginState().message.toStdString();
        EXPECT_EQ(storedToken(), c.refusal ? std::nullopt : std::optional<QString>("token-a"));
        EXPECT_EQ(peer.http().requestsTo(QStringLiteral("/api/me")).size(), c.refusal ? 0 : 1);
    }
}

TEST_F(BackendTest, CancelAndSignOut) {
    auto backend = makeBackend();
    ASSERT_TRUE(loginPolling(*backend));
    backend->cancelLogin();
    EXPECT_EQ(backend->loginState(), LoginState::signedOut());
    EXPECT_FALSE(backend->isSigningIn());
    EXPECT_EQ(clock.activeTimers(), 0);

    signIn();
    backend->cancelLogin();
    EXPECT_EQ(backend->loginState(), LoginState::signedIn());

    ASSERT_TRUE(refresh(*backend));
    backend->signOut();
    EXPECT_EQ(backend->loginState(), LoginState::signedOut());
    EXPECT_FALSE(storedToken());
    EXPECT_EQ(notes.last(), "wylogowano");
    // The account fields stay as they were.
    EXPECT_EQ(backend->email(), QStringLiteral("ania@example.com"));
    EXPECT_EQ(backend->tier(), QStringLiteral("pro"));
    EXPECT_EQ(backend->secondsRemaining(), 3600);

    // An account answer that arrives after signing out and in anew is about a token no longer stored.
    QPointer<test::HttpStream> held;
    peer.http().routeStream("GET", QStringLiteral("/api/me"), [&](const auto&, test::HttpStream* s) { held = s; });
    signIn(QStringLiteral("token-y"));
    bool told = false;
    backend->refreshAccount([&] { told = true; });
    ASSERT_TRUE(waitUntil([&] { return held != nullptr; }));
    backend->signOut();
    signIn(QStringLiteral("token-z"));
    held->respond(200, "application/json", R"({"email":"ktos@example.com","tier":"free","secondsRemaining":5})");
    ASSERT_TRUE(waitUntil([&] { return told; }));
    EXPECT_EQ(backend->loginState(), LoginState::signedOut());
    EXPECT_EQ(backend->email(), QStringLiteral("ania@example.com"));
}

TEST_F(BackendTest, ConstructionAndAccountRead) {
    signIn();
    auto backend = makeBackend();
    EXPECT_EQ(backend->loginState(), LoginState::signedIn());
    EXPECT_TRUE(peer.http().requests().isEmpty());

    // An answer without "email" or "tier": email cleared, tier kept; one that is no JSON object changes nothing.
    ASSERT_TRUE(refresh(*backend));
    peer.http().route("GET", QStringLiteral("/api/me"), test::HttpResponse::json(200, R"({"secondsRemaining":12})"));
    ASSERT_TRUE(refresh(*backend));
    EXPECT_EQ(backend->loginState(), LoginState::signedIn());
    EXPECT_FALSE(backend->email());
    EXPECT_EQ(backend->tier(), QStringLiteral("pro"));
    peer.http().route("GET", QStringLiteral("/api/me"), test::HttpResponse::text(200, "<html>"));
    ASSERT_TRUE(refresh(*backend));
    EXPECT_EQ(backend->secondsRemaining(), 12);
    // Nor does one past the size cap, however well formed.
    peer.http().route(
        "GET", QStringLiteral("/api/me"),
        test::HttpResponse::json(200, R"({"secondsRemaining":5,"pad":")" + QByteArray(2 << 20, 'x') + R"("})"));
    ASSERT_TRUE(refresh(*backend));
    EXPECT_EQ(backend->secondsRemaining(), 12);
}

TEST_F(BackendTest, SessionOpenHeartbeatCloseRefusalsAndUnreachableBackend) {
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

    ASSERT_TRUE(close(*backend, 75, QStringLiteral("Acme")));
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

    // Refusals, and answers that do not decode.
    const auto answers = [&](int status, const QByteArray& body,
                             const std::optional<std::optional<QString>>& expected) {
        peer.http().route("POST", QStringLiteral("/api/session/start"), test::HttpResponse::json(status, body));
        EXPECT_EQ(open(*backend), expected) << status << " " << body.constData();
    };
    answers(402, "{}", i18n::text("session.error.noCredit"));
    EXPECT_EQ(backend->secondsRemaining(), 0);
    EXPECT_EQ(backend->sessionId(), QStringLiteral("sess-2")) << "a refusal leaves the open session's id alone";
    answers(403, R"({"error":"free_session_limit"})", QStringLiteral("free_session_limit")); // passed through
    answers(200, R"({"session":{}})", i18n::text("login.error.unreachable"));
    answers(502, "Bad gateway", i18n::text("login.error.unreachable"));
    answers(200, R"({"session":{"id":"s9"},"tier":"free"})", kAccepted);
    EXPECT_EQ(backend->tier(), QStringLiteral("free"));
    EXPECT_FALSE(backend->sessionMaxSeconds());

    peer.http().route("POST", QStringLiteral("/api/session/heartbeat"), test::HttpResponse::text(200, "oops"));
    EXPECT_EQ(heartbeat(*backend, 30), false);

    // Closing with the backend gone still closes the session here.
    backendGone();
    EXPECT_EQ(heartbeat(*backend, 30), false);
    ASSERT_TRUE(close(*backend, 40));
    EXPECT_FALSE(backend->sessionId());
    EXPECT_EQ(open(*backend), i18n::text("login.error.unreachable"));
}

} // namespace
