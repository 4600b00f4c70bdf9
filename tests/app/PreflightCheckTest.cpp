// The pre-call check against a simulated sound server (a room with loudspeakers and a microphone) and the local
// stand-ins of the speech, model and backend services.
#include "app/PreflightCheck.h"

#include "assistant/GeminiClient.h"
#include "audio/AudioCapture.h"
#include "backend/Backend.h"
#include "core/DiagnosticsLog.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "peers/BackendPeer.h"
#include "peers/LlmPeer.h"
#include "peers/SttPeer.h"
#include "secrets/BackendUrl.h"
#include "secrets/Credentials.h"
#include "secrets/Keychain.h"
#include "speech/RealtimeTranscription.h"
#include "support/FakeAudio.h"
#include "support/Files.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/Room.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>

using namespace quippet;
using namespace quippet::test;
using namespace std::chrono_literals;
using Item = PreflightLine::Item;
using Verdict = PreflightLine::Verdict;
using Fix = PreflightLine::Fix;

namespace {

class PreflightCheckTest : public ::testing::Test {
protected:
    TempHome home;
    ManualClock clock;
    MemorySecretStore secrets;
    Keychain keychain{secrets};
    DiagnosticsLog log{clock};
    SttPeer stt;
    LlmPeer llm;
    BackendPeer backendPeer;
    RateGate gate;
    FakeAudioSystem* audio = nullptr;
    std::unique_ptr<AudioCapture> capture;
    std::unique_ptr<Backend> backend;
    std::unique_ptr<GeminiClient> gemini;
    std::unique_ptr<PreflightCheck> check;
    std::unique_ptr<Room> room;

    void SetUp() override {
        ASSERT_TRUE(stt.start());
        ASSERT_TRUE(llm.start());
        ASSERT_TRUE(backendPeer.start());
        backendPeer.setLlm(&llm);
        qputenv("QUIPPET_BACKEND", backendPeer.baseUrl().toString().toUtf8());
        Settings::setValue(Settings::kElevenLabsBaseUrl, stt.baseUrl().toString());
        Settings::setValue(Settings::kGeminiBaseUrl, llm.baseUrl().toString());
        stt.setApiKey(QStringLiteral("sk_stt"));
        stt.setTokenPrefix(QStringLiteral("stt-"));
        llm.setKey(QStringLiteral("gemini-key"));
        llm.setListing({QStringLiteral("models/gemini-flash-latest"), QStringLiteral("models/gemini-flash-lite-latest"),
                        QStringLiteral("models/gemini-2.5-flash-lite")});
        keychain.write(QLatin1String(Keychain::kElevenLabsKey), QStringLiteral("sk_stt"));
        keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("gemini-key"));

        auto system = std::make_unique<FakeAudioSystem>();
        audio = system.get();
        audio->route.deviceName = QStringLiteral("Głośniki laptopa");
        capture = std::make_unique<AudioCapture>(clock, log, std::move(system));
        Keychain* keys = &keychain;
        capture->setTranscriberFactory(realtimeTranscriberFactory(clock, [keys] {
            return std::shared_ptr<CredentialProvider>(chooseCredentialProvider(*keys, backendBaseUrl()));
        }));
        capture->start();
        backend = std::make_unique<Backend>(keychain, clock, log.sink());
        gemini = std::make_unique<GeminiClient>(keychain, clock, gate);
        GeminiClient* client = gemini.get();
        PreflightCheck::Parts parts{clock, log, *capture, keychain, *backend, *gemini, {}, GeminiClient::modelChain()};
        parts.listModels = [client](std::function<void(PreflightCheck::ModelList)> done) {
            client->verify(std::move(done), qApp);
        };
        check = std::make_unique<PreflightCheck>(std::move(parts));
        room = std::make_unique<Room>(*audio, *capture);
    }

    void TearDown() override {
        check.reset();
        capture.reset();
        qunsetenv("QUIPPET_BACKEND");
    }

