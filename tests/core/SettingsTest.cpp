#include "core/Settings.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QFile>

using namespace quippet;

// Each test gets its own preferences: a value written under one temporary home must not be seen under the next.
TEST(SettingsTest, FollowTheCurrentConfigDirectory) {
    {
        test::TempHome first;
        Settings::setValue(Settings::kAutoAnswer, false);
        EXPECT_TRUE(QFile::exists(first.filePath(QStringLiteral(".config/Quippet/Quippet.conf"))));
        EXPECT_FALSE(Settings::boolValue(Settings::kAutoAnswer, true));
    }
    test::TempHome second;
    EXPECT_FALSE(Settings::contains(Settings::kAutoAnswer));
    EXPECT_TRUE(Settings::boolValue(Settings::kAutoAnswer, true));
    Settings::setValue(Settings::kPanelZone, QStringLiteral("bottomLeft"));
    Settings::remove(Settings::kPanelZone);
    EXPECT_FALSE(Settings::contains(Settings::kPanelZone));
}
