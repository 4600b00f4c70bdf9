// The capture against a private PulseAudio daemon: real streams, real device switches, a real server restart.
#include "audio/AudioCapture.h"
#include "audio/MeetingDetector.h"
#include "audio/PulseAudioSystem.h"
#include "audio/SourceMonitor.h"
#include "core/DiagnosticsLog.h"
#include "core/Settings.h"
#include "peers/SttPeer.h"
#include "secrets/Credentials.h"
#include "speech/PcmConverter.h"
#include "speech/RealtimeTranscription.h"
#include "speech/TranscriptBuffer.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/PulseFixture.h"
#include "support/Speech.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cmath>

using namespace quippet;

namespace {

constexpr int kRate = 48000;

// The transcriber side of one channel: every chunk converted as the speech-to-text client converts it.
struct ChannelTap {
    PcmConverter converter;
    std::vector<float> samples; // 48 kHz mono, from the 16-bit output
};

// 16-bit PCM as floats in [-1, 1).
std::vector<float> floats(const QByteArray& pcm) {
    std::vector<float> out(size_t(pcm.size() / 2));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = float(reinterpret_cast<const qint16*>(pcm.constData())[i]) / 32768.0f;
    return out;
}

struct TapTranscriber final : TranscriberPort {
    explicit TapTranscriber(std::shared_ptr<ChannelTap> t) : tap(std::move(t)) {}
    void start() override {}
    void stop() override {}
    // Called on the sound server's thread, as the real client's is; recorded on the test's thread.
    void append(const AudioChunk& chunk) override {
        QMetaObject::invokeMethod(
            qApp,
            [tap = tap, chunk] {
                const auto s = floats(tap->converter.convert(chunk));
                tap->samples.insert(tap->samples.end(), s.begin(), s.end());
            },
            Qt::QueuedConnection);
    }
    std::shared_ptr<ChannelTap> tap;
};

std::vector<float> tone(double hz, double seconds, float amplitude) {
    std::vector<float> out(size_t(seconds * kRate));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = amplitude * float(std::sin(2 * M_PI * hz * double(i) / kRate));
    return out;
}

size_t onset(const std::vector<float>& x, size_t from, float threshold) {
    for (size_t i = from; i < x.size(); ++i)
        if (std::fabs(x[i]) > threshold)
            return i;
    return x.size();
}

size_t lastLoud(const std::vector<float>& x, size_t from, float threshold) {
    size_t last = from;
    for (size_t i = from; i < x.size(); ++i)
        if (std::fabs(x[i]) > threshold)
            last = i;
    return last;
}

bool loudSince(const std::vector<float>& x, size_t from, float threshold) {
    return onset(x, from, threshold) < x.size();
}

// Whether some client records from the named source, as the server lists it.
bool recordingFrom(test::PulseServer& server, const QString& source) {
    QString sources, outputs;
    server.pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")}, &sources);
    server.pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("source-outputs")}, &outputs);
    QString index;
    for (const QString& line : sources.split(QLatin1Char('\n')))
        if (line.section(QLatin1Char('\t'), 1, 1) == source)
            index = line.section(QLatin1Char('\t'), 0, 0);
    for (const QString& line : outputs.split(QLatin1Char('\n')))
        if (!index.isEmpty() && line.section(QLatin1Char('\t'), 1, 1) == index)
            return true;
    return false;
}

class CapturePulseTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::PulseServer::binaryAvailable())
            GTEST_SKIP() << "pulseaudio is not installed";
        server = std::make_unique<test::PulseServer>();
        ASSERT_TRUE(server->start());
        server->keepAwake(QStringLiteral("speakers"));
        server->keepAwake(QStringLiteral("micfeed"));
        ASSERT_TRUE(test::writeWav(server->filePath(QStringLiteral("tone.wav")), tone(440, 0.6, 0.5f)));
    }

    void startCapture() {
        capture = std::make_unique<AudioCapture>(clock, log, std::make_unique<PulseAudioSystem>());
        capture->setTranscriberFactory([this](TranscriberSetup setup) -> std::unique_ptr<TranscriberPort> {
            return std::make_unique<TapTranscriber>(setup.label == QLatin1String("KLIENT") ? client : mic);
        });
        capture->start();
        capture->setTranscription(true);
        ASSERT_TRUE(test::waitUntil(
            [&] { return client->samples.size() > kRate / 5 && mic->samples.size() > kRate / 5; }, 15000))
            << log.lines().join(QLatin1Char('\n')).toStdString();
    }

    bool logged(const QString& line) const { return log.lines().contains(line); }

    // After a default-device switch: once the channel flows again, a tone played into `oldSink` no longer reaches
    // it, one into `newSink` does.
    void expectHeardOnlyFrom(const ChannelTap& tap, const QString& oldSink, const QString& newSink) {
        const size_t switchedAt = tap.samples.size();
        ASSERT_TRUE(test::waitUntil([&] { return tap.samples.size() > switchedAt + kRate / 5; }, 10000));
        const size_t before = tap.samples.size();
        QProcess* old = server->play(oldSink, server->filePath(QStringLiteral("tone.wav")));
        ASSERT_TRUE(test::waitUntil([&] { return old->state() == QProcess::NotRunning; }, 15000));
        ASSERT_TRUE(test::waitUntil([&] { return tap.samples.size() > before + kRate; }, 10000));
        EXPECT_FALSE(loudSince(tap.samples, before, 0.1f));
        const size_t after = tap.samples.size();
        QProcess* fresh = server->play(newSink, server->filePath(QStringLiteral("tone.wav")));
        EXPECT_TRUE(test::waitUntil([&] { return loudSince(tap.samples, after, 0.1f); }, 15000));
        ASSERT_TRUE(test::waitUntil([&] { return fresh->state() == QProcess::NotRunning; }, 15000));
    }

    test::TempHome home;
    ManualClock clock;
    test::MemorySecretStore secrets;
    Keychain keychain{secrets};
    DiagnosticsLog log{clock};
    std::unique_ptr<test::PulseServer> server;
    std::unique_ptr<AudioCapture> capture;
    std::shared_ptr<ChannelTap> client = std::make_shared<ChannelTap>();
    std::shared_ptr<ChannelTap> mic = std::make_shared<ChannelTap>();
};

// The captured channel holds the source's speech: same length of sound, and the same waveform.
void expectSpeech(const std::vector<float>& source, const std::vector<float>& captured, size_t from) {
    const float threshold = 0.02f;
    const size_t srcOn = onset(source, 0, threshold);
    const size_t capOn = onset(captured, from, threshold);
    ASSERT_LT(capOn, captured.size()) << "nothing audible arrived";
    const double srcSeconds = double(lastLoud(source, srcOn, threshold) - srcOn) / kRate;
    const double capSeconds = double(lastLoud(captured, capOn, threshold) - capOn) / kRate;
    EXPECT_NEAR(capSeconds, srcSeconds, 0.03);

    // Aligned at the onsets, allowing a few ms for the threshold crossing.
    const size_t n = std::min(source.size() - srcOn, captured.size() - capOn) - 480;
    double best = 0;
    for (int shift = -240; shift <= 240; shift += 1) {
        double c = 0, es = 0, ec = 0;
        for (size_t i = 480; i < n; i += 2) {
            const float s = source[srcOn + i];
            const float x = captured[size_t(qint64(capOn + i) + shift)];
            c += double(s) * x;
            es += double(s) * s;
            ec += double(x) * x;
        }
        best = std::max(best, c / std::sqrt(es * ec + 1e-18));
    }
    EXPECT_GT(best, 0.95);
}

} // namespace