    Verdict verdict(Item item) const { return check->line(item).verdict; }
    std::string detail(Item item) const { return check->line(item).detail.toStdString(); }

    bool audioPending() const {
        for (Item item : {Item::SystemAudio, Item::Microphone, Item::EchoPath})
            if (check->line(item).verdict == Verdict::Checking)
                return true;
        return false;
    }

    // Plays the room until the audio lines are decided (at most ten seconds of sound), then lets the network
    // lines finish.
    void runAudio() {
        for (int i = 0; i < 250 && audioPending(); ++i)
            room->tick();
        ASSERT_FALSE(audioPending());
        ASSERT_TRUE(waitUntil([&] { return !check->running(); }, 10000));
    }

    void runAll() {
        check->run();
        runAudio();
    }
};

// Known without asking the desktop again: no permission involved, none asked for yet, allowed, refused.
TEST_F(PreflightCheckTest, TheScreenshotsLineSaysWhatTheDesktopDecided) {
    struct Case {
        std::function<std::optional<bool>()> allowed;
        Verdict verdict;
        bool advice;
    };
    const QList<Case> cases{{nullptr, Verdict::Passed, false},
                            {[] { return std::optional<bool>(); }, Verdict::Skipped, false},
                            {[] { return std::optional<bool>(true); }, Verdict::Passed, false},
                            {[] { return std::optional<bool>(false); }, Verdict::Failed, true}};
    for (const Case& c : cases) {
        PreflightCheck::Parts parts = check->parts();
        parts.screenshotsAllowed = c.allowed;
        PreflightCheck one(parts);
        one.run();
        EXPECT_EQ(one.line(Item::Screenshots).verdict, c.verdict);
        EXPECT_EQ(one.line(Item::Screenshots).advice.contains(QStringLiteral("Privacy")) ||
                      one.line(Item::Screenshots).advice.contains(QStringLiteral("Prywatność")),
                  c.advice);
    }
}

TEST_F(PreflightCheckTest, AWorkingSetupPassesEveryLineAndIsRemembered) {
    QSignalSpy finished(check.get(), &PreflightCheck::finished);
    runAll();
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(verdict(Item::SystemAudio), Verdict::Passed);
    EXPECT_TRUE(check->line(Item::SystemAudio).detail.contains(QStringLiteral("Głośniki laptopa")));
    EXPECT_EQ(verdict(Item::Microphone), Verdict::Passed);
    EXPECT_EQ(verdict(Item::EchoPath), Verdict::Passed);
    EXPECT_EQ(verdict(Item::Transcription), Verdict::Passed) << detail(Item::Transcription);
    EXPECT_EQ(verdict(Item::LanguageModel), Verdict::Passed) << detail(Item::LanguageModel);
    EXPECT_EQ(verdict(Item::Backend), Verdict::Skipped);
    // Nothing was claimed about a leak the microphone did not show.
    EXPECT_TRUE(check->leakWithout().has_value());
    EXPECT_LT(*check->leakWithout(), PreflightCheck::kLeakLimitDb);
    // The transcription probe said hello and left.
    EXPECT_TRUE(waitUntil([&] { return !stt.connections().isEmpty() && !stt.connections().last().open; }));

    // Remembered for a day; the log tells every verdict and no key.
    EXPECT_FALSE(PreflightCheck::isDue(clock.nowMs()));
    EXPECT_TRUE(PreflightCheck::isDue(clock.nowMs() + 25LL * 3600 * 1000));
    const QString lines = QString::fromUtf8(readFile(log.filePath()));
    for (const char* item : {"audio systemowe", "mikrofon", "echo", "transkrypcja", "model językowy", "serwer Quippet"})
        EXPECT_TRUE(lines.contains(QStringLiteral("sprawdzenie: %1 — ").arg(QString::fromUtf8(item)))) << item;
    EXPECT_FALSE(lines.contains(QStringLiteral("sk_stt")));
    EXPECT_FALSE(lines.contains(QStringLiteral("gemini-key")));
}

