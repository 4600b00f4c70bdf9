// The capture's rules with a recording sound system, recording transcribers and a manual clock.
#include "audio/AudioCapture.h"
#include "audio/EchoCanceller.h"
#include "audio/PulseAudioSystem.h"
#include "core/DiagnosticsLog.h"
#include "core/Settings.h"
#include "support/FakeAudio.h"
#include "support/ManualClock.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <pulse/def.h>

#include <cmath>

using namespace quippet;
using namespace std::chrono_literals;

namespace {

// What one transcriber was told; outlives the transcriber, which the capture drops when it stops listening.
struct TranscriberRecord {
    TranscriberSetup setup;
    TranscriberPort* live = nullptr; // while the capture keeps it
    int starts = 0;
    int stops = 0;
    std::vector<AudioChunk> chunks;
};

struct FakeTranscriber final : TranscriberPort {
    explicit FakeTranscriber(std::shared_ptr<TranscriberRecord> r) : record(std::move(r)) { record->live = this; }
    ~FakeTranscriber() override { record->live = nullptr; }
    void start() override { ++record->starts; }
    void stop() override { ++record->stops; }
    void append(const AudioChunk& chunk) override { record->chunks.push_back(chunk); }
    std::shared_ptr<TranscriberRecord> record;
};

TranscriberFactory recordingFactory(std::vector<std::shared_ptr<TranscriberRecord>>& made) {
    return [&made](TranscriberSetup setup) {
        auto record = std::make_shared<TranscriberRecord>();
        record->setup = std::move(setup);
        made.push_back(record);
        return std::make_unique<FakeTranscriber>(record);
    };
}

const AudioFormat kStereoFloat{48000, 2, AudioFormat::SampleType::Float32, true};
const AudioFormat kMonoFloat{48000, 1, AudioFormat::SampleType::Float32, true};

class CaptureLogicTest : public ::testing::Test {
protected:
    CaptureLogicTest() {
        auto fake = std::make_unique<test::FakeAudioSystem>();
        system = fake.get();
        system->input = PermissionState::Unknown;
        capture = std::make_unique<AudioCapture>(clock, log, std::move(fake));
        QObject::connect(capture.get(), &AudioCapture::textHeard,
                         [this](AudioChannel channel, const QString& text, bool isFinal) {
                             texts.push_back({channel, text, isFinal});
                         });
        capture->setTranscriberFactory(recordingFactory(made));
        capture->screenCaptureProbe = [this] { return screenOk; };
    }
    void drain() { QCoreApplication::processEvents(); }
    bool logged(const QString& line) const { return log.lines().contains(line); }
    TranscriberRecord* live(const QString& label) {
        for (auto it = made.rbegin(); it != made.rend(); ++it)
            if ((*it)->setup.label == label)
                return it->get();
        return nullptr;
    }

    test::TempHome home;
    ManualClock clock;
    DiagnosticsLog log{clock};
    struct Text {
        AudioChannel channel;
        QString text;
        bool isFinal;
    };
    std::vector<Text> texts;
    test::FakeAudioSystem* system = nullptr;
    std::unique_ptr<AudioCapture> capture;
    std::vector<std::shared_ptr<TranscriberRecord>> made;
    bool screenOk = false;
};

} // namespace

