// Runs against the Secret Service of the session bus (the test script starts a private bus with an unlocked
// gnome-keyring), and, in the isolated cases, against no service at all or one that never answers.
#include "secrets/LibsecretStore.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <QUuid>

using namespace quippet;
using namespace std::chrono_literals;

namespace {

bool haveSessionKeyring() {
    return qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS") &&
           qEnvironmentVariable("QUIPPET_KEYCHAIN_MODE") != QLatin1String("isolated");
}

QString uniqueService() {
    return QStringLiteral("test-") + QUuid::createUuid().toString(QUuid::Id128);
}

// Runs secret-tool with the words of `command` and, for the item of `service` and our account, its attributes.
QByteArray secretTool(const QString& command, const QString& service, const QByteArray& input = {}) {
    QProcess p;
    p.start(QStringLiteral("secret-tool"),
            (command + QStringLiteral(" service ") + service + QStringLiteral(" account chatrelo")).split(' '));
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(10'000);
    return p.readAllStandardOutput() + p.readAllStandardError();
}

int itemCount(const QString& service) {
    const QByteArray out = secretTool(QStringLiteral("search --all"), service);
    return int((QByteArray("\n") + out).count("\n[/"));
}

class SessionKeyringTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveSessionKeyring()) {
            if (qEnvironmentVariable("QUIPPET_REQUIRE_KEYRING") == QLatin1String("1"))
                FAIL() << "no session keyring although the test run requires one";
            GTEST_SKIP() << "no session bus with a keyring";
        }
    }
    QStringList notes;
    LibsecretStore store{[this](const QString& line) { notes << line; }, 10s};
    Keychain keychain{store};
};

} // namespace

TEST_F(SessionKeyringTest, WriteReadReplaceDelete) {
    const QString service = uniqueService();
    EXPECT_FALSE(keychain.read(service).has_value());

    ASSERT_TRUE(keychain.write(service, QStringLiteral("sk_first\n")));
    EXPECT_EQ(store.readRaw(service, QStringLiteral("chatrelo")), QStringLiteral("sk_first\n"));

    ASSERT_TRUE(keychain.write(service, QStringLiteral("sk_second")));
    ASSERT_TRUE(keychain.write(service, QStringLiteral("sk_second")));
    EXPECT_EQ(keychain.read(service), QStringLiteral("sk_second"));
    EXPECT_EQ(itemCount(service), 1) << "replacing keeps one item";

    // Another account is another item.
    ASSERT_TRUE(keychain.write(service, QStringLiteral("other"), QStringLiteral("someone-else")));
    keychain.remove(service);
    EXPECT_FALSE(keychain.readAllowingBlank(service).has_value());
    EXPECT_EQ(keychain.read(service, QStringLiteral("someone-else")), QStringLiteral("other"));
    keychain.remove(service, QStringLiteral("someone-else"));
    EXPECT_TRUE(notes.isEmpty()) << notes.join(QLatin1Char('\n')).toStdString();
}

TEST_F(SessionKeyringTest, ItemsStoredByHandWithSecretTool) {
    const QString service = uniqueService();
    secretTool(QStringLiteral("store --label=by-hand"), service, "sk_typed\n");
    EXPECT_EQ(keychain.read(service), QStringLiteral("sk_typed"));

    // Our write replaces the hand-made item rather than adding a second one beside it.
    ASSERT_TRUE(keychain.write(service, QStringLiteral("sk_new")));
    EXPECT_EQ(itemCount(service), 1);
    EXPECT_EQ(secretTool(QStringLiteral("lookup"), service), QByteArray("sk_new"));
    keychain.remove(service);
    EXPECT_EQ(itemCount(service), 0);
}

// The cases below run in their own process (QUIPPET_KEYCHAIN_MODE=isolated) because the session bus connection
// of a process cannot be changed once made.
TEST(IsolatedKeyringTest, NoSecretServiceAnswersNothingQuickly) {
    if (qEnvironmentVariable("QUIPPET_KEYCHAIN_MODE") != QLatin1String("isolated"))
        GTEST_SKIP() << "runs in the isolated process";
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quippet-bus");
    QStringList notes;
    LibsecretStore store([&](const QString& line) { notes << line; }, 2s);
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_FALSE(store.readRaw(QStringLiteral("backend-token"), QStringLiteral("chatrelo")).has_value());
    EXPECT_FALSE(
        store.write(QStringLiteral("backend-token"), QStringLiteral("secret-value"), QStringLiteral("chatrelo")));
    EXPECT_LT(elapsed.elapsed(), 10'000);
    ASSERT_FALSE(notes.isEmpty());
    for (const QString& line : notes) {
        EXPECT_TRUE(line.startsWith(QStringLiteral("klucze: "))) << line.toStdString();
        EXPECT_FALSE(line.contains(QStringLiteral("secret-value"))) << "secrets never reach the log";
    }
}

namespace {
// Swallows every call without ever answering, like a Secret Service that has locked up.
class SilentObject : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage&, const QDBusConnection&) override { return true; }
};
} // namespace

TEST(IsolatedKeyringTest, StuckSecretServiceIsBounded) {
    if (qEnvironmentVariable("QUIPPET_KEYCHAIN_MODE") != QLatin1String("isolated"))
        GTEST_SKIP() << "runs in the isolated process";
    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    ASSERT_TRUE(bus.waitForStarted(5000));
    ASSERT_TRUE(bus.waitForReadyRead(5000));
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    {
        QDBusConnection connection = QDBusConnection::connectToBus(address, QStringLiteral("stuck"));
        ASSERT_TRUE(connection.isConnected());
        ASSERT_TRUE(connection.registerService(QStringLiteral("org.freedesktop.secrets")));
        SilentObject silent;
        ASSERT_TRUE(connection.registerVirtualObject(QStringLiteral("/"), &silent, QDBusConnection::SubPath));
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());

        QStringList notes;
        LibsecretStore store([&](const QString& line) { notes << line; }, 300ms, 10min);
        // The caller's event loop keeps running while the service is waited for: the interface does not freeze.
        bool ticked = false;
        QTimer::singleShot(0, [&] { ticked = true; });
        QElapsedTimer elapsed;
        elapsed.start();
        EXPECT_FALSE(store.readRaw(QStringLiteral("gemini-api-key"), QStringLiteral("chatrelo")).has_value());
        EXPECT_TRUE(ticked);
        // A service that does not answer at all never gets the long wait meant for a password prompt.
        EXPECT_FALSE(
            store.write(QStringLiteral("gemini-api-key"), QStringLiteral("AIza-x"), QStringLiteral("chatrelo")));
        EXPECT_LT(elapsed.elapsed(), 10'000);
        ASSERT_EQ(notes.size(), 2);
        EXPECT_TRUE(notes[0].contains(QStringLiteral("nie odpowiada")));
        EXPECT_TRUE(notes[1].contains(QStringLiteral("nie zapisano")));
        connection.unregisterObject(QStringLiteral("/"));
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("stuck"));
    bus.terminate();
    bus.waitForFinished(5000);
}