TEST_F(PreflightCheckTest, LoudspeakersAreMeasuredAndEchoCancellationShowsItsEffect) {
    room->leakDb = -15;
    runAll();
    const PreflightLine echo = check->line(Item::EchoPath);
    EXPECT_EQ(echo.verdict, Verdict::Warning);
    EXPECT_EQ(echo.fix, Fix::EchoCancellation);
    EXPECT_NEAR(check->leakWithout().value_or(0), -15, 2);
    EXPECT_LE(audio->sounds.first().samples.size(), size_t(3 * 48000)) << "a short tone when no canceller is new";

    check->enableEchoCancellation();
    EXPECT_TRUE(capture->echoCancellation());
    EXPECT_EQ(verdict(Item::EchoPath), Verdict::Checking);
    runAudio();
    EXPECT_EQ(verdict(Item::EchoPath), Verdict::Passed);
    EXPECT_NEAR(check->leakWith().value_or(0), -50, 3) << "the longer tone for a new canceller shows what it removes";
    EXPECT_TRUE(check->line(Item::EchoPath).detail.contains(QStringLiteral("-15")));
    // The other lines keep what the whole check found.
    EXPECT_EQ(verdict(Item::Transcription), Verdict::Passed);
}

TEST_F(PreflightCheckTest, SoundFailuresSayWhatToDo) {
    struct Case {
        const char* name;
        std::function<void(Room&)> arrange;
        const char* detailKey;
    };
    const Case cases[] = {
        {"the monitor does not carry the output", [](Room& r) { r.monitorCarriesOutput = false; },
         "preflight.system.notHeard"},
        {"the sound server refuses to play", [](Room& r) { r.playbackError = QStringLiteral("brak wyjścia"); },
         "preflight.system.notPlayed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        room->monitorCarriesOutput = true;
        room->playbackError.reset();
        c.arrange(*room);
        runAll();
        const PreflightLine system = check->line(Item::SystemAudio);
        EXPECT_EQ(system.verdict, Verdict::Failed);
        EXPECT_EQ(system.fix, Fix::OpenSoundSettings);
        EXPECT_FALSE(system.advice.isEmpty());
        const QString stem = i18n::text(c.detailKey).section(QStringLiteral("%1"), 0, 0);
        EXPECT_TRUE(system.detail.startsWith(stem)) << system.detail.toStdString();
        EXPECT_EQ(verdict(Item::EchoPath), Verdict::Skipped);
        EXPECT_EQ(verdict(Item::Microphone), Verdict::Passed) << detail(Item::Microphone);
    }
    EXPECT_TRUE(check->line(Item::SystemAudio).detail.contains(QStringLiteral("brak wyjścia")));

    // No system audio at all: found out when the sound server stays silent for its grace period.
    room->playbackError.reset();
    room->systemDelivers = false;
    check->run();
    for (int i = 0; i < 20; ++i)
        room->tick();
    clock.advance(ToneProbe::kAudioWait);
    EXPECT_EQ(verdict(Item::SystemAudio), Verdict::Failed);
    EXPECT_EQ(check->line(Item::SystemAudio).detail, i18n::text("preflight.system.noStream"));
    EXPECT_EQ(verdict(Item::Microphone), Verdict::Passed);
}

TEST_F(PreflightCheckTest, ServiceVerdictsNameTheCause) {
    // A wrong speech key and a key that no longer sees the primary model.
    keychain.write(QLatin1String(Keychain::kElevenLabsKey), QStringLiteral("sk_stale"));
    llm.setListing({QStringLiteral("models/gemini-flash-lite-latest"), QStringLiteral("models/gemini-2.5-flash-lite")});
    llm.script(QStringLiteral("gemini-flash-latest"),
               LlmScript::failure(404, R"({"error":{"code":404,"status":"NOT_FOUND"}})"));
    runAll();
    const PreflightLine speech = check->line(Item::Transcription);
    EXPECT_EQ(speech.verdict, Verdict::Failed);
    EXPECT_EQ(speech.fix, Fix::OpenKeys);
    EXPECT_TRUE(speech.detail.contains(QStringLiteral("invalid api key"))) << speech.detail.toStdString();
    const PreflightLine model = check->line(Item::LanguageModel);
    EXPECT_EQ(model.verdict, Verdict::Warning);
    EXPECT_EQ(model.detail, i18n::format("preflight.llm.retired", QStringLiteral("gemini-flash-latest"),
                                         QStringLiteral("gemini-flash-lite-latest")));
    // The tiny request was answered by the model that will answer in the call.
    EXPECT_EQ(llm.modelsRequested().last(), QStringLiteral("gemini-flash-lite-latest"));

    // A wrong model key is refused outright.
    keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("wrong"));
    runAll();
    EXPECT_EQ(verdict(Item::LanguageModel), Verdict::Failed);
    EXPECT_EQ(check->line(Item::LanguageModel).fix, Fix::OpenKeys);

    // Signed in: everything goes through the account, whose allowance is shown.
    keychain.write(QLatin1String(Keychain::kBackendToken), QStringLiteral("token-1"));
    backendPeer.addToken(QStringLiteral("token-1"));
    llm.script(QStringLiteral("gemini-flash-latest"), LlmScript::reply({QStringLiteral("Tak")}));
    runAll();
    EXPECT_EQ(verdict(Item::Transcription), Verdict::Passed) << detail(Item::Transcription);
    EXPECT_EQ(verdict(Item::LanguageModel), Verdict::Passed) << detail(Item::LanguageModel);
    EXPECT_EQ(verdict(Item::Backend), Verdict::Passed);
    EXPECT_TRUE(check->line(Item::Backend).detail.contains(i18n::format("duration.hoursMinutes", "1", "0")))
        << detail(Item::Backend);

    // An expired sign-in is told as such, with the way back.
    keychain.write(QLatin1String(Keychain::kBackendToken), QStringLiteral("expired"));
    runAll();
    EXPECT_EQ(verdict(Item::Backend), Verdict::Failed);
    EXPECT_EQ(check->line(Item::Backend).fix, Fix::SignIn);
}

