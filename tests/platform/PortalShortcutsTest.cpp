#include "platform/PortalShortcuts.h"
#include "platform/PortalScreenshot.h"

#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QFile>
#include <QImage>
#include <QMutex>
#include <QThread>
#include <QUrl>

using namespace quippet;

namespace {

struct Entry {
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& arg, const Entry& e) {
    arg.beginStructure();
    arg << e.id << e.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, Entry& e) {
    arg.beginStructure();
    arg >> e.id >> e.properties;
    arg.endStructure();
    return arg;
}

} // namespace

Q_DECLARE_METATYPE(Entry)

namespace {

// A desktop portal with GlobalShortcuts (sessions, binding, the list of what got keys) and Screenshot; every request
// is answered with a Response on the path its handle token names. Screenshot answers may be held back until a
// shortcuts session is asked for, and then sent first: the two clients' requests interleave.
class FakeShortcutsPortal : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString member = message.member();
        if (member == QLatin1String("Get")) {
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(uint(1)))));
            return true;
        }
        const QVariantMap options = qdbus_cast<QVariantMap>(message.arguments().last());
        QString sender = message.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString token = options.value(QStringLiteral("handle_token")).toString();
        const QString request = QStringLiteral("/org/freedesktop/portal/desktop/request/") + sender + '/' + token;
        QMutexLocker lock(&mutex);
        tokens << token;
        uint code = 0;
        QVariantMap results;
        if (member == QLatin1String("CreateSession")) {
            session = QStringLiteral("/org/freedesktop/portal/desktop/session/") + sender + QStringLiteral("/quippet");
            results.insert(QStringLiteral("session_handle"), QVariant::fromValue(QDBusObjectPath(session)));
        } else if (member == QLatin1String("BindShortcuts")) {
            const QDBusArgument list = message.arguments().at(1).value<QDBusArgument>();
            bound.clear();
            list.beginArray();
            while (!list.atEnd()) {
                Entry e;
                list >> e;
                bound << e;
            }
            list.endArray();
            code = bindCode;
        } else if (member == QLatin1String("ListShortcuts")) {
            QList<Entry> listed;
            for (const Entry& e : std::as_const(bound)) {
                const QString trigger =
                    e.id == unboundId ? QString() : e.properties.value(QStringLiteral("preferred_trigger")).toString();
                listed << Entry{e.id, {{QStringLiteral("trigger_description"), trigger}}};
            }
            results.insert(QStringLiteral("shortcuts"), QVariant::fromValue(listed));
        } else if (member == QLatin1String("Screenshot")) {
            code = shotCode;
            if (code == 0) { // a fresh copy of the picture, which the client is to remove
                QFile::copy(picture, picture + QStringLiteral(".shot.png"));
                results.insert(QStringLiteral("uri"),
                               QUrl::fromLocalFile(picture + QStringLiteral(".shot.png")).toString());
            }
        } else {
            return false;
        }
        connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QDBusMessage response = QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"),
                                                           QStringLiteral("Response"));
        response << code << results;
        if (member == QLatin1String("Screenshot") && holdShots) {
            held << response;
            return true;
        }
        if (member == QLatin1String("CreateSession")) {
            for (const QDBusMessage& h : std::as_const(held))
                connection.send(h);
            held.clear();
        }
        connection.send(response);
        return true;
    }

    QMutex mutex;
    QString session;
    QList<Entry> bound;
    QStringList tokens;
    QList<QDBusMessage> held;
    uint bindCode = 0;
    QString unboundId; // listed with an empty trigger
    uint shotCode = 2; // 0 granted (a copy of `picture`), 1 cancelled, 2 refused
    QString picture;
    bool holdShots = true;
};

