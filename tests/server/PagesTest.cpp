// The account and admin pages, health and metrics, and a backup taken while the server works.
#include "ServerHarness.h"

#include <QProcess>

namespace quippet::test {
namespace {

class Pages : public ServerHarness {
protected:
    static constexpr const char* kLead = "lead@example.com";

    void SetUp() override {
        ServerHarness::SetUp();
        ASSERT_FALSE(store().addUser(QString::fromLatin1(kLead), kPassword, 0, QStringLiteral("pro"), QStringLiteral("admin")));
    }

    // Signs the browser in on the account page; answers the page it lands on.
    Reply signIn(Client& browser, const char* email) {
        const Reply form = browser.send("GET", at(QStringLiteral("panel")));
        return browser.form(at(QStringLiteral("panel/signin")), {{QStringLiteral("csrf"), Client::hidden(form.body, QStringLiteral("csrf"))},
                                                                 {QStringLiteral("email"), QString::fromLatin1(email)},
                                                                 {QStringLiteral("password"), QString::fromLatin1(kPassword)}});
    }
    QString csrf(Client& browser) { return Client::hidden(browser.send("GET", at(QStringLiteral("panel"))).body, QStringLiteral("csrf")); }

    // A session of `seconds` about a company and topic, ended.
    void listen(const QByteArray& token, int seconds) {
        const Reply start = client.json(at(QStringLiteral("api/session/start")), {{"company", "Acme"}, {"topic", "Pricing"}}, token);
        const QString id = start.json().value(QLatin1String("session")).toObject().value(QLatin1String("id")).toString();
        clock.advance(std::chrono::seconds(seconds));
        client.json(at(QStringLiteral("api/session/end")), {{"sessionId", id}, {"secondsUsed", seconds}}, token);
    }

