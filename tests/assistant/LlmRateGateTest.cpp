#include "assistant/RateGate.h"

#include <gtest/gtest.h>

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
    // The oldest stamp exactly one window old still counts, and leaves nothing to wait.
    EXPECT_EQ(gate.waitTime(t0 + 60s), 0ms);
    EXPECT_EQ(gate.waitTime(t0 + 60'001ms), std::nullopt);
    EXPECT_EQ(gate.stamps(), 59);
    EXPECT_EQ(gate.waitTime(t0 + 200s), std::nullopt);
    EXPECT_EQ(gate.stamps(), 0);
}

} // namespace