TEST_F(CaptureLogicTest, LevelsJumpUpAndDecayPerTickAndDiagnosisDescribesTheStream) {
    capture->start();
    clock.advance(AudioCapture::kLevelInterval);
    EXPECT_EQ(capture->clientDiag(), QStringLiteral("0 buforów — strumień nie dostarcza nic"));

    // A full-scale square wave has RMS 1.0; the display then falls by a third per tick.
    system->play(AudioChannel::Mic, kMonoFloat, std::vector<float>(480, 1.0f));
    clock.advance(AudioCapture::kLevelInterval);
    EXPECT_FLOAT_EQ(capture->myLevel(), 1.0f);
    clock.advance(AudioCapture::kLevelInterval);
    EXPECT_FLOAT_EQ(capture->myLevel(), 0.6724f);
    clock.advance(AudioCapture::kLevelInterval);
    EXPECT_FLOAT_EQ(capture->myLevel(), 0.6724f * 0.6724f);
    system->play(AudioChannel::Mic, kMonoFloat, std::vector<float>(480, 0.9f));
    clock.advance(AudioCapture::kLevelInterval);
    EXPECT_FLOAT_EQ(capture->myLevel(), 0.9f);

    // Stereo microphone: silent left, loud right reports the right channel.
    std::vector<float> rightOnly;
    for (int i = 0; i < 100; ++i)
        rightOnly.insert(rightOnly.end(), {0.0f, 0.5f});
    system->play(AudioChannel::Mic, kStereoFloat, rightOnly);
    for (int i = 0; i < 40; ++i)
        clock.advance(AudioCapture::kLevelInterval);
    system->play(AudioChannel::Mic, kStereoFloat, rightOnly);
    clock.advance(AudioCapture::kLevelInterval);
    EXPECT_FLOAT_EQ(capture->myLevel(), 0.5f);

    // System audio is measured on its first channel only, interleaved or planar.
    system->play(AudioChannel::System, kStereoFloat, rightOnly);
    clock.advance(AudioCapture::kLevelInterval);
    EXPECT_FLOAT_EQ(capture->clientLevel(), 0.0f);
    AudioFormat planar = kStereoFloat;
    planar.interleaved = false;
    std::vector<float> planarLeftLoud(100, 0.25f);
    planarLeftLoud.resize(200, 0.0f);
    system->play(AudioChannel::System, planar, planarLeftLoud);
    clock.advance(AudioCapture::kLevelInterval);
    EXPECT_FLOAT_EQ(capture->clientLevel(), 0.25f);
    EXPECT_EQ(capture->clientDiag(),
              QStringLiteral("2 buforów · 48000Hz 2ch 32bit float interleaved · szczyt 0.25000"));

    // 16-bit input is measured on the same scale; an empty buffer measures 0.
    const qint16 half[] = {16384, -16384};
    EXPECT_NEAR(loudestChannelRms(AudioFormat{}, reinterpret_cast<const char*>(half), 4), 0.5, 1e-6);
    EXPECT_EQ(loudestChannelRms(kStereoFloat, nullptr, 0), 0.0f);
}

TEST_F(CaptureLogicTest, FragmentsOnTimeLateOrInABurstKeepASteadyLevel) {
    capture->start();
    const auto tick = AudioCapture::kLevelInterval;
    int soundingChanges = 0;
    QObject::connect(capture.get(), &AudioCapture::clientSoundingChanged, [&] { ++soundingChanges; });
    // 100 ms of both channels, as the sound server hands them over.
    auto fragments = [&](int count) {
        for (int i = 0; i < count; ++i) {
            system->play(AudioChannel::System, kStereoFloat, std::vector<float>(2 * 4800, 0.5f));
            system->play(AudioChannel::Mic, kMonoFloat, std::vector<float>(4800, 0.25f));
        }
    };
    auto shows = [&](float client, float me) {
        EXPECT_FLOAT_EQ(capture->clientLevel(), client);
        EXPECT_FLOAT_EQ(capture->myLevel(), me);
    };

    for (int i = 0; i < 5; ++i) {
        fragments(1);
        clock.advance(tick);
        shows(0.5f, 0.25f);
        EXPECT_TRUE(capture->clientSounding());
    }
    // Two fragments in one tick, then none in the next: the second covers it.
    fragments(2);
    clock.advance(tick);
    clock.advance(tick);
    shows(0.5f, 0.25f);
    EXPECT_TRUE(capture->clientSounding());
    EXPECT_EQ(soundingChanges, 1);

    // A fragment misses its tick and comes with the next one: the levels on screen stay. (The client's channel
    // counts as quiet for that tick: its sounding is never held back.)
    clock.advance(tick);
    shows(0.5f, 0.25f);
    fragments(2);
    clock.advance(tick);
    shows(0.5f, 0.25f);
    EXPECT_TRUE(capture->clientSounding());
    EXPECT_EQ(soundingChanges, 3);

    // The voice stops: the audio delivered ahead still covers a tick; the next one the client is quiet, while the
    // levels still wait for a late fragment; then they decay.
    clock.advance(tick);
    shows(0.5f, 0.25f);
    EXPECT_TRUE(capture->clientSounding());
    clock.advance(tick);
    shows(0.5f, 0.25f);
    EXPECT_FALSE(capture->clientSounding());
    clock.advance(tick);
    shows(0.5f * AudioCapture::kLevelDecay, 0.25f * AudioCapture::kLevelDecay);
    EXPECT_EQ(soundingChanges, 4);

    // A second of audio at once after a stall holds its level no longer than the bounds.
    system->play(AudioChannel::System, kStereoFloat, std::vector<float>(2 * 48000, 0.5f));
    clock.advance(tick);
    const auto held = (LevelStore::kMaxHold + tick - std::chrono::microseconds(1)) / tick;
    for (int i = 0; i < held; ++i) {
        clock.advance(tick);
        EXPECT_TRUE(capture->clientSounding()) << i;
    }
    clock.advance(tick);
    EXPECT_FALSE(capture->clientSounding());
}