TEST_F(CapturePulseTest, SwitchingTheDefaultDevicesMovesTheirChannels) {
    startCapture();
    EXPECT_EQ(capture->outputRoute().deviceName, QStringLiteral("Speakers"));

    server->keepAwake(QStringLiteral("otherspeakers"));
    ASSERT_TRUE(server->pactl({QStringLiteral("set-default-sink"), QStringLiteral("otherspeakers")}));
    ASSERT_TRUE(test::waitUntil(
        [&] { return logged(QStringLiteral("audio systemowe: przełączam na otherspeakers.monitor")); }, 10000));
    ASSERT_TRUE(
        test::waitUntil([&] { return capture->outputRoute().deviceName == QStringLiteral("OtherSpeakers"); }, 10000));
    expectHeardOnlyFrom(*client, QStringLiteral("speakers"), QStringLiteral("otherspeakers"));

    // The input: "othermic" hears what plays into "otherspeakers".
    ASSERT_TRUE(server->pactl({QStringLiteral("set-default-source"), QStringLiteral("othermic")}));
    ASSERT_TRUE(
        test::waitUntil([&] { return logged(QStringLiteral("mikrofon: wystartował, źródło=OtherMic")); }, 10000))
        << log.lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(capture->micPermission(), PermissionState::Granted);
    expectHeardOnlyFrom(*mic, QStringLiteral("micfeed"), QStringLiteral("otherspeakers"));

    // An output's monitor as the default input is no microphone: the channel stops rather than transcribe the
    // client's audio as the user.
    ASSERT_TRUE(server->pactl({QStringLiteral("set-default-source"), QStringLiteral("speakers.monitor")}));
    ASSERT_TRUE(test::waitUntil([&] { return capture->micPermission() == PermissionState::Denied; }, 10000));
    EXPECT_TRUE(logged(QStringLiteral("mikrofon: odmówione — Ustawienia → Dźwięk → Wejście")));
}

TEST_F(CapturePulseTest, CaptureResumesAfterTheSoundServerRestarts) {
    startCapture();

    server->stop();
    ASSERT_TRUE(test::waitUntil(
        [&] { return logged(QStringLiteral("audio systemowe: utracono połączenie z serwerem dźwięku — ponawiam")); },
        10000));
    ASSERT_TRUE(server->start());
    server->keepAwake(QStringLiteral("speakers"));
    server->keepAwake(QStringLiteral("micfeed"));
    ASSERT_TRUE(test::waitUntil(
        [&] { return logged(QStringLiteral("audio systemowe: serwer dźwięku znowu dostępny")); }, 15000));

    const size_t clientFrom = client->samples.size();
    const size_t micFrom = mic->samples.size();
    server->play(QStringLiteral("speakers"), server->filePath(QStringLiteral("tone.wav")));
    server->play(QStringLiteral("micfeed"), server->filePath(QStringLiteral("tone.wav")));
    EXPECT_TRUE(test::waitUntil(
        [&] { return loudSince(client->samples, clientFrom, 0.1f) && loudSince(mic->samples, micFrom, 0.1f); }, 15000))
        << log.lines().join(QLatin1Char('\n')).toStdString();
}

TEST_F(CapturePulseTest, AnotherProgramRecordingTheDefaultInputIsAMeeting) {
    auto system = std::make_unique<PulseAudioSystem>();
    std::unique_ptr<SourceMonitor> monitor = system->sourceMonitor();
    int reports = 0;
    bool lastInUse = false;
    QObject::connect(monitor.get(), &SourceMonitor::sourceState, [&](const QString&, bool inUse) {
        ++reports;
        lastInUse = inUse;
    });
    MeetingDetector detector(std::move(monitor));
    int meetings = 0;
    QObject::connect(&detector, &MeetingDetector::meetingDetected, [&] { ++meetings; });

    // Our own microphone stream records the default input all the time: not a meeting.
    capture = std::make_unique<AudioCapture>(clock, log, std::move(system));
    capture->start();
    detector.start();
    ASSERT_TRUE(test::waitUntil([&] { return capture->micBufferCount() > 0; }, 15000));
    ASSERT_TRUE(test::waitUntil([&] { return detector.device() == QStringLiteral("testmic"); }, 10000));
    EXPECT_FALSE(detector.wasRunning());

    // A recording of an output's monitor: not a meeting.
    int seen = reports;
    QProcess* monitorRecorder = server->record(QStringLiteral("speakers.monitor"));
    ASSERT_TRUE(test::waitUntil([&] { return recordingFrom(*server, QStringLiteral("speakers.monitor")); }, 10000));
    ASSERT_TRUE(test::waitUntil([&] { return reports > seen; }, 10000));
    EXPECT_FALSE(lastInUse);
    EXPECT_EQ(meetings, 0);
    monitorRecorder->kill();

    // Another program opens the microphone: a meeting, once; it closes it: idle again.
    QProcess* call = server->record(QStringLiteral("testmic"));
    ASSERT_TRUE(test::waitUntil([&] { return meetings == 1; }, 10000));
    seen = reports;
    call->kill();
    ASSERT_TRUE(test::waitUntil([&] { return reports > seen && !lastInUse; }, 10000));
    EXPECT_FALSE(detector.wasRunning());
    EXPECT_EQ(meetings, 1);

    // An input that is already busy when it becomes the default is reported busy at once.
    server->record(QStringLiteral("othermic"));
    ASSERT_TRUE(test::waitUntil([&] { return recordingFrom(*server, QStringLiteral("othermic")); }, 10000));
    ASSERT_TRUE(server->pactl({QStringLiteral("set-default-source"), QStringLiteral("othermic")}));
    ASSERT_TRUE(test::waitUntil([&] { return detector.device() == QStringLiteral("othermic"); }, 10000));
    EXPECT_TRUE(detector.wasRunning());
}