TEST_F(PreflightCheckTest, NothingOutlastsTheDeadline) {
    QSignalSpy finished(check.get(), &PreflightCheck::finished);
    room->systemDelivers = false;
    check->run();
    clock.advance(PreflightCheck::kTimeout);
    EXPECT_FALSE(check->running());
    EXPECT_EQ(finished.count(), 1);
    QList<PreflightLine> decided = check->lines();
    for (const PreflightLine& line : decided)
        EXPECT_NE(line.verdict, Verdict::Checking);
    // Answers that come late change nothing.
    for (int i = 0; i < 20; ++i)
        room->tick();
    ASSERT_TRUE(waitUntil([&] { return !llm.http().requests().isEmpty(); }));
    for (int i = 0; i < 100; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(check->lines(), decided);
    EXPECT_EQ(finished.count(), 1);
    // A check cut short is not remembered: the offer at the next call stays due.
    EXPECT_TRUE(PreflightCheck::isDue(clock.nowMs()));

    // Cut short while the tone plays: the tone is silenced, so it cannot sound into the next run's quiet.
    room->systemDelivers = true;
    check->run();
    for (int i = 0; i < 20 && audio->sounds.isEmpty(); ++i)
        room->tick();
    ASSERT_EQ(audio->sounds.size(), 1);
    clock.advance(PreflightCheck::kTimeout);
    EXPECT_EQ(audio->stops, 1);
    EXPECT_FALSE(audio->sounds.first().done);
}

} // namespace
