// The pre-call check's window: rows reached by name, their mends, the live microphone level and the keyboard.
#include "ui/PreflightWindow.h"
#include "core/Localization.h"
#include "support/PanelWorld.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

using namespace quippet;
using namespace std::chrono_literals;
using State = PreflightRow::State;

TEST(PreflightWindow, RowsMendsLevelAndKeys) {
    test::TempHome home;
    test::PanelWorld world;
    world.capture.start();
    PreflightWindow window(world.capture);
    int runs = 0;
    QList<int> fixes;
    QObject::connect(&window, &PreflightWindow::runClicked, [&] { ++runs; });
    QObject::connect(&window, &PreflightWindow::fixClicked, [&](int row) { fixes << row; });
    const QString longAdvice = QString(QStringLiteral("Użyj słuchawek albo włącz tłumienie echa. ")).repeated(6);
    window.setRows({{QStringLiteral("Dźwięk"), State::Failed, QStringLiteral("brak"), QStringLiteral("wybierz"),
                     QStringLiteral("Otwórz ustawienia"), false},
                    {QStringLiteral("Mikrofon"), State::Passed, QStringLiteral("działa"), {}, {}, true},
                    {QStringLiteral("Echo"), State::Warning, QStringLiteral("-15 dB"), longAdvice,
                     QStringLiteral("Włącz tłumienie echa"), false}});
    window.present();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    // Each row speaks its thing and verdict; the verdict is a word, not a colour alone.
    auto* row = window.findChild<QWidget*>(QStringLiteral("preflightRow0"));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->accessibleName(), QStringLiteral("Dźwięk: ") + PreflightWindow::stateText(State::Failed));
    EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("state2"))->text(), i18n::text("preflight.verdict.warning"));
    // A long advice is shown whole: its label is as tall as its wrapped text.
    auto* advice = window.findChild<QLabel*>(QStringLiteral("advice2"));
    EXPECT_GE(advice->height(), advice->heightForWidth(advice->width()));
    EXPECT_GT(advice->height(), 3 * advice->fontMetrics().height());

    // Only rows with a mend have a button; it names the mend and the line it mends.
    EXPECT_FALSE(window.findChild<QPushButton*>(QStringLiteral("fix1"))->isVisible());
    EXPECT_EQ(window.findChild<QPushButton*>(QStringLiteral("fix2"))->accessibleName(),
              QStringLiteral("Włącz tłumienie echa — Echo"));
    window.findChild<QPushButton*>(QStringLiteral("fix2"))->click();
    window.findChild<QPushButton*>(QStringLiteral("fix0"))->click();
    EXPECT_EQ(fixes, (QList<int>{2, 0}));

    // While running, neither the run button nor the mends can be pressed.
    window.setRunning(true);
    EXPECT_FALSE(window.findChild<QPushButton*>(QStringLiteral("runButton"))->isEnabled());
    EXPECT_FALSE(window.findChild<QPushButton*>(QStringLiteral("fix2"))->isEnabled());
    window.setRunning(false);
    EXPECT_EQ(window.findChild<QPushButton*>(QStringLiteral("runButton"))->text(), i18n::text("preflight.runAgain"));

    // The microphone row's bar follows the voice.
    auto* level = window.findChild<QProgressBar*>(QStringLiteral("micLevel"));
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(level->accessibleName(), i18n::text("preflight.micLevel"));
    world.audio->play(AudioChannel::Mic, {48000, 1, AudioFormat::SampleType::Float32, true},
                      std::vector<float>(4800, 0.3f));
    QCoreApplication::processEvents();
    world.clock.advance(AudioCapture::kLevelInterval);
    EXPECT_GT(level->value(), 70);

    // Return presses the focused button (here the mend), and with focus elsewhere runs the check; Escape closes.
    window.findChild<QPushButton*>(QStringLiteral("fix2"))->setFocus();
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_EQ(fixes.size(), 3);
    window.findChild<QLabel*>(QStringLiteral("detail0"))->setFocus();
    window.setFocus();
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_EQ(runs, 1);
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
}