TEST_F(CapturePulseTest, EchoCancellationRemovesTheClientFromTheMicrophone) {
    const auto clientSpeech = test::speech(
        QStringLiteral("Thank you for joining. Before we sign, I would like to understand how your team handles urgent "
                       "requests during the weekend, and who exactly we should call when the warehouse system stops."));
    if (clientSpeech.empty())
        GTEST_SKIP() << "espeak-ng or sox missing";
    // The room: the loudspeakers' sound reaches the microphone 120 ms later at half the amplitude.
    std::vector<float> room(size_t(kRate) * 120 / 1000, 0.0f);
    for (float s : clientSpeech)
        room.push_back(0.5f * s);
    ASSERT_TRUE(test::writeWav(server->filePath(QStringLiteral("client.wav")), clientSpeech));
    ASSERT_TRUE(test::writeWav(server->filePath(QStringLiteral("room.wav")), room));

    Settings::setValue(Settings::kEchoCancellation, true);
    startCapture();
    EXPECT_TRUE(logged(QStringLiteral("mikrofon: eliminacja echa włączona")));

    const size_t clientFrom = client->samples.size();
    const size_t micFrom = mic->samples.size();
    QProcess* a = server->play(QStringLiteral("speakers"), server->filePath(QStringLiteral("client.wav")));
    QProcess* b = server->play(QStringLiteral("micfeed"), server->filePath(QStringLiteral("room.wav")));
    ASSERT_TRUE(test::waitUntil(
        [&] { return a->state() == QProcess::NotRunning && b->state() == QProcess::NotRunning; }, 40000));
    ASSERT_TRUE(test::waitUntil(
        [&] {
            return client->samples.size() - clientFrom > room.size() + kRate / 2 &&
                   mic->samples.size() - micFrom > room.size() + kRate / 2;
        },
        15000));

    // Where the client's speech sits in time, from the system-audio channel; the microphone runs alongside.
    const size_t lead = onset(client->samples, clientFrom, 0.02f) - clientFrom;
    const size_t speechOn = onset(clientSpeech, 0, 0.02f);
    const size_t speechEnd = lastLoud(clientSpeech, 0, 0.02f);
    ASSERT_GT(speechEnd - speechOn, size_t(6 * kRate));
    // Converged: the last four seconds of speech. Echo as it would have been, against what the microphone gave.
    const size_t windowFrom = speechEnd - 4 * kRate;
    const double echoEnergy = 0.25 * test::energy(clientSpeech, windowFrom, speechEnd);
    const size_t micStart = micFrom + lead - speechOn + windowFrom;
    const double leftEnergy = test::energy(mic->samples, micStart, micStart + (speechEnd - windowFrom) + kRate / 5);
    const double removedDb = 10 * std::log10(echoEnergy / (leftEnergy + 1e-12));
    EXPECT_GE(removedDb, 25.0) << log.lines().join(QLatin1Char('\n')).toStdString();
}

