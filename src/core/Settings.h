#pragma once

#include <QString>
#include <QVariant>

#include <optional>

namespace quippet {

// The program's preferences, kept with QSettings in $XDG_CONFIG_HOME/Quippet/Quippet.conf: the one place that knows
// where they live and what their keys are called. A test that points XDG_CONFIG_HOME at a temporary directory gets
// its own settings.
class Settings {
public:
    static constexpr const char* kAutoAnswer = "autoAnswer";
    static constexpr const char* kPanelZone = "panelZone";
    static constexpr const char* kTranscriptionEnabled = "transcriptionEnabled";
    static constexpr const char* kEchoCancellation = "echoCancellation";
    static constexpr const char* kMeetingDetection = "meetingDetection";
    static constexpr const char* kOnboardingSkipped = "onboardingSkipped";
    static constexpr const char* kLaunchAtLoginSeeded = "launchAtLoginSeeded";
    static constexpr const char* kOwnerMode = "ownerMode";
    static constexpr const char* kBackendBaseUrl = "backendBaseURL";
    static constexpr const char* kGeminiBaseUrl = "geminiBaseURL";
    static constexpr const char* kElevenLabsBaseUrl = "elevenLabsBaseURL";
    static constexpr const char* kUpdateFeedUrl = "updateFeedURL";
    static constexpr const char* kLastUpdateCheck = "lastUpdateCheck"; // milliseconds since the epoch
    static constexpr const char* kPreflightLastRun =
        "preflightLastRun"; // when the last check before a call ended, likewise
    // How automatic answers start (not in the menus): at once when the question is known, or after the settle; how
    // long the client's channel must be quiet for a partial line to count as said; how long after its request an
    // early answer is held before it is shown (milliseconds).
    static constexpr const char* kEarlyAnswers = "earlyAnswers";
    static constexpr const char* kEarlyAnswerQuietMs = "earlyAnswerQuietMs";
    static constexpr const char* kEarlyAnswerShowAfterMs = "earlyAnswerShowAfterMs";
    static constexpr const char* kEarlyAnswerShowFinishedMs = "earlyAnswerShowFinishedMs";

    static QVariant value(const char* key, const QVariant& fallback = {});
    static bool contains(const char* key);
    static void setValue(const char* key, const QVariant& value);
    static void remove(const char* key);

    static bool boolValue(const char* key, bool fallback) { return value(key, fallback).toBool(); }
    // The text under key, or nothing when absent.
    static std::optional<QString> string(const char* key);
};

} // namespace quippet