    Client client;
};

// Every admin page and action, asked by a signed-in user without the admin role.
struct Route {
    const char* method;
    const char* path;
};
class NonAdmin : public Pages, public ::testing::WithParamInterface<Route> {};

TEST_P(NonAdmin, IsForbidden) {
    ASSERT_EQ(signIn(client, kEmail).status, 200);
    const QUrl url = at(QString::fromLatin1(GetParam().path));
    const Reply reply = QByteArray(GetParam().method) == "GET"
                            ? client.send("GET", url)
                            : client.form(url, {{QStringLiteral("csrf"), csrf(client)},
                                                {QStringLiteral("email"), QString::fromLatin1(kEmail)},
                                                {QStringLiteral("minutes"), QStringLiteral("600")}});
    EXPECT_EQ(reply.status, 403);
    EXPECT_EQ(store().user(QString::fromLatin1(kEmail))->secondsAllowed, 3600);
}

INSTANTIATE_TEST_SUITE_P(Routes, NonAdmin,
                         ::testing::Values(Route{"GET", "admin"}, Route{"GET", "admin/users"}, Route{"GET", "admin/documents"},
                                           Route{"GET", "admin/usage"}, Route{"GET", "admin/usage.csv"},
                                           Route{"GET", "admin/audit"}, Route{"POST", "admin/users/time"},
                                           Route{"POST", "admin/users/add"}, Route{"POST", "admin/documents/remove"}));

TEST_F(Pages, PostWithoutTheFormTokenIsRefused) {
    ASSERT_EQ(signIn(client, kLead).status, 200);
    const Reply reply = client.form(at(QStringLiteral("admin/users/add")), {{QStringLiteral("email"), QStringLiteral("new@example.com")}});
    EXPECT_EQ(reply.status, 403);
    EXPECT_FALSE(store().user(QStringLiteral("new@example.com")));
}

TEST_F(Pages, AddedUserSignsInWithThePasswordShownOnce) {
    ASSERT_EQ(signIn(client, kLead).status, 200);
    const Reply added = client.form(at(QStringLiteral("admin/users/add")), {{QStringLiteral("csrf"), csrf(client)},
                                                                            {QStringLiteral("email"), QStringLiteral("Rep@Example.com")},
                                                                            {QStringLiteral("hours"), QStringLiteral("2")}});
    const QString password = QRegularExpression(QStringLiteral("id=\"initial-password\">([^<]+)<"))
                                 .match(QString::fromUtf8(added.body)).captured(1);
    ASSERT_EQ(password.size(), 16) << added.body.constData();
    EXPECT_TRUE(std::holds_alternative<qint64>(store().checkPassword(QStringLiteral("rep@example.com"), password.toLatin1(), QStringLiteral("127.0.0.1"))));
    EXPECT_EQ(store().user(QStringLiteral("rep@example.com"))->secondsAllowed, 7200);
    EXPECT_EQ(store().auditLog(1).value(0).action, QStringLiteral("user.add"));
    EXPECT_FALSE(client.send("GET", at(QStringLiteral("admin/users"))).body.contains(password.toUtf8()));
}

TEST_F(Pages, AccountPageAfterDeviceSignInShowsSessionsAndWhomToAsk) {
    const QByteArray token = signInRaw(client); // the same browser confirmed the device
    listen(token, 90);
    const Reply page = client.send("GET", at(QStringLiteral("panel")));
    ASSERT_EQ(page.status, 200);
    for (const char* shown : {"ania@example.com", "Acme", "Pricing", "1 min 30 s", "mailto:lead@example.com", "58 min 30 s"})
        EXPECT_TRUE(page.body.contains(shown)) << shown;
}

TEST_F(Pages, SignOutAllComputersRevokesTheProgramsTokens) {
    const QByteArray token = signInRaw(client);
    client.form(at(QStringLiteral("panel/revoke")), {{QStringLiteral("csrf"), csrf(client)}});
    EXPECT_EQ(client.send("GET", at(QStringLiteral("api/me")), {}, {}, token).status, 401);
}

TEST_F(Pages, PolishWhenTheBrowserPrefersIt) {
    QNetworkRequest request(at(QStringLiteral("panel")));
    request.setRawHeader("Accept-Language", "en;q=0.5,pl-PL;q=0.9");
    QNetworkReply* reply = client.network().get(request);
    waitUntil([reply] { return reply->isFinished(); });
    const QByteArray body = reply->readAll();
    reply->deleteLater();
    EXPECT_TRUE(body.contains("<html lang=\"pl\">"));
    EXPECT_TRUE(body.contains("Zaloguj"));
}

TEST_F(Pages, UsageCsvHasListeningSecondsAndRequestsPerUserPerDay) {
    const QByteArray token = signInRaw(client);
    const Reply start = client.json(at(QStringLiteral("api/session/start")), {}, token);
    client.json(at(QStringLiteral("api/stt/token")), {}, token);
    clock.advance(std::chrono::seconds(80));
    const Reply end = client.json(at(QStringLiteral("api/session/end")),
                {{"sessionId", start.json().value(QLatin1String("session")).toObject().value(QLatin1String("id"))}, {"secondsUsed", 80}},
                token);
    ASSERT_EQ(end.status, 200) << end.body.constData();
    Client lead;
    signIn(lead, kLead);
    EXPECT_TRUE(lead.send("GET", at(QStringLiteral("admin/usage"))).body.contains("<svg id=\"chart\""));
    const Reply csv = lead.send("GET", at(QStringLiteral("admin/usage.csv")));
    EXPECT_TRUE(csv.body.contains("2026-01-01,ania@example.com,80,0,1\n")) << csv.body.constData();
}

TEST_F(Pages, DisabledUserLosesItsToken) {
    const QByteArray token = signInRaw(client);
    ASSERT_FALSE(store().setDisabled(QString::fromLatin1(kEmail), true));
    EXPECT_EQ(client.send("GET", at(QStringLiteral("api/me")), {}, {}, token).status, 401);
}

TEST_F(Pages, HealthAndMetrics) {
    EXPECT_EQ(client.send("GET", at(QStringLiteral("healthz"))).body, "ok\n");
    client.send("GET", at(QStringLiteral("api/me")));
    const QByteArray metrics = client.send("GET", at(QStringLiteral("metrics"))).body;
    EXPECT_TRUE(metrics.contains("quippet_requests_total{endpoint=\"/api/me\",status=\"401\"} 1\n")) << metrics.constData();
    EXPECT_TRUE(metrics.contains("quippet_open_sessions 0\n"));
}

// A backup taken by another process while the server charges heartbeats restores to the same usage.
TEST_F(Pages, BackupWhileHeartbeatingRestoresTheSameUsage) {
    if (!databaseUrl.startsWith(QLatin1String("sqlite:")))
        GTEST_SKIP() << "PostgreSQL is backed up with its own tools";
    const QByteArray token = signInRaw(client);
    const Reply start = client.json(at(QStringLiteral("api/session/start")), {}, token);
    const QJsonValue id = start.json().value(QLatin1String("session")).toObject().value(QLatin1String("id"));
    clock.advance(std::chrono::seconds(60));
    ASSERT_EQ(client.json(at(QStringLiteral("api/session/heartbeat")), {{"sessionId", id}, {"secondsUsed", 60}}, token).status, 200);

    auto command = [](const QStringList& arguments) {
        auto* process = new QProcess;
        process->start(QStringLiteral(QUIPPET_SERVER_BINARY), arguments);
        return process;
    };
    const QString backupFile = dir.filePath(QStringLiteral("backup.sqlite"));
    std::unique_ptr<QProcess> backup(command({QStringLiteral("backup"), backupFile, QStringLiteral("--database"), databaseUrl}));
    int heartbeats = 0;
    while (backup->state() != QProcess::NotRunning || heartbeats == 0) {
        EXPECT_EQ(client.json(at(QStringLiteral("api/session/heartbeat")), {{"sessionId", id}, {"secondsUsed", 60}}, token).status, 200);
        ++heartbeats;
        backup->waitForFinished(10);
    }
    ASSERT_EQ(backup->exitCode(), 0) << backup->readAllStandardError().constData();

    const QString restored = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("restored.sqlite"));
    std::unique_ptr<QProcess> restore(command({QStringLiteral("restore"), backupFile, QStringLiteral("--database"), restored}));
    ASSERT_TRUE(restore->waitForFinished(30000));
    ASSERT_EQ(restore->exitCode(), 0) << restore->readAllStandardError().constData();
    auto usage = [&](const QString& url) {
        std::unique_ptr<QProcess> process(command({QStringLiteral("usage"), QStringLiteral("--database"), url}));
        process->waitForFinished(30000);
        return process->readAllStandardOutput();
    };
    const QByteArray before = usage(databaseUrl);
    EXPECT_TRUE(before.contains("60")) << before.constData();
    EXPECT_EQ(usage(restored), before);
}

} // namespace
} // namespace quippet::test