TEST_F(CaptureLogicTest, BuffersAreCopiedAndHandedToTheTranscriberOfTheirChannel) {
    system->input = PermissionState::Granted;
    capture->start();
    EXPECT_TRUE(logged(QStringLiteral("PulseAudio mikrofon = authorized")));
    ASSERT_EQ(system->micStarts.size(), 1);
    EXPECT_EQ(system->starts, 1);

    // Without transcription: the first microphone buffer is announced once, later ones pass silently.
    std::vector<float> samples(960, 0.1f);
    system->play(AudioChannel::Mic, kMonoFloat, samples);
    system->play(AudioChannel::Mic, kMonoFloat, samples);
    drain();
    EXPECT_EQ(capture->micBufferCount(), 2);
    EXPECT_EQ(log.lines().count(QStringLiteral("mikrofon: audio jest, ale ASR niepodłączony")), 1);
    EXPECT_TRUE(logged(QStringLiteral("mikrofon: pierwszy bufor, ramek=960")));

    capture->setTranscription(true);
    ASSERT_EQ(made.size(), 2u);
    TranscriberRecord* client = live(QStringLiteral("KLIENT"));
    TranscriberRecord* me = live(QStringLiteral("TY"));
    ASSERT_TRUE(client && me);
    EXPECT_EQ(client->starts, 1);
    EXPECT_EQ(client->setup.language, QStringLiteral("pl"));
    EXPECT_TRUE(logged(QStringLiteral("ASR: łączę ze Scribe (pl, region EU)")));
    EXPECT_TRUE(Settings::boolValue(Settings::kTranscriptionEnabled, false));

    // The audio thread's memory is reused after the callback: the chunk must be the capture's own copy.
    samples.assign(480, 0.3f);
    system->play(AudioChannel::System, kStereoFloat, samples);
    samples.assign(480, -1.0f);
    drain();
    ASSERT_EQ(client->chunks.size(), 1u);
    EXPECT_TRUE(me->chunks.empty());
    EXPECT_EQ(client->chunks[0].format, kStereoFloat);
    EXPECT_EQ(client->chunks[0].frames(), 240);
    EXPECT_EQ(reinterpret_cast<const float*>(client->chunks[0].data.constData())[479], 0.3f);

    // Text comes out under the channel it was heard on.
    emit client->live->transcript(QStringLiteral("Jaki jest termin?"), true);
    emit me->live->transcript(QStringLiteral("Do piątku"), false);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].channel, AudioChannel::System);
    EXPECT_TRUE(texts[0].isFinal);
    EXPECT_EQ(texts[1].channel, AudioChannel::Mic);
    EXPECT_EQ(texts[1].text, QStringLiteral("Do piątku"));
    emit me->live->statusLine(QStringLiteral("TY: połączono ze Scribe"));
    EXPECT_TRUE(logged(QStringLiteral("TY: połączono ze Scribe")));
}

