#include "core/Settings.h"
#include "platform/Commands.h"
#include "support/ManualClock.h"
#include "support/TempHome.h"
#include "ui/PanelState.h"
#include "ui/PanelZone.h"
#include "ui/TrayIcon.h"
#include "ui/UpdateDialog.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

using namespace quippet;
using namespace std::chrono_literals;

TEST(PanelStateTest, ElapsedClockAndText) {
    ManualClock clock;
    PanelState state(clock);
    for (const auto& [seconds, text] : {std::pair{59.0, "0:59"}, {60.0, "1:00"}, {3725.0, "62:05"}, {0.0, "0:00"}}) {
        state.setElapsed(seconds);
        EXPECT_EQ(state.elapsedText(), QLatin1String(text));
    }
    state.setElapsed(10);
    state.resume();
    clock.advance(3s);
    EXPECT_EQ(state.elapsed(), 13) << "resume continues from the current value";
    state.resume(); // replaces the old timer rather than adding a second one
    clock.advance(2s);
    EXPECT_EQ(state.elapsed(), 15);
    state.stopClock();
    clock.advance(5s);
    EXPECT_EQ(state.elapsed(), 15);
    EXPECT_FALSE(state.clockRunning());
}

TEST(PanelStateTest, NoticeLastsFourSecondsAfterTheLatestFlash) {
    ManualClock clock;
    PanelState state(clock);
    state.flash(QStringLiteral("pierwsza"));
    clock.advance(3s);
    state.flash(QStringLiteral("druga"));
    clock.advance(3s);
    EXPECT_EQ(state.notice(), QStringLiteral("druga")) << "the first flash's clearing must not cut the second";
    clock.advance(1s);
    EXPECT_EQ(state.notice(), QString());
}

TEST(PanelZoneTest, GeometryRawValuesAndPersistence) {
    // Screen coordinates with y growing downwards: an available area of 1440 × 875 below a 25 px bar.
    const QRectF frame(0, 25, 1440, 875);
    EXPECT_EQ(panelzone::origin(PanelZone::BottomRight, QSizeF(800, 116), frame, 12), QPointF(628, 772));
    EXPECT_EQ(panelzone::origin(PanelZone::TopLeft, QSizeF(800, 116), frame, 12), QPointF(12, 37));
    EXPECT_EQ(panelzone::origin(PanelZone::TopCenter, QSizeF(801, 116), frame, 12), QPointF(319.5, 37));
    EXPECT_EQ(panelzone::origin(PanelZone::MiddleLeft, QSizeF(800, 116), frame, 12), QPointF(12, 404.5));

    EXPECT_FALSE(panelzone::at(1, 1).has_value());
    EXPECT_FALSE(panelzone::at(3, 0).has_value());
    EXPECT_EQ(panelzone::at(2, 2), PanelZone::BottomRight);
    for (PanelZone zone : panelzone::kAll)
        EXPECT_EQ(panelzone::fromRawValue(panelzone::rawValue(zone)), zone);

    test::TempHome home;
    EXPECT_EQ(panelzone::saved(), PanelZone::TopCenter);
    Settings::setValue(Settings::kPanelZone, QStringLiteral("middleCenter"));
    EXPECT_EQ(panelzone::saved(), PanelZone::TopCenter);
    panelzone::save(PanelZone::BottomLeft);
    EXPECT_EQ(Settings::string(Settings::kPanelZone), QStringLiteral("bottomLeft"));
    EXPECT_EQ(panelzone::saved(), PanelZone::BottomLeft);
}

TEST(TrayIconTest, CreatedOnceEvenWithoutATrayHostWithTheCommandsInItsMenu) {
    Commands commands;
    TrayIcon item(commands);
    item.install();
    item.install();
    EXPECT_TRUE(item.isInstalled());
    const auto trays = item.findChildren<QSystemTrayIcon*>();
    ASSERT_EQ(trays.size(), 1);
    QMenu* menu = trays.first()->contextMenu();
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(menu->actions().contains(commands.action(u"toggle-panel")));
    EXPECT_TRUE(menu->actions().contains(commands.action(u"quit")));
}

// A feed's texts may hold markup (entities decoded to tags): shown as written, never as links or rich text.
TEST(UpdateDialogTest, FeedTextsAreShownAsPlainText) {
    UpdateChecker::Result result;
    result.outcome = UpdateChecker::Outcome::Newer;
    result.release.version = QStringLiteral("<a href=\"smb://host/x\">2.0</a>");
    result.release.notes = QStringLiteral("<b>Nowe</b> <a href=\"file:///etc/hostname\">klik</a>");
    showUpdateResult(result, QStringLiteral("1.0"), false);
    QWidget* box = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        box = widget->objectName() == QLatin1String("updateDialog") ? widget : box;
    ASSERT_NE(box, nullptr);
    int marked = 0;
    for (QLabel* label : box->findChildren<QLabel*>()) {
        if (!label->text().contains(QLatin1String("<a ")))
            continue;
        ++marked;
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
        EXPECT_FALSE(label->openExternalLinks());
    }
    EXPECT_EQ(marked, 2) << "the version and the notes";
    delete box;
}
