#include "assistant/GeminiClient.h"
#include "assistant/RateGate.h"

#include "core/Settings.h"
#include "peers/LlmPeer.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

using namespace quippet;
using namespace std::chrono_literals;

namespace {

TEST(LlmRateGate, AdmitsSixtyPerMinute) {
    RateGate gate;
    const std::chrono::milliseconds t0{1'000'000};
    for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(gate.waitTime(t0 + i * 500ms), std::nullopt);
        gate.record(t0 + i * 500ms);
    }
    EXPECT_EQ(gate.waitTime(t0 + 30s), 30s);
    EXPECT_EQ(gate.waitTime(t0 + 59'999ms), 1ms);
    // The oldest stamp exactly one window old still counts, and leaves nothing to wait.
    EXPECT_EQ(gate.waitTime(t0 + 60s), 0ms);
    EXPECT_EQ(gate.stamps(), 60);
    EXPECT_EQ(gate.waitTime(t0 + 60'001ms), std::nullopt);
    EXPECT_EQ(gate.stamps(), 59);
    EXPECT_EQ(gate.waitTime(t0 + 200s), std::nullopt);
    EXPECT_EQ(gate.stamps(), 0);
}

TEST(LlmRateGate, SixtyFirstStreamWaitsOnTheClockAndSaysSo) {
    test::TempHome home;
    test::MemorySecretStore store;
    Keychain keychain(store);
    keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("test-key"));
    test::LlmPeer llm;
    ASSERT_TRUE(llm.start());
    Settings::setValue(Settings::kGeminiBaseUrl, llm.baseUrl().toString());
    ManualClock clock;
    RateGate gate;
    GeminiClient client(keychain, clock, gate);
    QObject owner;

    auto runStream = [&](QStringList* statuses) {
        auto done = std::make_shared<bool>(false);
        LlmClient::Callbacks callbacks;
        callbacks.onStatus = [statuses](const QString& line) { statuses->append(line); };
        callbacks.onDone = [done](const std::optional<QString>&) { *done = true; };
        client.stream(QStringLiteral("s"), {LlmPart{QStringLiteral("p"), {}}}, callbacks, &owner);
        return done;
    };
    auto finished = [](const std::shared_ptr<bool>& done) { return test::waitUntil([&] { return *done; }); };

    QStringList statuses;
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(finished(runStream(&statuses)));
        clock.advance(i == 0 ? 12'600ms : 100ms); // the oldest stamp is 18.5 s old after the 60th
    }
    EXPECT_TRUE(statuses.isEmpty());
    // 60 s less 18.5 s: 41.5 s, reported rounded half away from zero.
    const auto shared = runStream(&statuses);
    ASSERT_EQ(statuses.size(), 1);
    EXPECT_EQ(statuses[0], "limit zapytań — czekam 42 s");
    QCoreApplication::processEvents();
    EXPECT_EQ(llm.modelsRequested().size(), 60);
    clock.advance(41'499ms);
    QCoreApplication::processEvents();
    EXPECT_EQ(llm.modelsRequested().size(), 60);
    clock.advance(1ms);
    ASSERT_TRUE(finished(shared));
    EXPECT_EQ(llm.modelsRequested().size(), 61);
    EXPECT_EQ(statuses.size(), 1);
}

TEST(LlmRateGate, BaseUrlLosesItsTrailingSlash) {
    Settings::setValue(Settings::kGeminiBaseUrl, QStringLiteral("http://127.0.0.1:9/"));
    EXPECT_EQ(GeminiClient::baseUrl(), QUrl(QStringLiteral("http://127.0.0.1:9")));
    Settings::remove(Settings::kGeminiBaseUrl);
}

} // namespace