TEST_F(CaptureLogicTest, TranscriptionSwitchLanguageAndRestoredState) {
    capture->start();
    EXPECT_TRUE(logged(QStringLiteral("transkrypcja: wyłączona")));
    capture->setTranscription(false);
    EXPECT_TRUE(made.empty());

    capture->setTranscription(true);
    capture->setTranscription(true); // already running
    EXPECT_EQ(made.size(), 2u);

    // Same language: nothing. A new one while listening: both clients replaced with the new code.
    const int lines = int(log.lines().size());
    capture->setLanguage(QStringLiteral("pl"));
    EXPECT_EQ(log.lines().size(), lines);
    capture->setLanguage(QStringLiteral("en"));
    EXPECT_TRUE(logged(QStringLiteral("język: en")));
    ASSERT_EQ(made.size(), 4u);
    EXPECT_EQ(made[0]->stops, 1);
    EXPECT_EQ(made[1]->stops, 1);
    EXPECT_EQ(live(QStringLiteral("TY"))->setup.language, QStringLiteral("en"));

    capture->setTranscription(false);
    EXPECT_FALSE(capture->isTranscribing());
    EXPECT_EQ(made[2]->stops, 1);
    EXPECT_TRUE(logged(QStringLiteral("ASR: wyłączony — koszt nie jest naliczany")));

    // Off: a new language only changes the code.
    capture->setLanguage(QStringLiteral("de"));
    EXPECT_EQ(made.size(), 4u);
    EXPECT_EQ(capture->language(), QStringLiteral("de"));

    // The saved flag brings listening back at the next start.
    Settings::setValue(Settings::kTranscriptionEnabled, true);
    AudioCapture restored(clock, log, std::make_unique<test::FakeAudioSystem>());
    std::vector<std::shared_ptr<TranscriberRecord>> restoredMade;
    restored.setTranscriberFactory(recordingFactory(restoredMade));
    EXPECT_TRUE(restored.transcriptionEnabled());
    restored.start();
    EXPECT_TRUE(restored.isTranscribing());
    ASSERT_EQ(restoredMade.size(), 2u);
    EXPECT_EQ(restoredMade[0]->starts, 1);
    EXPECT_TRUE(logged(QStringLiteral("transkrypcja: przywracam z ustawień")));
}

TEST_F(CaptureLogicTest, MicrophoneFollowsTheSoundServersAnswerAndEchoCancellationRestartsIt) {
    capture->start();
    EXPECT_EQ(capture->micPermission(), PermissionState::Unknown);
    EXPECT_TRUE(system->micStarts.empty());

    // Asking waits for the server's answer.
    capture->requestMicAccess();
    EXPECT_TRUE(logged(QStringLiteral("mikrofon: pytam o zgodę…")));
    EXPECT_EQ(system->rechecks, 1);
    system->setInput(PermissionState::Granted);
    EXPECT_TRUE(logged(QStringLiteral("mikrofon: zgoda przyznana")));
    EXPECT_EQ(capture->micPermission(), PermissionState::Granted);
    ASSERT_EQ(system->micStarts.size(), 1);
    EXPECT_FALSE(system->micStarts[0]);
    capture->requestMicAccess();
    EXPECT_TRUE(logged(QStringLiteral("mikrofon: zgoda już jest")));

    capture->setEchoCancellation(true);
    ASSERT_EQ(system->micStarts.size(), 2);
    EXPECT_TRUE(system->micStarts[1]);
    EXPECT_TRUE(logged(QStringLiteral("mikrofon: eliminacja echa włączona")));
    EXPECT_TRUE(Settings::boolValue(Settings::kEchoCancellation, false));
    capture->setEchoCancellation(true); // restarts whatever the previous value
    EXPECT_EQ(system->micStarts.size(), 3);

    // The input goes away: denied, and the button opens the sound settings.
    int opened = 0;
    capture->openSoundSettings = [&] { ++opened; };
    system->setInput(PermissionState::Denied);
    EXPECT_TRUE(logged(QStringLiteral("mikrofon: odmówione — Ustawienia → Dźwięk → Wejście")));
    capture->requestMicAccess();
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(logged(QStringLiteral("mikrofon: otwieram Ustawienia")));
}

TEST_F(CaptureLogicTest, ScreenButtonPromptsThenOpensSettingsAndLooksAgainEachTime) {
    int settingsOpened = 0;
    capture->openScreenSettings = [&] { ++settingsOpened; };
    capture->start();
    EXPECT_EQ(capture->screenPermission(), PermissionState::Denied);

    capture->requestScreenAccess();
    EXPECT_TRUE(logged(QStringLiteral("ekran: pytam o zgodę…")));
    EXPECT_EQ(settingsOpened, 0);
    capture->requestScreenAccess();
    EXPECT_EQ(settingsOpened, 1);
    EXPECT_TRUE(logged(QStringLiteral("ekran: otwieram Ustawienia — zezwól Quippetowi na zrzuty ekranu")));
    clock.advance(2s);                  // the look 1.5 s after the first press, then nothing watches for the grant
    EXPECT_EQ(clock.activeTimers(), 2); // the level and route timers

    // Allowed in the settings meanwhile: the next press finds it.
    screenOk = true;
    capture->requestScreenAccess();
    EXPECT_EQ(capture->screenPermission(), PermissionState::Granted);
    EXPECT_EQ(settingsOpened, 1);
    EXPECT_TRUE(logged(QStringLiteral("ekran: zgoda już jest")));
}