TEST_F(CapturePulseTest, SystemAudioAndMicrophoneReachTheSpeechServiceAndItsTextTheTranscript) {
    const auto clientSpeech = test::speech(QStringLiteral("When can the first delivery arrive at our warehouse?"));
    const auto userSpeech =
        test::speech(QStringLiteral("Next Tuesday, if the order is confirmed today."), QStringLiteral("en+m3"));
    if (clientSpeech.empty() || userSpeech.empty())
        GTEST_SKIP() << "espeak-ng or sox missing";
    ASSERT_TRUE(test::writeWav(server->filePath(QStringLiteral("client.wav")), clientSpeech));
    ASSERT_TRUE(test::writeWav(server->filePath(QStringLiteral("user.wav")), userSpeech));

    test::SttPeer peer;
    peer.setApiKey(QStringLiteral("sk_capture_test"));
    // Once a connection has carried three seconds of audio, the service commits a sentence on it.
    peer.setScript(
        {{3 * kRate * 2, QStringLiteral("committed_transcript"), QStringLiteral("Kiedy przyjedzie dostawa?")}});
    ASSERT_TRUE(peer.start());
    Settings::setValue(Settings::kElevenLabsBaseUrl, peer.baseUrl().toString());
    ASSERT_TRUE(keychain.write(QLatin1String(Keychain::kElevenLabsKey), QStringLiteral("sk_capture_test")));

    TranscriptBuffer transcript(clock);
    capture = std::make_unique<AudioCapture>(clock, log, std::make_unique<PulseAudioSystem>());
    capture->setTranscriberFactory(
        realtimeTranscriberFactory(clock, [this] { return std::make_shared<KeychainCredentialProvider>(keychain); }));
    QObject::connect(capture.get(), &AudioCapture::textHeard,
                     [&transcript](AudioChannel channel, const QString& text, bool isFinal) {
                         transcript.add(channel == AudioChannel::System ? Utterance::Speaker::Client
                                                                        : Utterance::Speaker::Me,
                                        text, isFinal);
                     });
    capture->start();
    capture->setTranscription(true);
    ASSERT_TRUE(peer.waitForConnections(2, 15000));
    ASSERT_TRUE(test::waitUntil([&] { return peer.acceptedCount() == 2; }, 10000));
    ASSERT_TRUE(test::waitUntil(
        [&] { return peer.connections()[0].audio.size() > kRate && peer.connections()[1].audio.size() > kRate; },
        15000));
    EXPECT_TRUE(logged(QStringLiteral("audio systemowe: wystartowało")));
    EXPECT_EQ(capture->micPermission(), PermissionState::Granted);

    // The client speaks first, the user after.
    std::vector<qsizetype> from{peer.connections()[0].audio.size(), peer.connections()[1].audio.size()};
    QProcess* play = server->play(QStringLiteral("speakers"), server->filePath(QStringLiteral("client.wav")));
    ASSERT_TRUE(test::waitUntil([&] { return play->state() == QProcess::NotRunning; }, 20000));
    play = server->play(QStringLiteral("micfeed"), server->filePath(QStringLiteral("user.wav")));
    ASSERT_TRUE(test::waitUntil([&] { return play->state() == QProcess::NotRunning; }, 20000));
    const qsizetype needed = qsizetype(clientSpeech.size() + userSpeech.size() + kRate / 2) * 2;
    ASSERT_TRUE(test::waitUntil(
        [&] {
            return peer.connections()[0].audio.size() - from[0] > needed &&
                   peer.connections()[1].audio.size() - from[1] > needed;
        },
        15000));

    // What the service received: 48 kHz mono 16-bit, each voice on its own connection only (the sound's length
    // and waveform match the source, so neither channel carries the other).
    const auto a = floats(peer.connections()[0].audio);
    const auto b = floats(peer.connections()[1].audio);
    const size_t fromA = size_t(from[0] / 2);
    const size_t fromB = size_t(from[1] / 2);
    const bool clientIsFirst = onset(a, fromA, 0.05f) - fromA < onset(b, fromB, 0.05f) - fromB;
    expectSpeech(clientSpeech, clientIsFirst ? a : b, clientIsFirst ? fromA : fromB);
    expectSpeech(userSpeech, clientIsFirst ? b : a, clientIsFirst ? fromB : fromA);
    for (const auto& c : peer.connections())
        EXPECT_EQ(c.query().queryItemValue(QStringLiteral("audio_format")), QStringLiteral("pcm_48000"));

    // The committed text came back on the main thread into the transcript.
    ASSERT_TRUE(test::waitUntil([&] { return !transcript.utterances().isEmpty(); }, 10000));
    EXPECT_EQ(transcript.utterances().first().text, QStringLiteral("Kiedy przyjedzie dostawa?"));
    capture->setTranscription(false);
    capture.reset();
}
