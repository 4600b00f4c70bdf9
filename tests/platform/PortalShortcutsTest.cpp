#include "platform/PortalShortcuts.h"

#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QScopeGuard>
#include <QThread>

using namespace quippet;

namespace {

// The GlobalShortcuts side of a desktop portal: sessions, binding, and presses sent back as signals.
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
        const QString request = QStringLiteral("/org/freedesktop/portal/desktop/request/") + sender + '/' +
                                options.value(QStringLiteral("handle_token")).toString();
        QVariantMap results;
        if (member == QLatin1String("CreateSession")) {
            QMutexLocker lock(&mutex);
            session = QStringLiteral("/org/freedesktop/portal/desktop/session/") + sender + QStringLiteral("/quippet");
            results.insert(QStringLiteral("session_handle"), QVariant::fromValue(QDBusObjectPath(session)));
        } else if (member == QLatin1String("BindShortcuts")) {
            const QDBusArgument list = message.arguments().at(1).value<QDBusArgument>();
            QMutexLocker lock(&mutex);
            list.beginArray();
            while (!list.atEnd()) {
                QString id;
                QVariantMap properties;
                list.beginStructure();
                list >> id >> properties;
                list.endStructure();
                bound << id + QLatin1Char('=') + properties.value(QStringLiteral("preferred_trigger")).toString();
            }
            list.endArray();
        } else {
            return false;
        }
        connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QDBusMessage response = QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"),
                                                           QStringLiteral("Response"));
        response << uint(0) << results;
        connection.send(response);
        return true;
    }

    QMutex mutex;
    QString session;
    QStringList bound;
};

TEST(PortalShortcutsTest, ShortcutsAreBoundThroughThePortalAndPressesComeBack) {
    if (!QDBusConnection::sessionBus().isConnected())
        GTEST_SKIP() << "no session bus";
    const QString name = QStringLiteral("fake-shortcuts-portal");
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
        // Served from a thread of its own, so that the client's blocking probe can be answered.
        QThread thread;
        auto* served = new FakeShortcutsPortal;
        served->moveToThread(&thread);
        thread.start();
        auto cleanup = qScopeGuard([&] {
            QMetaObject::invokeMethod(
                served, [served] { delete served; }, Qt::BlockingQueuedConnection);
            thread.quit();
            thread.wait();
        });
        FakeShortcutsPortal& fake = *served;
        ASSERT_TRUE(bus.registerVirtualObject(QStringLiteral("/org/freedesktop/portal/desktop"), served));
        EXPECT_FALSE(PortalShortcuts::available()) << "not until the portal owns its name";
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
        EXPECT_TRUE(PortalShortcuts::available());

        auto backend = std::make_unique<PortalShortcuts>();
        PortalShortcuts* portal = backend.get();
        QStringList notes;
        portal->note = [&](const QString& line) { notes << line; };
        HotKeyCenter center(std::move(backend));
        QList<int> pressed;
        ASSERT_TRUE(center.registerHotKey(HotKeyCenter::kKeyReturn, HotKeyCenter::kSuper, [&] { pressed << 1; }));
        ASSERT_TRUE(center.registerHotKey(HotKeyCenter::kKeyReturn, HotKeyCenter::kSuper | HotKeyCenter::kShift,
                                          [&] { pressed << 2; }));
        ASSERT_TRUE(center.registerHotKey(HotKeyCenter::kKeyH, HotKeyCenter::kSuper | HotKeyCenter::kAlt,
                                          [&] { pressed << 3; }));
        ASSERT_TRUE(test::waitUntil([&] { return portal->bound(); }, 10'000));
        {
            QMutexLocker lock(&fake.mutex);
            EXPECT_EQ(fake.bound, (QStringList{QStringLiteral("1=LOGO+Return"), QStringLiteral("2=SHIFT+LOGO+Return"),
                                               QStringLiteral("3=ALT+LOGO+h")}));
        }
        EXPECT_EQ(notes, QStringList{QStringLiteral("skróty: przez portal pulpitu (GlobalShortcuts)")});

        // A press of our session reaches its handler; one of another session does not.
        auto activate = [&](const QString& session, const QString& id) {
            QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                                             QStringLiteral("org.freedesktop.portal.GlobalShortcuts"),
                                                             QStringLiteral("Activated"));
            signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1) << QVariantMap();
            bus.send(signal);
        };
        activate(QStringLiteral("/org/freedesktop/portal/desktop/session/other/x"), QStringLiteral("1"));
        activate(fake.session, QStringLiteral("2"));
        ASSERT_TRUE(test::waitUntil([&] { return !pressed.isEmpty(); }, 10'000));
        QCoreApplication::processEvents();
        EXPECT_EQ(pressed, QList<int>{2});
        bus.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
        bus.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
    }
    QDBusConnection::disconnectFromBus(name);
}

} // namespace
