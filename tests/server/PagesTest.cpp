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
        ASSERT_FALSE(
            store().addUser(QString::fromLatin1(kLead), kPassword, 0, QStringLiteral("pro"), QStringLiteral("admin")));
    }

    // Signs the browser in on the account page; answers the page it lands on.
    Reply signIn(Client& browser, const char* email) {
        return browser.form("panel/signin", {{"csrf", csrf(browser)}, {"email", email}, {"password", kPassword}});
    }
    static QString csrf(Client& browser) { return Client::hidden(browser.get("panel").body, "csrf"); }

    // A session of `seconds`, ended; answers the ending's reply.
    // `during`: a request sent while it is open.
    Reply listen(const QByteArray& token, int seconds, const QJsonObject& about = {}, const QString& during = {}) {
        const Reply start = client.post("api/session/start", about, token);
        if (!during.isEmpty())
            client.post(during, {}, token);
        const QJsonValue id = start.value("session").toObject().value("id");
        clock.advance(std::chrono::seconds(seconds));
        return client.post("api/session/end", {{"sessionId", id}, {"secondsUsed", seconds}}, token);
    }
};

// Every admin page and action, asked by a signed-in user without the admin role.
TEST_F(Pages, AdminPagesAndActionsAreForbiddenToOthers) {
    ASSERT_EQ(signIn(client, kEmail).status, 200);
    for (const char* page :
         {"admin", "admin/users", "admin/documents", "admin/usage", "admin/usage.csv", "admin/audit"})
        EXPECT_EQ(client.get(page).status, 403) << page;
    for (const char* action : {"admin/users/time", "admin/users/add", "admin/documents/remove"}) {
        const Fields fields{{"csrf", csrf(client)}, {"email", kEmail}, {"minutes", "600"}};
        EXPECT_EQ(client.form(action, fields).status, 403) << action;
    }
    EXPECT_EQ(store().user(kEmail)->secondsAllowed, 3600);
}

TEST_F(Pages, AddedUserSignsInWithThePasswordShownOnce) {
    ASSERT_EQ(signIn(client, kLead).status, 200);
    const Reply added =
        client.form("admin/users/add", {{"csrf", csrf(client)}, {"email", "Rep@Example.com"}, {"hours", "2"}});
    const QString password = QRegularExpression(QStringLiteral("id=\"initial-password\">([^<]+)<"))
                                 .match(QString::fromUtf8(added.body))
                                 .captured(1);
    ASSERT_EQ(password.size(), 16) << added.body.constData();
    EXPECT_TRUE(std::holds_alternative<qint64>(
        store().checkPassword(QStringLiteral("rep@example.com"), password.toLatin1(), QStringLiteral("127.0.0.1"))));
    EXPECT_EQ(store().user(QStringLiteral("rep@example.com"))->secondsAllowed, 7200);
    EXPECT_EQ(store().auditLog(1).value(0).action, QStringLiteral("user.add"));
    EXPECT_FALSE(client.get("admin/users").body.contains(password.toUtf8()));
}

// The account page after a device sign-in in the same browser, and the lead's usage pages.
TEST_F(Pages, AccountPageShowsSessionsAndWhomToAskAndUsageCountsSecondsAndRequestsPerUserPerDay) {
    const QByteArray token = client.signIn(); // the same browser confirmed the device
    const Reply end = listen(token, 90, {{"company", "Acme"}, {"topic", "Pricing"}}, "api/stt/token");
    ASSERT_EQ(end.status, 200) << end.body.constData();
    const Reply page = client.get("panel");
    ASSERT_EQ(page.status, 200);
    for (const char* shown :
         {"ania@example.com", "Acme", "Pricing", "1 min 30 s", "mailto:lead@example.com", "58 min 30 s"})
        EXPECT_TRUE(page.body.contains(shown)) << shown;
    Client lead(server->url());
    signIn(lead, kLead);
    EXPECT_TRUE(lead.get("admin/usage").body.contains("<svg id=\"chart\""));
    const Reply csv = lead.get("admin/usage.csv");
    EXPECT_TRUE(csv.body.contains("2026-01-01,ania@example.com,90,0,1\n")) << csv.body.constData();
}

TEST_F(Pages, SignOutAllComputersOrADisabledAccountRevokesTheProgramsTokens) {
    const QByteArray first = client.signIn();
    client.form("panel/revoke", {{"csrf", csrf(client)}});
    EXPECT_EQ(client.get("api/me", first).status, 401);
    const QByteArray second = client.signIn();
    ASSERT_EQ(client.get("api/me", second).status, 200);
    ASSERT_FALSE(store().setDisabled(kEmail, true));
    EXPECT_EQ(client.get("api/me", second).status, 401);
}

TEST_F(Pages, PolishWhenTheBrowserPrefersIt) {
    client.headers = {{"Accept-Language", "en;q=0.5,pl-PL;q=0.9"}};
    const QByteArray body = client.get("panel").body;
    EXPECT_TRUE(body.contains("<html lang=\"pl\">"));
    EXPECT_TRUE(body.contains("Zaloguj"));
}

TEST_F(Pages, HealthAndMetrics) {
    EXPECT_EQ(client.get("healthz").body, "ok\n");
    client.get("api/me");
    const QByteArray metrics = client.get("metrics").body;
    EXPECT_TRUE(metrics.contains("quippet_requests_total{endpoint=\"/api/me\",status=\"401\"} 1\n"))
        << metrics.constData();
    EXPECT_TRUE(metrics.contains("quippet_open_sessions 0\n"));
}

// A backup taken by another process while the server charges heartbeats restores to the same usage.
TEST_F(Pages, BackupWhileHeartbeatingRestoresTheSameUsage) {
    if (!databaseUrl.startsWith(QLatin1String("sqlite:")))
        GTEST_SKIP() << "PostgreSQL is backed up with its own tools";
    const QByteArray token = client.signIn();
    const QJsonValue id = client.post("api/session/start", {}, token).value("session").toObject().value("id");
    clock.advance(std::chrono::seconds(60));
    const QJsonObject heartbeat{{"sessionId", id}, {"secondsUsed", 60}};
    ASSERT_EQ(client.post("api/session/heartbeat", heartbeat, token).status, 200);

    auto command = [](const QStringList& arguments) {
        auto process = std::make_unique<QProcess>();
        process->start(QStringLiteral(QUIPPET_SERVER_BINARY), arguments);
        return process;
    };
    const QString backupFile = dir.filePath(QStringLiteral("backup.sqlite"));
    const auto backup = command({QStringLiteral("backup"), backupFile, QStringLiteral("--database"), databaseUrl});
    do {
        EXPECT_EQ(client.post("api/session/heartbeat", heartbeat, token).status, 200);
    } while (backup->state() != QProcess::NotRunning && !backup->waitForFinished(10));
    ASSERT_EQ(backup->exitCode(), 0) << backup->readAllStandardError().constData();

    const QString restored = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("restored.sqlite"));
    const auto restore = command({QStringLiteral("restore"), backupFile, QStringLiteral("--database"), restored});
    ASSERT_TRUE(restore->waitForFinished(30000));
    ASSERT_EQ(restore->exitCode(), 0) << restore->readAllStandardError().constData();
    auto usage = [&](const QString& url) {
        const auto process = command({QStringLiteral("usage"), QStringLiteral("--database"), url});
        process->waitForFinished(30000);
        return process->readAllStandardOutput();
    };
    const QByteArray before = usage(databaseUrl);
    EXPECT_TRUE(before.contains("60")) << before.constData();
    EXPECT_EQ(usage(restored), before);
}

} // namespace
} // namespace quippet::test
