#include "core/SingleInstance.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QUuid>

using namespace quippet;

TEST(SingleInstanceTest, SecondStartHandsItsUrlsToTheFirst) {
    const QString name = QStringLiteral("quippet-test-") + QUuid::createUuid().toString(QUuid::Id128);
    SingleInstance second(name);
    EXPECT_FALSE(second.sendToRunning({QStringLiteral("quippet://auth?code=1")}, 200)) << "nobody is running yet";

    SingleInstance first(name);
    ASSERT_TRUE(first.listen());
    QSignalSpy received(&first, &SingleInstance::messageReceived);
    ASSERT_TRUE(
        second.sendToRunning({QStringLiteral("quippet://auth?code=1"), QStringLiteral("quippet://auth?code=2")}));
    while (received.count() < 2 && received.wait(2000)) {
    }
    ASSERT_EQ(received.count(), 2);
    EXPECT_EQ(received.at(0).at(0).toString(), QStringLiteral("quippet://auth?code=1"));
    EXPECT_EQ(received.at(1).at(0).toString(), QStringLiteral("quippet://auth?code=2"));

    // A bare second start (no URL) still counts as delivered, so that process exits instead of starting twice.
    EXPECT_TRUE(second.sendToRunning({}));
}

TEST(SingleInstanceTest, StaleSocketOfACrashedInstanceIsTakenOver) {
    const QString name = QStringLiteral("quippet-test-") + QUuid::createUuid().toString(QUuid::Id128);
    {
        SingleInstance crashed(name);
        ASSERT_TRUE(crashed.listen());
    }
    // (QLocalServer removes its socket on clean shutdown; a listener that cannot bind must still recover.)
    SingleInstance next(name);
    EXPECT_TRUE(next.listen());
    SingleInstance third(name);
    EXPECT_TRUE(third.sendToRunning({QStringLiteral("x")}));
}