class PortalShortcutsTest : public ::testing::Test {
protected:
    void SetUp() override {
        qDBusRegisterMetaType<Entry>();
        qDBusRegisterMetaType<QList<Entry>>();
        if (!QDBusConnection::sessionBus().isConnected())
            GTEST_SKIP() << "no session bus";
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, kName);
        // Served from a thread of its own, so that the client's blocking probe can be answered.
        fake = new FakeShortcutsPortal;
        fake->moveToThread(&thread);
        thread.start();
        ASSERT_TRUE(bus.registerVirtualObject(QStringLiteral("/org/freedesktop/portal/desktop"), fake));
        EXPECT_FALSE(PortalShortcuts::available()) << "not until the portal owns its name";
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    }
    void TearDown() override {
        QDBusConnection bus(kName);
        bus.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
        bus.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
        QDBusConnection::disconnectFromBus(kName);
        if (fake)
            QMetaObject::invokeMethod(
                fake, [this] { delete fake; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    // Registers the three shortcuts of the table, then waits for the verified outcome.
    void bindThree(HotKeyCenter& center, QList<int>& pressed) {
        QObject::connect(&center, &HotKeyCenter::activated, [&](std::uint32_t id) { pressed << int(id); });
        ASSERT_TRUE(center.registerHotKey(1, HotKeyCenter::kKeyReturn, HotKeyCenter::kSuper));
        ASSERT_TRUE(center.registerHotKey(2, HotKeyCenter::kKeyReturn, HotKeyCenter::kSuper | HotKeyCenter::kShift));
        ASSERT_TRUE(center.registerHotKey(3, HotKeyCenter::kKeyH, HotKeyCenter::kSuper | HotKeyCenter::kAlt));
    }

    const QString kName = QStringLiteral("fake-shortcuts-portal");
    QThread thread;
    FakeShortcutsPortal* fake = nullptr;
};

// A screenshot asked for while the shortcuts are being bound, on the same bus: each client hears only the answers
// to its own requests, whatever the order they come in.
TEST_F(PortalShortcutsTest, AScreenshotAnswerNeverReachesTheShortcuts) {
    PortalScreenshot shot;
    QString shotError;
    auto backend = std::make_unique<PortalShortcuts>();
    PortalShortcuts* portal = backend.get();
    QStringList notes;
    QObject::connect(portal, &PortalShortcuts::noted, [&](const QString& line) { notes << line; });
    HotKeyCenter center(std::move(backend));
    QList<int> pressed;
    shot.take([&](const QImage&, const QString& error) { shotError = error; });
    bindThree(center, pressed);
    shot.take([&](const QImage&, const QString& error) { shotError = error; });
    ASSERT_TRUE(test::waitUntil([&] { return !notes.isEmpty() && !shotError.isEmpty(); }, 10'000));
    // Late duplicates would have arrived by now.
    test::waitUntil([] { return false; }, 200);

    EXPECT_EQ(notes, QStringList{QStringLiteral("skróty: przez portal pulpitu (GlobalShortcuts), każdy ma klawisze")});
    EXPECT_TRUE(portal->bound());
    EXPECT_EQ(portal->session(), fake->session);
    EXPECT_TRUE(PortalScreenshot::isRefusal(shotError)) << shotError.toStdString();
    QMutexLocker lock(&fake->mutex);
    EXPECT_EQ(fake->tokens.size(), 5); // two screenshots, session, binding, list
    EXPECT_EQ(QSet<QString>(fake->tokens.begin(), fake->tokens.end()).size(), fake->tokens.size());
}

// What the desktop's own list says decides: a shortcut without a trigger does not work, nor does any when the
// binding is refused. Once bound, the presses of our session come back, never another session's.
TEST_F(PortalShortcutsTest, OnlyShortcutsListedWithATriggerCountAsBound) {
    struct Case {
        const char* name;
        uint bindCode;
        QString unboundId;
        QMap<std::uint32_t, QString> expected;
    };
    const QList<Case> cases{
        {"bound", 0, {}, {{1, "LOGO+Return"}, {2, "SHIFT+LOGO+Return"}, {3, "ALT+LOGO+h"}}},
        {"empty trigger", 0, QStringLiteral("2"), {{1, "LOGO+Return"}, {2, ""}, {3, "ALT+LOGO+h"}}},
        {"refused", 2, {}, {{1, ""}, {2, ""}, {3, ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            QMutexLocker lock(&fake->mutex);
            fake->bindCode = c.bindCode;
            fake->unboundId = c.unboundId;
        }
        auto backend = std::make_unique<PortalShortcuts>();
        PortalShortcuts* portal = backend.get();
        std::optional<QMap<std::uint32_t, QString>> triggers;
        QObject::connect(portal, &PortalShortcuts::verified,
                         [&](const QMap<std::uint32_t, QString>& t) { triggers = t; });
        HotKeyCenter center(std::move(backend));
        QList<int> pressed;
        bindThree(center, pressed);
        ASSERT_TRUE(test::waitUntil([&] { return triggers.has_value(); }, 10'000));
        EXPECT_EQ(*triggers, c.expected);
        EXPECT_EQ(portal->bound(), c.bindCode == 0 && c.unboundId.isEmpty());
        if (!portal->bound())
            continue;
        const QString other = QStringLiteral("/org/freedesktop/portal/desktop/session/other/x");
        for (const auto& [session, id] :
             {std::pair{other, QStringLiteral("1")}, std::pair{portal->session(), QStringLiteral("2")}}) {
            QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                                             QStringLiteral("org.freedesktop.portal.GlobalShortcuts"),
                                                             QStringLiteral("Activated"));
            signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1) << QVariantMap();
            QDBusConnection(kName).send(signal);
        }
        ASSERT_TRUE(test::waitUntil([&] { return !pressed.isEmpty(); }, 10'000));
        QCoreApplication::processEvents();
        EXPECT_EQ(pressed, QList<int>{2});
    }
}

TEST_F(PortalShortcutsTest, ScreenshotFromThePortalAndEveryWayItCanFail) {
    test::TempHome home;
    {
        QMutexLocker lock(&fake->mutex);
        fake->holdShots = false;
        fake->picture = home.filePath(QStringLiteral("screen.png"));
    }
    PortalScreenshot shot;
    QImage got;
    QString error;
    auto take = [&] {
        bool answered = false;
        shot.take([&](const QImage& picture, const QString& why) {
            got = picture;
            error = why;
            answered = true;
        });
        return test::waitUntil([&] { return answered; }, 10'000);
    };
    // No portal on the bus: not available, and a request fails instead of waiting.
    QDBusConnection(kName).unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
    EXPECT_FALSE(shot.available());
    ASSERT_TRUE(take());
    EXPECT_TRUE(got.isNull());
    EXPECT_TRUE(error.startsWith(QStringLiteral("brak portalu zrzutów ekranu"))) << error.toStdString();

    ASSERT_TRUE(QDBusConnection(kName).registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    EXPECT_TRUE(shot.available());
    QImage screen(64, 40, QImage::Format_RGB32);
    screen.fill(Qt::darkCyan);
    ASSERT_TRUE(screen.save(fake->picture));
    for (uint code : {0u, 1u, 2u}) {
        {
            QMutexLocker lock(&fake->mutex);
            fake->shotCode = code;
        }
        ASSERT_TRUE(take());
        EXPECT_EQ(error, (QStringList{QString(), "zrzut anulowany", "portal odmówił zrzutu"}[code]));
        EXPECT_EQ(got.size(), code == 0 ? QSize(64, 40) : QSize(0, 0));
        if (code == 0) {
            EXPECT_EQ(got.pixelColor(10, 10), QColor(Qt::darkCyan));
        }
    }
    EXPECT_FALSE(QFile::exists(fake->picture + QStringLiteral(".shot.png"))) << "the portal's file is removed";
    // Each request has a token of its own, so answers cannot be mixed up.
    QMutexLocker lock(&fake->mutex);
    EXPECT_EQ(fake->tokens.size(), 3);
    EXPECT_EQ(QSet<QString>(fake->tokens.begin(), fake->tokens.end()).size(), 3);
}

} // namespace
