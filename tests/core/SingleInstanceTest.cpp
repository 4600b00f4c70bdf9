#include "core/SingleInstance.h"

#include "support/ManualClock.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quippet;

namespace {

QString uniqueName() {
    return QStringLiteral("quippet-test-") + QUuid::createUuid().toString(QUuid::Id128);
}

} // namespace

// The handler of a command may wait on the keyring, which turns the event loop while the sender goes away.
TEST(SingleInstanceTest, SecondStartHandsItsLinesToAHandlerThatRunsAnEventLoop) {
    const QString name = uniqueName();
    SingleInstance second(name);
    EXPECT_FALSE(second.sendToRunning({QStringLiteral("--check")}, 200)) << "nobody is running yet";

    SingleInstance first(name);
    ASSERT_TRUE(first.listen());
    EXPECT_TRUE(first.path().startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/')));
    QStringList received;
    QObject::connect(&first, &SingleInstance::messageReceived, [&](const QString& message) {
        received << message;
        QEventLoop wait;
        QTimer::singleShot(50, &wait, &QEventLoop::quit);
        wait.exec();
    });
    ASSERT_TRUE(second.sendToRunning({QStringLiteral("--check"), QStringLiteral("quippet://auth?code=2")}));
    QSignalSpy spy(&first, &SingleInstance::messageReceived);
    while (received.size() < 2 && spy.wait(2000)) {
    }
    EXPECT_EQ(received, (QStringList{QStringLiteral("--check"), QStringLiteral("quippet://auth?code=2")}));

    // A bare second start (no URL) still counts as delivered, so that process exits instead of starting twice.
    EXPECT_TRUE(second.sendToRunning({}));
}

TEST(SingleInstanceTest, AStaleSocketIsReplacedButALiveOneOnlyWhenTakingOver) {
    const QString name = uniqueName();
    SingleInstance crashed(name);
    // What a killed instance leaves: a bound socket file nobody listens on.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(crashed.path());
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);

    SingleInstance next(name);
    ASSERT_TRUE(next.listen()) << "the leftover is replaced";
    SingleInstance another(name);
    EXPECT_FALSE(another.listen()) << "a live instance keeps its socket";
    QSignalSpy toNext(&next, &SingleInstance::messageReceived);
    EXPECT_TRUE(another.sendToRunning({QStringLiteral("x")}));
    EXPECT_TRUE(toNext.wait(2000));

    ASSERT_TRUE(another.listen(SingleInstance::Mode::TakeOver));
    QSignalSpy toAnother(&another, &SingleInstance::messageReceived);
    EXPECT_TRUE(SingleInstance(name).sendToRunning({QStringLiteral("y")}));
    EXPECT_TRUE(toAnother.wait(2000));
}

TEST(SingleInstanceTest, AnOverlongLineOrASilentSenderIsCutOff) {
    ManualClock clock;
    SingleInstance running(uniqueName(), &clock);
    ASSERT_TRUE(running.listen());
    QSignalSpy received(&running, &SingleInstance::messageReceived);

    QLocalSocket flood;
    flood.connectToServer(running.path());
    ASSERT_TRUE(flood.waitForConnected(2000));
    flood.write(QByteArray(SingleInstance::kMaxLineBytes + 100, 'a'));
    flood.flush();
    QSignalSpy floodGone(&flood, &QLocalSocket::disconnected);
    EXPECT_TRUE(floodGone.wait(2000));

    QLocalSocket silent;
    silent.connectToServer(running.path());
    ASSERT_TRUE(silent.waitForConnected(2000));
    QSignalSpy silentGone(&silent, &QLocalSocket::disconnected);
    ASSERT_TRUE(QTest::qWaitFor([&] { return clock.activeTimers() > 0; }, 2000));
    clock.advance(SingleInstance::kIdleTimeout);
    EXPECT_TRUE(silentGone.wait(2000));
    EXPECT_EQ(received.count(), 0);
}

TEST(SingleInstanceTest, TheSocketFolderIsPrivateOrThereIsNone) {
    QTemporaryDir scratch;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR"), temp = qgetenv("TMPDIR");
    const QString open = scratch.filePath(QStringLiteral("open"));
    QDir().mkpath(open);
    QFile::setPermissions(open,
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(open));
    qputenv("TMPDIR", QFile::encodeName(scratch.path()));
    const QString fallback = scratch.filePath(QStringLiteral("quippet-%1").arg(::getuid()));
    EXPECT_EQ(SingleInstance::socketDirectory(), fallback) << "a runtime folder open to others is not used";
    EXPECT_EQ(QFile::permissions(fallback) & (QFile::ReadOther | QFile::WriteOther | QFile::ExeOther), 0);

    QFile::setPermissions(fallback, QFile::permissions(open));
    EXPECT_EQ(SingleInstance::socketDirectory(), QString()) << "nor a fallback others can enter";
    EXPECT_FALSE(SingleInstance(uniqueName()).listen());
    qputenv("XDG_RUNTIME_DIR", runtime);
    if (temp.isEmpty())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", temp);
}
