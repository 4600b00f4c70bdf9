#include "secrets/Credentials.h"

#include "core/Localization.h"
#include "core/Settings.h"
#include "peers/HttpPeer.h"
#include "secrets/BackendUrl.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

using namespace quippet;
using namespace quippet::test;

namespace {

CredentialResult await(CredentialProvider& provider) {
    auto result = std::make_shared<std::optional<CredentialResult>>();
    provider.credential([result](CredentialResult r) { *result = std::move(r); });
    EXPECT_TRUE(waitUntil([&] { return result->has_value(); }, 10'000));
    return result->value_or(CredentialResult(QStringLiteral("no answer")));
}

QString errorOf(const CredentialResult& r) {
    return std::holds_alternative<QString>(r) ? std::get<QString>(r) : QString();
}

} // namespace

TEST(KeychainCredentialProviderTest, TrimmingBlankValuesAndOwnKeyRules) {
    MemorySecretStore store;
    Keychain keychain(store);
    keychain.write(QStringLiteral("gemini-api-key"), QStringLiteral("  AIza-key\n"));
    EXPECT_EQ(keychain.read(QStringLiteral("gemini-api-key")), QStringLiteral("AIza-key"));
    keychain.write(QStringLiteral("gemini-api-key"), QStringLiteral("  "));
    EXPECT_FALSE(keychain.read(QStringLiteral("gemini-api-key")).has_value());
    EXPECT_EQ(keychain.readAllowingBlank(QStringLiteral("gemini-api-key")), QString());
    keychain.remove(QStringLiteral("gemini-api-key"));
    EXPECT_FALSE(keychain.readAllowingBlank(QStringLiteral("gemini-api-key")).has_value());

    KeychainCredentialProvider provider(keychain);
    EXPECT_EQ(errorOf(await(provider)), KeychainCredentialProvider::missingText());
    EXPECT_TRUE(KeychainCredentialProvider::missingText().contains(
        QStringLiteral("secret-tool store --label=ElevenLabs service elevenlabs-api-key account chatrelo")));

    keychain.write(QStringLiteral("elevenlabs-api-key"), QStringLiteral("sk_live123\n"));
    EXPECT_EQ(await(provider), CredentialResult(Credential{Credential::Kind::ApiKey, QStringLiteral("sk_live123")}));

    for (const QString& bad : {QStringLiteral("  "), QStringLiteral("SK_live123"), QStringLiteral("key_4f2a")}) {
        keychain.write(QStringLiteral("elevenlabs-api-key"), bad);
        EXPECT_EQ(errorOf(await(provider)), KeychainCredentialProvider::looksLikeKeyIdText()) << bad.toStdString();
    }
}

TEST(BackendCredentialProviderTest, TokenEndpointAnswers) {
    HttpPeer peer;
    ASSERT_TRUE(peer.start());
    const QUrl endpoint = appendPath(peer.baseUrl(), QStringLiteral("api/stt/token"));
    BackendCredentialProvider provider(endpoint, QStringLiteral("session-abc"));

    peer.route("POST", QStringLiteral("/api/stt/token"), HttpResponse::json(200, R"({"token":"single-use-1"})"));
    EXPECT_EQ(await(provider), CredentialResult(Credential{Credential::Kind::Token, QStringLiteral("single-use-1")}));
    ASSERT_EQ(peer.requests().size(), 1);
    EXPECT_EQ(peer.requests()[0].header("authorization"), QByteArray("Bearer session-abc"));
    EXPECT_TRUE(peer.requests()[0].body.isEmpty());

    const QByteArray refusals[][2] = {{"201", R"({"token":"t"})"},
                                      {"200", R"({"token":12345})"},
                                      {"200", "not json"},
                                      {"401", R"({"error":"unauthorized"})"},
                                      {"500", "<html>oops</html>"}};
    for (const auto& [status, body] : refusals) {
        peer.route("POST", QStringLiteral("/api/stt/token"), HttpResponse::json(status.toInt(), body));
        EXPECT_EQ(errorOf(await(provider)), BackendCredentialProvider::refusedText())
            << status.constData() << body.constData();
    }

    // Transport failure: the connection is cut before any answer; the network's own description is passed on.
    peer.route("POST", QStringLiteral("/api/stt/token"), HttpResponse::drop());
    const QString transport = errorOf(await(provider));
    EXPECT_FALSE(transport.isEmpty());
    EXPECT_NE(transport, BackendCredentialProvider::refusedText());
    // A server's own path stays in front of the endpoint.
    EXPECT_EQ(appendPath(QUrl(QStringLiteral("https://b.example/v1")), QStringLiteral("api/stt/token")),
              QUrl(QStringLiteral("https://b.example/v1/api/stt/token")));
}

// Only an address someone chose is offered; the built-in one never is.
TEST(BackendUrlTest, OnlyAChosenAddressCountsAsConfigured) {
    TempHome home;
    qunsetenv("QUIPPET_BACKEND");
    EXPECT_FALSE(configuredBackendUrl());
    EXPECT_FALSE(backendUrlFromEnvironment());
    storeBackendUrl(QUrl(QStringLiteral("https://team.example/q")));
    EXPECT_EQ(configuredBackendUrl(), QUrl(QStringLiteral("https://team.example/q")));
    qputenv("QUIPPET_BACKEND", "");
    EXPECT_FALSE(configuredBackendUrl()) << "set but empty: nothing chosen, and the preference does not count";
    EXPECT_TRUE(backendUrlFromEnvironment());
    qunsetenv("QUIPPET_BACKEND");
}

TEST(BackendUrlTest, TypedServerAddresses) {
    struct Case {
        const char* typed;
        const char* accepted; // nullptr: refused with `why`
        const char* why;
    };
    const Case cases[] = {
        {"https://quippet.example.com", "https://quippet.example.com", nullptr},
        {"  https://q.example:8443/team/ ", "https://q.example:8443/team/", nullptr},
        {"quippet.example.com", "https://quippet.example.com", nullptr},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080", nullptr},
        {"http://localhost:8080", "http://localhost:8080", nullptr},
        {"http://[::1]:8080", "http://[::1]:8080", nullptr},
        {"http://quippet.example.com", nullptr, "server.error.insecure"},
        {"http://192.168.1.5:8080", nullptr, "server.error.insecure"},
        {"https://user:pw@q.example", nullptr, "server.error.insecure"},
        {"https://q.example/?next=evil", nullptr, "server.error.insecure"},
        {"ftp://q.example", nullptr, "server.error.invalid"},
        {"file:///etc/passwd", nullptr, "server.error.invalid"},
        {"https://", nullptr, "server.error.invalid"},
        {"not a url at all", nullptr, "server.error.invalid"},
        {"   ", nullptr, "server.error.empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        const auto parsed = parseServerAddress(QString::fromUtf8(c.typed));
        if (c.accepted) {
            ASSERT_TRUE(std::holds_alternative<QUrl>(parsed)) << std::get<QString>(parsed).toStdString();
            EXPECT_EQ(std::get<QUrl>(parsed), QUrl(QString::fromUtf8(c.accepted)));
        } else {
            ASSERT_TRUE(std::holds_alternative<QString>(parsed));
            const QString expected = QLatin1String(c.why) == QLatin1String("server.error.empty")
                                         ? i18n::text(c.why)
                                         : i18n::format(c.why, QString::fromUtf8(c.typed).trimmed());
            EXPECT_EQ(std::get<QString>(parsed), expected);
        }
    }
}

TEST(BackendUrlTest, EnvironmentThenPreferenceThenDefault) {
    TempHome home;
    qunsetenv("QUIPPET_BACKEND");
    EXPECT_EQ(backendBaseUrl(), defaultBackendBaseUrl());

    Settings::setValue(Settings::kBackendBaseUrl, QStringLiteral("http://127.0.0.1:9000/"));
    EXPECT_EQ(backendBaseUrl(), QUrl(QStringLiteral("http://127.0.0.1:9000/")));

    qputenv("QUIPPET_BACKEND", "http://localhost:7000");
    EXPECT_EQ(backendBaseUrl(), QUrl(QStringLiteral("http://localhost:7000")));
    // Set but empty, or not a URL: the built-in default, never the preference.
    qputenv("QUIPPET_BACKEND", "");
    EXPECT_EQ(backendBaseUrl(), defaultBackendBaseUrl());
    qputenv("QUIPPET_BACKEND", "http://bad host:x");
    EXPECT_EQ(backendBaseUrl(), defaultBackendBaseUrl());
    qunsetenv("QUIPPET_BACKEND");
}
