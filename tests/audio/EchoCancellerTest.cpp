// The canceller on a synthetic echo path: what the loudspeakers play comes back into the microphone delayed and
// attenuated, mixed with the user's own voice.
#include "audio/EchoCanceller.h"
#include "support/Speech.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace quippet;

namespace {

constexpr size_t kRate = 48000;

struct EchoScene {
    std::vector<float> far;  // the client, as the system audio delivers it
    std::vector<float> near; // the microphone: the client's echo plus the user's voice
    std::vector<float> echo; // the echo part of `near` alone
    std::vector<float> voice;
    size_t clientEnds = 0; // after this sample only the user speaks
};

EchoScene makeScene(int delayMs, float attenuation) {
    EchoScene s;
    const auto client = test::speech(QStringLiteral("Good morning. I would like to talk about the delivery schedule "
                                                    "for next quarter, and whether your team can support the new "
                                                    "warehouse integration before the end of March."));
    const auto user = test::speech(QStringLiteral("Yes, we can do that, and I will send you the plan tomorrow."),
                                   QStringLiteral("en+m3"));
    if (client.empty() || user.empty())
        return s;
    const size_t total = client.size() + user.size() + kRate;
    s.far.assign(total, 0.0f);
    std::copy(client.begin(), client.end(), s.far.begin());
    s.clientEnds = client.size() + size_t(delayMs) * kRate / 1000 + kRate / 5;
    s.voice.assign(total, 0.0f);
    std::copy(user.begin(), user.end(), s.voice.begin() + qsizetype(s.clientEnds));
    s.echo.assign(total, 0.0f);
    const size_t delay = size_t(delayMs) * kRate / 1000;
    for (size_t i = delay; i < total; ++i)
        s.echo[i] = attenuation * s.far[i - delay];
    s.near.resize(total);
    for (size_t i = 0; i < total; ++i)
        s.near[i] = s.echo[i] + s.voice[i];
    return s;
}

// Feeds both streams in chunks of `chunkMs`, the far end first as the system audio tends to arrive first.
std::vector<float> run(EchoCanceller& ec, const std::vector<float>& far, const std::vector<float>& near, int chunkMs) {
    std::vector<float> out;
    const size_t chunk = size_t(chunkMs) * kRate / 1000;
    for (size_t i = 0; i + chunk <= near.size(); i += chunk) {
        ec.addFar(far.data() + i, qsizetype(chunk));
        ec.processNear(near.data() + i, qsizetype(chunk), out);
    }
    return out;
}

} // namespace

TEST(EchoCancellerTest, RemovesMeasuredEchoAndKeepsTheUsersVoice) {
    for (const int delayMs : {40, 180}) {
        SCOPED_TRACE(delayMs);
        const EchoScene s = makeScene(delayMs, 0.5f);
        if (s.far.empty())
            GTEST_SKIP() << "espeak-ng or sox missing";
        auto ec = EchoCanceller::create();
        ASSERT_TRUE(ec);
        const auto out = run(*ec, s.far, s.near, 20);
        ASSERT_EQ(out.size(), s.near.size() / 960 * 960);

        // The delay was found from the signals themselves.
        EXPECT_NEAR(ec->delayMs(), delayMs, 3);
        // Converged: the last part of the client's speech, echo only.
        const size_t from = s.clientEnds - 4 * kRate;
        const double removedDb = test::ratioDb(s.near, out, from, s.clientEnds - kRate / 5);
        EXPECT_GE(removedDb, 25.0);
        // The user's own voice afterwards stays.
        const double voiceLossDb = test::ratioDb(s.near, out, s.clientEnds, out.size());
        EXPECT_LE(voiceLossDb, 6.0);
    }
}

TEST(EchoCancellerTest, FarEndStallsAndBurstsKeepTheStreamsPaired) {
    auto ec = EchoCanceller::create();
    ASSERT_TRUE(ec);
    std::vector<float> out;
    // Microphone audio ahead of the system audio waits for it, but not for long: a stalled far end means silence.
    std::vector<float> chunk(333, 0.01f);
    for (int i = 0; i < 60; ++i)
        ec->processNear(chunk.data(), qsizetype(chunk.size()), out);
    const size_t nearFrames = 60 * 333 / 480;
    EXPECT_EQ(out.size(), (nearFrames - 16) * 480);

    // The far end arrives late and all at once: the first waiting frame pairs with it, the stale rest of the
    // burst is dropped but for two frames, and what is left of the microphone waits for newer far end.
    std::vector<float> burst(48000, 0.0f);
    ec->addFar(burst.data(), qsizetype(burst.size()));
    out.clear();
    ec->takeProcessed(out);
    EXPECT_EQ(out.size(), 3u * 480);
    std::vector<float> far(3 * 480, 0.0f);
    ec->addFar(far.data(), qsizetype(far.size()));
    out.clear();
    ec->takeProcessed(out);
    EXPECT_EQ(out.size(), 3u * 480);

    // A microphone that delivers nothing for a minute leaves no minute of far end queued.
    std::vector<float> second(48000, 0.1f);
    for (int i = 0; i < 60; ++i)
        ec->addFar(second.data(), qsizetype(second.size()));
    EXPECT_LE(ec->queuedFarSamples(), 200 * 480);

    std::vector<float> mono;
    const float stereo[] = {1.0f, 0.0f, 0.5f, 0.5f, -1.0f, 1.0f};
    downmixToMono(stereo, 3, 2, mono);
    EXPECT_EQ(mono, (std::vector<float>{0.5f, 0.5f, 0.0f}));
}
