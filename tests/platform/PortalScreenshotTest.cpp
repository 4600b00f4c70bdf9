#include "platform/PortalScreenshot.h"

#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>
#include <QThread>
#include <QTimer>
#include <QUrl>

using namespace quippet;

namespace {

// The desktop portal's Screenshot interface on a connection of its own, served from another thread so that the
// client's blocking probe can be answered.
class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Screenshot")
    Q_PROPERTY(uint version READ version)
public:
    QString picture; // answered as a fresh copy, or refused when empty
    uint code = 0;   // 0 granted, 1 cancelled, 2 refused
    QStringList tokens;

    uint version() const { return 2; }

public slots:
    QDBusObjectPath Screenshot(const QString&, const QVariantMap& options, const QDBusMessage& message) {
        QString sender = message.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString token = options.value(QStringLiteral("handle_token")).toString();
        tokens << token;
        const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/") + sender + '/' + token;
        QVariantMap results;
        if (code == 0) {
            const QString copy = picture + QStringLiteral(".shot.png");
            QFile::copy(picture, copy);
            results.insert(QStringLiteral("uri"), QUrl::fromLocalFile(copy).toString());
        }
        QDBusMessage response = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.portal.Request"),
                                                           QStringLiteral("Response"));
        response << code << results;
        QTimer::singleShot(0, this, [response] { QDBusConnection(QStringLiteral("fake-portal")).send(response); });
        return QDBusObjectPath(path);
    }
};

class PortalScreenshotTest : public ::testing::Test {
protected:
    void TearDown() override {
        QDBusConnection bus(QStringLiteral("fake-portal"));
        bus.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
        bus.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-portal"));
        thread.quit();
        thread.wait();
        delete portal;
    }
    bool servePortal() {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-portal"));
        if (!bus.isConnected())
            return false;
        portal = new FakePortal;
        portal->moveToThread(&thread);
        thread.start();
        return bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), portal,
                                  QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) &&
               bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
    }

    test::TempHome home;
    QThread thread;
    FakePortal* portal = nullptr;
};

TEST_F(PortalScreenshotTest, PictureFromThePortalAndEveryWayItCanFail) {
    if (!QDBusConnection::sessionBus().isConnected())
        GTEST_SKIP() << "no session bus";
    PortalScreenshot shot;
    QImage got;
    QString error;
    bool answered = false;
    auto take = [&] {
        answered = false;
        shot.take([&](const QImage& picture, const QString& why) {
            got = picture;
            error = why;
            answered = true;
        });
        return test::waitUntil([&] { return answered; }, 10'000);
    };

    // No portal on the bus: not available, and a request fails instead of waiting.
    EXPECT_FALSE(shot.available());
    ASSERT_TRUE(take());
    EXPECT_TRUE(got.isNull());
    EXPECT_TRUE(error.startsWith(QStringLiteral("brak portalu zrzutów ekranu"))) << error.toStdString();

    ASSERT_TRUE(servePortal());
    EXPECT_TRUE(shot.available());
    QImage screen(64, 40, QImage::Format_RGB32);
    screen.fill(Qt::darkCyan);
    portal->picture = home.filePath(QStringLiteral("screen.png"));
    ASSERT_TRUE(screen.save(portal->picture));

    ASSERT_TRUE(take());
    EXPECT_EQ(error, QString());
    EXPECT_EQ(got.size(), QSize(64, 40));
    EXPECT_EQ(got.pixelColor(10, 10), QColor(Qt::darkCyan));
    EXPECT_FALSE(QFile::exists(portal->picture + QStringLiteral(".shot.png"))) << "the portal's file is removed";

    for (uint code : {1u, 2u}) {
        portal->code = code;
        ASSERT_TRUE(take());
        EXPECT_TRUE(got.isNull());
        EXPECT_EQ(error, code == 1 ? QStringLiteral("zrzut anulowany") : QStringLiteral("portal odmówił zrzutu"));
    }
    // Each request has a token of its own, so answers cannot be mixed up.
    EXPECT_EQ(portal->tokens.size(), 3);
    EXPECT_EQ(QSet<QString>(portal->tokens.begin(), portal->tokens.end()).size(), 3);
}

} // namespace

#include "PortalScreenshotTest.moc"
