// The metering and sign-in rules, driven by the injected clock.
#include "ServerHarness.h"

namespace quippet::test {
namespace {

using server::Store;
using std::chrono::seconds;

class Rules : public ServerHarness {
protected:
    server::User user(const QString& email = kEmail) { return *store().user(email); }
    // Adds an account with `seconds` allowed and answers it.
    server::User addUser(const QString& email, qint64 seconds, const QString& tier) {
        EXPECT_FALSE(store().addUser(email, kPassword, seconds, tier));
        return user(email);
    }
    QString open(const server::User& who) {
        return store().startSession(who, {}, {}).body.value("session").toMap().value("id").toString();
    }
    QString open() { return open(user()); }
};

// What the client claims against how long the session has really run: the server's clock caps the charge.
TEST_F(Rules, ChargeIsTheClaimCappedByTheTimeSinceOpening) {
    const struct {
        int ran, claimed, charged;
    } claims[] = {{30, 30, 30}, {30, 20, 20}, {30, 600, 30}, {30, -5, 0}, {0, 10, 0}};
    int row = 0;
    for (const auto& c : claims) {
        const server::User who = addUser(QStringLiteral("c%1@example.com").arg(++row), 3600, QStringLiteral("pro"));
        const QString id = open(who);
        clock.advance(seconds(c.ran));
        ASSERT_EQ(store().heartbeat(who, id, c.claimed).status, 200);
        EXPECT_EQ(user(who.email).secondsUsed, c.charged) << c.ran << " s ran, " << c.claimed << " s claimed";
    }
}

TEST_F(Rules, ChargeNeverGoesBackAndASessionWithoutHeartbeatFor90SecondsIsClosedAtItsLastOne) {
    const QString id = open();
    clock.advance(seconds(30));
    store().heartbeat(user(), id, 30);
    store().heartbeat(user(), id, 10);
    EXPECT_EQ(user().secondsUsed, 30);
    clock.advance(seconds(91));
    const auto answer = store().heartbeat(user(), id, 121);
    EXPECT_EQ(answer.status, 409);
    EXPECT_EQ(answer.body.value("error"), QStringLiteral("no_open_session"));
    EXPECT_EQ(user().secondsUsed, 30);
}

TEST_F(Rules, NewStartClosesTheOpenSession) {
    const QString first = open();
    clock.advance(seconds(20));
    store().heartbeat(user(), first, 20);
    const QString second = open();
    EXPECT_NE(first, second);
    EXPECT_EQ(store().endSession(user(), first, 40, {}, {}).status, 409);
    EXPECT_EQ(user().secondsUsed, 20);
}

TEST_F(Rules, UsingUpTheAllowanceReportsExhaustedAndTheFreeTierHasItsCapAndCode) {
    const server::User shortUser = addUser(QStringLiteral("short@example.com"), 50, QStringLiteral("pro"));
    const auto started = store().startSession(shortUser, {}, {});
    EXPECT_EQ(started.body.value("maxSeconds").toLongLong(), 50);
    clock.advance(seconds(70));
    const auto answer = store().heartbeat(shortUser, started.body.value("session").toMap().value("id").toString(), 70);
    EXPECT_TRUE(answer.body.value("exhausted").toBool());
    EXPECT_EQ(answer.body.value("secondsRemaining").toLongLong(), 0);
    EXPECT_EQ(store().mayUseProviders(user(shortUser.email))->second, QStringLiteral("insufficient_credit"));

    const auto free = store().startSession(addUser(QStringLiteral("free@example.com"), 7200, "free"), {}, {});
    EXPECT_EQ(free.body.value("maxSeconds").toLongLong(), Store::sessionCap(QStringLiteral("free")));
    const auto refused = store().startSession(addUser(QStringLiteral("spent@example.com"), 0, "free"), {}, {});
    EXPECT_EQ(refused.status, 402);
    EXPECT_EQ(refused.body.value("error"), QStringLiteral("free_session_limit"));
}

TEST_F(Rules, DeviceCodesExpireAndArePerAddressLimited) {
    const auto start = store().startDevice(QStringLiteral("laptop"));
    clock.advance(seconds(Store::kDeviceLifetimeS));
    EXPECT_EQ(std::get<QString>(store().exchangeDevice(start->deviceCode, {})), QStringLiteral("expired_token"));
    for (int i = 0; i < Store::kDeviceStartsPerAddress; ++i)
        ASSERT_TRUE(store().startDevice(QStringLiteral("laptop"), QStringLiteral("10.0.0.7")));
    EXPECT_FALSE(store().startDevice(QStringLiteral("laptop"), QStringLiteral("10.0.0.7")));
    EXPECT_TRUE(store().startDevice(QStringLiteral("laptop"), QStringLiteral("10.0.0.8")));
}

TEST(Migrations, AnOlderDatabaseIsBroughtUpToDateKeepingItsData) {
    QTemporaryDir dir;
    const auto url = server::DatabaseUrl::parse(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("old.sqlite")));
    {
        server::Database old;
        ASSERT_FALSE(old.open(*url, 1));
        old.exec(QStringLiteral("INSERT INTO users (email, password_hash, tier, seconds_allowed, created_at) VALUES "
                                "(?, ?, ?, ?, ?)"),
                 {QStringLiteral("old@example.com"), QStringLiteral("x"), QStringLiteral("pro"), 60, 0});
    }
    server::Database db;
    ASSERT_FALSE(db.open(*url));
    ManualClock clock;
    server::Store store(db, clock, server::HashCost::Minimal);
    EXPECT_EQ(db.schemaVersion(), server::Database::latestVersion());
    EXPECT_TRUE(store.user(QStringLiteral("old@example.com")).has_value());
    EXPECT_TRUE(store.startDevice(QStringLiteral("laptop"), QStringLiteral("10.0.0.1")).has_value());
}

// Wrong passwords lock the account from any address, and an address for any account, until the window has passed.
TEST_F(Rules, AttemptLimitsPerAccountAndPerAddressLiftAfterTheirWindow) {
    const QString other = addUser(QStringLiteral("other@example.com"), 60, QStringLiteral("pro")).email;
    for (int i = 0; i < Store::kFailuresPerAccount; ++i)
        store().checkPassword(kEmail, "wrong", QStringLiteral("10.0.0.1"));
    for (int i = 0; i < Store::kFailuresPerAddress; ++i)
        store().checkPassword(QStringLiteral("nobody%1@example.com").arg(i), "wrong", QStringLiteral("10.0.0.9"));
    const std::pair<QString, QString> tries[] = {{kEmail, "10.0.0.2"}, {other, "10.0.0.9"}};
    for (const auto& [email, address] : tries)
        EXPECT_EQ(std::get<QString>(store().checkPassword(email, kPassword, address)), QStringLiteral("locked"));
    clock.advance(std::chrono::milliseconds(Store::kFailureWindowMs + 1000));
    for (const auto& [email, address] : tries)
        EXPECT_EQ(std::get<qint64>(store().checkPassword(email, kPassword, address)), user(email).id);
}

TEST_F(Rules, PasswordsAreStoredAsArgon2idHashesAndTokensAsDigests) {
    const QByteArray token = *store().issueToken(user().id, QStringLiteral("laptop"));
    server::Database db;
    ASSERT_FALSE(db.open(*server::DatabaseUrl::parse(databaseUrl)));
    QSqlQuery hash = db.exec(QStringLiteral("SELECT password_hash FROM users WHERE email = ?"), {kEmail});
    ASSERT_TRUE(hash.next());
    EXPECT_TRUE(hash.value(0).toString().startsWith(QLatin1String("$argon2id$")));
    QSqlQuery tokens = db.exec(QStringLiteral("SELECT COUNT(*) FROM access_tokens WHERE token_hash = ?"),
                               {QString::fromLatin1(token)});
    ASSERT_TRUE(tokens.next());
    EXPECT_EQ(tokens.value(0).toInt(), 0);
}

} // namespace
} // namespace quippet::test
