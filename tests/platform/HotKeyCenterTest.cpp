#include "platform/HotKeyCenter.h"

#include "platform/X11HotKeyBackend.h"
#include "support/FakeHotKeyBackend.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>

#include <tuple>

using namespace quippet;
using namespace quippet::test;

namespace {

using K = HotKeyCenter;
TEST(HotKeyCenterTest, ARefusedCombinationIsNotOursAndTheRestStillWork) {
    FakeHotKeyBackend::Log log;
    log.heldElsewhere << std::pair{K::kKeyH, K::kSuper | K::kAlt};
    auto backend = std::make_unique<FakeHotKeyBackend>(log);
    FakeHotKeyBackend* fake = backend.get();
    QList<int> calls;
    {
        HotKeyCenter center(std::move(backend));
        QObject::connect(&center, &HotKeyCenter::activated, [&](std::uint32_t id) { calls << int(id); });
        EXPECT_TRUE(center.registerHotKey(1, K::kKeyReturn, K::kSuper));
        EXPECT_TRUE(center.registerHotKey(2, K::kKeyReturn, K::kSuper | K::kShift));
        EXPECT_FALSE(center.registerHotKey(3, K::kKeyH, K::kSuper | K::kAlt));
        EXPECT_TRUE(center.registerHotKey(4, K::kKeyP, K::kSuper | K::kAlt));
        EXPECT_FALSE(center.registerHotKey(4, K::kKeyR, K::kSuper | K::kAlt)) << "an id is registered once";
        EXPECT_TRUE(center.registerHotKey(5, K::kKeyR, K::kSuper | K::kAlt));
        EXPECT_EQ(log.grabs.size(), 5);
        EXPECT_FALSE(center.isRegistered(3));

        // Presses come out on a later turn of the loop, never inside the backend's event dispatch.
        fake->press(4);
        fake->press(3);
        fake->press(99);
        fake->press(1);
        EXPECT_TRUE(calls.isEmpty());
        QCoreApplication::processEvents();
        EXPECT_EQ(calls, (QList<int>{4, 1}));

        // A press still queued when the center goes away is dropped.
        fake->press(2);
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, (QList<int>{4, 1}));
    // Only what was ours is given back.
    EXPECT_EQ(log.ungrabs, (QList<std::uint32_t>{1, 2, 4, 5}));

    HotKeyCenter withoutX(nullptr);
    EXPECT_FALSE(withoutX.registerHotKey(1, K::kKeyReturn, K::kSuper));
}

// The program's own path on a real X server: grabs on Qt's connection, presses through the native event filter. It
// needs the xcb platform and changes the server's keyboard layout, so the suite's run starts it again in a child
// process with an X server of its own.
TEST(HotKeyCenterTest, X11GrabsOnQtsConnection) {
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    const QString setxkbmap = QStandardPaths::findExecutable(QStringLiteral("setxkbmap"));
    const QString xvfbRun = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
    if (xdotool.isEmpty() || setxkbmap.isEmpty() || xvfbRun.isEmpty())
        GTEST_SKIP() << "needs xdotool, setxkbmap and xvfb-run";
    if (qEnvironmentVariableIsEmpty("QUIPPET_TEST_OWN_X_SERVER")) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QUIPPET_TEST_OWN_X_SERVER"), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(xvfbRun, {QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 640x480x24"),
                              QCoreApplication::applicationFilePath(),
                              QStringLiteral("--gtest_filter=HotKeyCenterTest.X11GrabsOnQtsConnection")});
        ASSERT_TRUE(child.waitForFinished(60000));
        const QByteArray output = child.readAll();
        EXPECT_EQ(child.exitCode(), 0) << output.constData();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.constData();
        return;
    }
    auto type = [&](const char* keys) {
        return QProcess::execute(xdotool, QString::fromLatin1(keys).split(QLatin1Char(' '))) == 0;
    };
    HotKeyCenter center(makeX11HotKeyBackend());
    int presses = 0;
    int shifted = 0;
    int letter = 0;
    QObject::connect(&center, &HotKeyCenter::activated, [&](std::uint32_t id) {
        ++(id == 1 ? presses : id == 2 ? shifted : letter);
    });
    ASSERT_TRUE(center.registerHotKey(1, K::kKeyReturn, K::kSuper));
    ASSERT_TRUE(center.registerHotKey(2, K::kKeyReturn, K::kSuper | K::kShift));
    ASSERT_TRUE(center.registerHotKey(3, K::kKeyH, K::kSuper | K::kAlt));

    // Another client of the same server: X refuses a second passive grab of the same combination.
    HotKeyCenter other(makeX11HotKeyBackendOnOwnConnection());
    EXPECT_FALSE(other.registerHotKey(1, K::kKeyReturn, K::kSuper));
    EXPECT_TRUE(other.registerHotKey(5, K::kKeyR, K::kSuper | K::kAlt));

    ASSERT_TRUE(type("key super+Return"));
    EXPECT_TRUE(waitUntil([&] { return presses == 1; }));
    ASSERT_TRUE(type("key super+shift+Return"));
    EXPECT_TRUE(waitUntil([&] { return shifted == 1; }));
    EXPECT_EQ(presses, 1);
    // NumLock and CapsLock are modifiers to X; a shortcut must not die while either is on. A new press after a
    // release is not taken for a held key's repeat.
    ASSERT_TRUE(type("key Num_Lock key super+Return key Num_Lock"));
    EXPECT_TRUE(waitUntil([&] { return presses == 2; }));
    ASSERT_TRUE(type("key Caps_Lock key super+Return key Caps_Lock"));
    EXPECT_TRUE(waitUntil([&] { return presses == 3; }));

    // Under Dvorak the letter H sits on another key; the shortcut follows the letter. The new grab is taken when the
    // map notification arrives, a moment after setxkbmap returns: presses before that go to nobody.
    ASSERT_EQ(QProcess::execute(setxkbmap, QStringLiteral("-layout us -variant dvorak").split(QLatin1Char(' '))), 0);
    bool followed = false;
    for (int attempt = 0; attempt < 20 && !followed; ++attempt) {
        ASSERT_TRUE(type("key super+alt+h"));
        followed = waitUntil([&] { return letter == 1; }, 250);
    }
    EXPECT_TRUE(followed);
}
} // namespace
