#include "app/HotKeyCenter.h"

#include "app/AppDelegate.h"
#include "app/DesktopIntegration.h"
#include "app/PanelState.h"
#include "assistant/Assistant.h"
#include "audio/AudioSystem.h"
#include "audio/SourceMonitor.h"
#include "peers/BackendPeer.h"
#include "peers/ScriptedLlm.h"
#include "platform/ManualClock.h"
#include "support/FakeAudio.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>

#include <tuple>

using namespace quippet;
using namespace quippet::test;

namespace {

using K = HotKeyCenter;
using Grab = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>; // id, keysym, modifiers

class FakeHotKeyBackend final : public HotKeyBackend {
public:
    struct Log {
        QList<Grab> grabs;
        QList<std::uint32_t> ungrabs;
        QList<std::pair<std::uint32_t, std::uint32_t>> heldElsewhere;
    };
    explicit FakeHotKeyBackend(Log& log) : m_log(log) {}
    bool grab(std::uint32_t id, std::uint32_t keySym, std::uint32_t modifiers) override {
        m_log.grabs << Grab{id, keySym, modifiers};
        return !m_log.heldElsewhere.contains({keySym, modifiers});
    }
    void ungrab(std::uint32_t id) override { m_log.ungrabs << id; }
    void press(std::uint32_t id) { onPressed(id); }

private:
    Log& m_log;
};

TEST(HotKeyCenterTest, IdentifiersCountUpAndARefusedCombinationForgetsOnlyItsOwnHandler) {
    FakeHotKeyBackend::Log log;
    log.heldElsewhere << std::pair{K::kKeyH, K::kSuper | K::kAlt};
    auto backend = std::make_unique<FakeHotKeyBackend>(log);
    FakeHotKeyBackend* fake = backend.get();
    QList<int> calls;
    {
        HotKeyCenter center(std::move(backend));
        EXPECT_TRUE(center.registerHotKey(K::kKeyReturn, K::kSuper, [&] { calls << 1; }));
        EXPECT_TRUE(center.registerHotKey(K::kKeyReturn, K::kSuper | K::kShift, [&] { calls << 2; }));
        EXPECT_FALSE(center.registerHotKey(K::kKeyH, K::kSuper | K::kAlt, [&] { calls << 3; }));
        EXPECT_TRUE(center.registerHotKey(K::kKeyP, K::kSuper | K::kAlt, [&] { calls << 4; }));
        EXPECT_TRUE(center.registerHotKey(K::kKeyR, K::kSuper | K::kAlt, [&] { calls << 5; }));
        // The refused registration used up identifier 3 all the same.
        ASSERT_EQ(log.grabs.size(), 5);
        EXPECT_EQ(log.grabs[2], (Grab{3, K::kKeyH, K::kSuper | K::kAlt}));
        EXPECT_EQ(log.grabs[4], (Grab{5, K::kKeyR, K::kSuper | K::kAlt}));
        EXPECT_EQ(center.nextId(), 6u);
        EXPECT_FALSE(center.hasHandler(3));

        // Handlers run on a later turn of the loop, never inside the backend's event dispatch.
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
    EXPECT_FALSE(withoutX.registerHotKey(K::kKeyReturn, K::kSuper, [] {}));
    EXPECT_EQ(withoutX.nextId(), 2u);
}

class HotKeyTableTest : public ::testing::Test {
protected:
    TempHome home;
    ManualClock clock;
    MemorySecretStore secrets;
    BackendPeer peer;
    ScriptedLlm llm;
    FakeHotKeyBackend::Log log;
    FakeHotKeyBackend* keys = nullptr;
    std::unique_ptr<AppDelegate> app;

    void SetUp() override {
        ASSERT_TRUE(peer.start());
        qputenv("QUIPPET_BACKEND", peer.baseUrl().toString().toUtf8());
        AppEnvironment env;
        env.clock = &clock;
        env.secrets = &secrets;
        env.makeAudioSystem = [] { return std::make_unique<FakeAudioSystem>(); };
        env.makeSourceMonitor = [] { return std::make_unique<FakeSourceMonitor>(); };
        env.llm = &llm;
        env.createWindows = false;
        env.makeHotKeyBackend = [this] {
            auto backend = std::make_unique<FakeHotKeyBackend>(log);
            keys = backend.get();
            return backend;
        };
        app = std::make_unique<AppDelegate>(std::move(env));
        app->applicationDidFinishLaunching();
    }
    void TearDown() override {
        app.reset();
        qunsetenv("QUIPPET_BACKEND");
    }
};

TEST_F(HotKeyTableTest, LaunchRegistersTheTableOnceAndEachKeyReachesItsAction) {
    EXPECT_EQ(log.grabs, (QList<Grab>{{1, K::kKeyReturn, K::kSuper},
                                      {2, K::kKeyReturn, K::kSuper | K::kShift},
                                      {3, K::kKeyH, K::kSuper | K::kAlt},
                                      {4, K::kKeyP, K::kSuper | K::kAlt},
                                      {5, K::kKeyR, K::kSuper | K::kAlt}}));
    app->registerHotKeys();
    EXPECT_EQ(log.grabs.size(), 5);

    keys->press(3);
    QCoreApplication::processEvents();
    EXPECT_TRUE(app->state().collapsed());

    // Super+Return with nothing said yet answers with the "no transcript" card.
    ASSERT_FALSE(app->assistant()->hasCards());
    keys->press(1);
    QCoreApplication::processEvents();
    EXPECT_TRUE(app->assistant()->hasCards());

    // The controller going away with a press in flight: the action must not reach the dead controller.
    keys->press(3);
    app.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(log.ungrabs.size(), 5);
}

TEST(HotKeyCenterTest, TrayItemIsOneIconOfThreeSeparateBars) {
    // Sampled at four pixels per unit of the 16-unit drawing grid (origin at the bottom left).
    const QImage icon = StatusItemController::iconImage(64);
    auto opaque = [&](double x, double yFromBottom) {
        return qAlpha(icon.pixel(int(x * 4), int((16 - yFromBottom) * 4))) > 200;
    };
    // Middle of each bar, then the gaps between them and the space above the short outer bars.
    EXPECT_TRUE(opaque(3.4, 8) && opaque(8.0, 8) && opaque(12.6, 8));
    EXPECT_TRUE(opaque(8.0, 13.5) && opaque(8.0, 2.5));
    EXPECT_FALSE(opaque(5.6, 8) || opaque(10.2, 8));
    EXPECT_FALSE(opaque(3.4, 13.5) || opaque(12.6, 14.5) || opaque(0.5, 8));

    // No tray host here: the item exists anyway, once.
    StatusItemController item([] {});
    item.install();
    item.install();
    EXPECT_TRUE(item.isInstalled());
    EXPECT_EQ(item.findChildren<QSystemTrayIcon*>().size(), 1);
}

// A real X server: the suite runs under xvfb-run; without a display or xdotool there is nothing to check.
TEST(HotKeyCenterTest, X11GrabReceivesTheCombinationAndAHeldOneIsRefused) {
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    auto backend = makeX11HotKeyBackendOnOwnConnection();
    if (!backend || xdotool.isEmpty())
        GTEST_SKIP() << "no X11 display or no xdotool";
    HotKeyCenter center(std::move(backend));
    int presses = 0;
    int shifted = 0;
    ASSERT_TRUE(center.registerHotKey(K::kKeyReturn, K::kSuper, [&] { ++presses; }));
    ASSERT_TRUE(center.registerHotKey(K::kKeyReturn, K::kSuper | K::kShift, [&] { ++shifted; }));

    // Another client of the same server: X refuses a second passive grab of the same combination.
    HotKeyCenter other(makeX11HotKeyBackendOnOwnConnection());
    EXPECT_FALSE(other.registerHotKey(K::kKeyReturn, K::kSuper, [] {}));
    EXPECT_TRUE(other.registerHotKey(K::kKeyR, K::kSuper | K::kAlt, [] {}));

    ASSERT_EQ(QProcess::execute(xdotool, {QStringLiteral("key"), QStringLiteral("super+Return")}), 0);
    EXPECT_TRUE(waitUntil([&] { return presses == 1; }));
    ASSERT_EQ(QProcess::execute(xdotool, {QStringLiteral("key"), QStringLiteral("super+shift+Return")}), 0);
    EXPECT_TRUE(waitUntil([&] { return shifted == 1; }));
    EXPECT_EQ(presses, 1);
    // Telling a new press from a held key's repeats must not swallow it.
    ASSERT_EQ(QProcess::execute(xdotool, {QStringLiteral("key"), QStringLiteral("super+Return")}), 0);
    EXPECT_TRUE(waitUntil([&] { return presses == 2; }));
    // NumLock and CapsLock are modifiers to X; a shortcut must not die while either is on.
    for (const char* lock : {"Num_Lock", "Caps_Lock"}) {
        const int before = presses;
        const QString key = QString::fromLatin1(lock);
        ASSERT_EQ(QProcess::execute(xdotool, {QStringLiteral("key"), key, QStringLiteral("key"),
                                              QStringLiteral("super+Return"), QStringLiteral("key"), key}),
                  0);
        EXPECT_TRUE(waitUntil([&] { return presses == before + 1; })) << lock;
    }
}

// The program's own path: grabs on Qt's connection, presses through the native event filter, and a keyboard layout
// change. It needs the xcb platform and changes the server's layout, so the suite's run starts it again in a child
// process with an X server of its own.
TEST(HotKeyCenterTest, X11GrabOnQtsConnectionFollowsALayoutChange) {
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
        child.start(xvfbRun,
                    {QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 640x480x24"),
                     QCoreApplication::applicationFilePath(),
                     QStringLiteral("--gtest_filter=HotKeyCenterTest.X11GrabOnQtsConnectionFollowsALayoutChange")});
        ASSERT_TRUE(child.waitForFinished(60000));
        const QByteArray output = child.readAll();
        EXPECT_EQ(child.exitCode(), 0) << output.constData();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.constData();
        return;
    }
    HotKeyCenter center(makeX11HotKeyBackend());
    ASSERT_TRUE(center.hasBackend());
    int presses = 0;
    ASSERT_TRUE(center.registerHotKey(K::kKeyH, K::kSuper | K::kAlt, [&] { ++presses; }));
    ASSERT_EQ(QProcess::execute(xdotool, {QStringLiteral("key"), QStringLiteral("super+alt+h")}), 0);
    EXPECT_TRUE(waitUntil([&] { return presses == 1; }));
    // Under Dvorak the letter H sits on another key; the shortcut follows the letter. The new grab is taken when the
    // map notification arrives, a moment after setxkbmap returns: presses before that go to nobody.
    ASSERT_EQ(QProcess::execute(setxkbmap, {QStringLiteral("-layout"), QStringLiteral("us"), QStringLiteral("-variant"),
                                            QStringLiteral("dvorak")}),
              0);
    bool followed = false;
    for (int attempt = 0; attempt < 20 && !followed; ++attempt) {
        ASSERT_EQ(QProcess::execute(xdotool, {QStringLiteral("key"), QStringLiteral("super+alt+h")}), 0);
        followed = waitUntil([&] { return presses == 2; }, 250);
    }
    EXPECT_TRUE(followed);
}

} // namespace