TEST_F(CaptureLogicTest, OutputRouteChangesAreNotedOnce) {
    system->route.kind = OutputRoute::Kind::Speakers;
    system->route.deviceName = QStringLiteral("Built-in Audio");
    capture->start();
    EXPECT_TRUE(logged(QStringLiteral("wyjście: głośniki · Built-in Audio")));

    system->route = OutputRoute{OutputRoute::Kind::Headphones, QString(), QString()};
    clock.advance(2s);
    EXPECT_EQ(capture->outputRoute().kind, OutputRoute::Kind::Headphones);
    EXPECT_TRUE(logged(QStringLiteral("wyjście: słuchawki")));

    system->route = OutputRoute{OutputRoute::Kind::Unknown, QStringLiteral("line"), QStringLiteral("Dock")};
    emit system->outputRouteChanged();
    EXPECT_TRUE(logged(QStringLiteral("wyjście: nieznane wyjście (line) · Dock")));
    const int lines = int(log.lines().size());
    clock.advance(2s);
    emit system->outputRouteChanged();
    EXPECT_EQ(log.lines().size(), lines);
    system->route.description = QStringLiteral("spdif");
    clock.advance(2s);
    EXPECT_TRUE(logged(QStringLiteral("wyjście: nieznane wyjście (spdif) · Dock")));
}

TEST(OutputRouteTest, PortTypeThenPortNameThenFormFactorAndBus) {
    auto route = [](int type, const char* port, const char* form, const char* bus) {
        OutputDeviceFacts f;
        f.portType = type;
        f.portName = QString::fromLatin1(port);
        f.formFactor = QString::fromLatin1(form);
        f.bus = QString::fromLatin1(bus);
        f.sinkName = QStringLiteral("alsa_output.pci-0000_00_1f.3.analog-stereo");
        f.description = QStringLiteral("Built-in Audio Analog Stereo");
        return classifyOutput(f);
    };
    using K = OutputRoute::Kind;
    const struct {
        int type;
        const char* port;
        const char* form;
        const char* bus;
        K kind;
    } cases[] = {
        // The port's type decides over everything else.
        {PA_DEVICE_PORT_TYPE_HEADPHONES, "analog-output-speaker", "internal", "pci", K::Headphones},
        {PA_DEVICE_PORT_TYPE_SPEAKER, "analog-output-headphones", "headset", "usb", K::Speakers},
        // Older servers leave the type unknown: the port name decides over the form factor and the bus.
        {PA_DEVICE_PORT_TYPE_UNKNOWN, "analog-output-headphones", "internal", "pci", K::Headphones},
        {PA_DEVICE_PORT_TYPE_UNKNOWN, "hdmi-output-0", "headset", "usb", K::Speakers},
        // No telling port: the device's form factor, then its bus (Bluetooth and USB count as headphones).
        {PA_DEVICE_PORT_TYPE_UNKNOWN, "", "internal", "usb", K::Speakers},
        {PA_DEVICE_PORT_TYPE_UNKNOWN, "", "headset", "", K::Headphones},
        {PA_DEVICE_PORT_TYPE_UNKNOWN, "", "", "bluetooth", K::Headphones},
        {PA_DEVICE_PORT_TYPE_UNKNOWN, "", "", "usb", K::Headphones},
    };
    for (const auto& c : cases)
        EXPECT_EQ(route(c.type, c.port, c.form, c.bus).kind, c.kind) << c.port << c.form << c.bus;
    // A line output tells nothing: unknown, described by its bus, or by the sink's name without one.
    const OutputRoute line = route(PA_DEVICE_PORT_TYPE_LINE, "analog-output-lineout", "", "pci");
    EXPECT_EQ(line.kind, OutputRoute::Kind::Unknown);
    EXPECT_EQ(line.description, QStringLiteral("pci"));
    EXPECT_EQ(line.deviceName, QStringLiteral("Built-in Audio Analog Stereo"));
    EXPECT_EQ(route(PA_DEVICE_PORT_TYPE_UNKNOWN, "", "", "").description,
              QStringLiteral("alsa_output.pci-0000_00_1f.3.analog-stereo"));

    // Equality for the watch: kinds, and for unknown routes also the descriptions.
    EXPECT_TRUE(line.sameRoute(OutputRoute{OutputRoute::Kind::Unknown, QStringLiteral("pci"), QString()}));
    EXPECT_FALSE(line.sameRoute(OutputRoute{OutputRoute::Kind::Unknown, QStringLiteral("usb"), QString()}));
}
