// Meeting detection rules with a scripted source monitor.
#include "audio/MeetingDetector.h"
#include "core/Settings.h"
#include "support/FakeAudio.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

using namespace quippet;

namespace {

struct Detector {
    Detector() {
        auto m = std::make_unique<test::FakeSourceMonitor>();
        monitor = m.get();
        detector = std::make_unique<MeetingDetector>(std::move(m));
        QObject::connect(detector.get(), &MeetingDetector::meetingDetected, [this] { ++meetings; });
        detector->isCapturing = [this] { return capturing; };
        detector->start();
    }
    // Reports the source's state; answers the meetings announced so far.
    int report(const QString& source, bool inUse) {
        monitor->report(source, inUse);
        return meetings;
    }
    test::TempHome home; // fresh preferences: detection on
    test::FakeSourceMonitor* monitor;
    std::unique_ptr<MeetingDetector> detector;
    int meetings = 0;
    bool capturing = false;
};

} // namespace

TEST(MeetingDetectorTest, ReportsEachStartOfUseOnceAndNotWhileListening) {
    Detector d;
    EXPECT_EQ(d.monitor->starts, 1);
    d.report(QStringLiteral("mic"), false);
    EXPECT_EQ(d.report(QStringLiteral("mic"), true), 1);
    EXPECT_EQ(d.report(QStringLiteral("mic"), true), 1); // still in use
    d.report(QStringLiteral("mic"), false);
    EXPECT_EQ(d.report(QStringLiteral("mic"), true), 2);

    // Starts while listening: no report, nor later while it stays in use after listening stops.
    d.report(QStringLiteral("mic"), false);
    d.capturing = true;
    d.report(QStringLiteral("mic"), true);
    d.capturing = false;
    EXPECT_EQ(d.report(QStringLiteral("mic"), true), 2);

    // A lost answer (no default known) keeps the watch as it was.
    d.monitor->report(QString(), false);
    EXPECT_EQ(d.detector->device(), QStringLiteral("mic"));
    EXPECT_TRUE(d.detector->wasRunning());
}

TEST(MeetingDetectorTest, SwitchingToABusyDeviceAndTheUserSwitch) {
    Detector d;
    EXPECT_EQ(d.report(QStringLiteral("usb-headset"), true), 0); // already busy when it becomes the default
    EXPECT_EQ(d.report(QStringLiteral("usb-headset"), true), 0);
    d.report(QStringLiteral("usb-headset"), false);
    EXPECT_EQ(d.report(QStringLiteral("usb-headset"), true), 1);

    // Switched off: no report; switched back on: the next start reports, not the current one.
    EXPECT_TRUE(MeetingDetector::isEnabled());
    d.report(QStringLiteral("usb-headset"), false);
    MeetingDetector::setEnabled(false);
    d.report(QStringLiteral("usb-headset"), true);
    MeetingDetector::setEnabled(true);
    EXPECT_EQ(d.report(QStringLiteral("usb-headset"), true), 1);
    d.report(QStringLiteral("usb-headset"), false);
    EXPECT_EQ(d.report(QStringLiteral("usb-headset"), true), 2);

    // Anything that is not a flag counts as enabled.
    Settings::setValue(Settings::kMeetingDetection, QStringLiteral("tak"));
    EXPECT_TRUE(MeetingDetector::isEnabled());
    Settings::setValue(Settings::kMeetingDetection, QStringLiteral("false"));
    EXPECT_FALSE(MeetingDetector::isEnabled());
}
