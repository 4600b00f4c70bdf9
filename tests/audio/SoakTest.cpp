// Soak (scripts/soak.sh, not part of the CTest run): speech played into both channels of a real capture against a
// private sound server, its text from the loopback speech service, while the service's connection is cut 20 times
// and the sound server restarts once. Every sentence the service commits must reach the program, and memory must
// stay bounded.
#include "audio/AudioCapture.h"
#include "audio/PulseAudioSystem.h"
#include "core/DiagnosticsLog.h"
#include "core/Settings.h"
#include "peers/SttPeer.h"
#include "secrets/Credentials.h"
#include "speech/RealtimeTranscription.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/PulseFixture.h"
#include "support/Speech.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QFile>

using namespace quippet;
using namespace std::chrono_literals;

namespace {

constexpr qsizetype kSecond = 48000 * 2; // bytes of 48 kHz mono s16
constexpr int kDrops = 20;

qint64 rssKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

} // namespace

TEST(SoakTest, DropsAndASoundServerRestartLoseNoCommittedSentence) {
    if (!test::PulseServer::binaryAvailable())
        GTEST_SKIP() << "pulseaudio is not installed";
    const auto sentence = test::speech(QStringLiteral("When can the first delivery arrive at our warehouse?"));
    if (sentence.empty())
        GTEST_SKIP() << "espeak-ng or sox missing";

    test::TempHome home;
    ManualClock clock;
    test::MemorySecretStore secrets;
    Keychain keychain{secrets};
    DiagnosticsLog log{clock};
    test::PulseServer server;
    ASSERT_TRUE(server.start());
    const QString wav = server.filePath(QStringLiteral("sentence.wav"));
    ASSERT_TRUE(test::writeWav(wav, sentence));

    // Each connection commits a sentence after its first and its third second of audio.
    test::SttPeer peer;
    peer.setApiKey(QStringLiteral("sk_soak"));
    const QList<test::SttPeer::Step> script{
        {kSecond, QStringLiteral("committed_transcript"), QStringLiteral("raz")},
        {3 * kSecond, QStringLiteral("committed_transcript"), QStringLiteral("dwa")}};
    peer.setScript(script);
    ASSERT_TRUE(peer.start());
    Settings::setValue(Settings::kElevenLabsBaseUrl, peer.baseUrl().toString());
    ASSERT_TRUE(keychain.write(QLatin1String(Keychain::kElevenLabsKey), QStringLiteral("sk_soak")));
    auto committedByService = [&] {
        int n = 0;
        for (const auto& c : peer.connections())
            for (const auto& step : script)
                n += c.accepted && c.audio.size() >= step.atBytes;
        return n;
    };

    int received = 0;
    AudioCapture capture(clock, log, std::make_unique<PulseAudioSystem>());
    capture.setTranscriberFactory(
        realtimeTranscriberFactory(clock, [&] { return std::make_shared<KeychainCredentialProvider>(keychain); }));
    QObject::connect(&capture, &AudioCapture::textHeard,
                     [&](AudioChannel, const QString&, bool isFinal) { received += isFinal; });

    // Speech in both channels all along; a player that ended (or lost its server) is started again.
    QProcess* players[2] = {nullptr, nullptr};
    const QString sinks[2] = {QStringLiteral("speakers"), QStringLiteral("micfeed")};
    auto keepTalking = [&] {
        for (int i = 0; i < 2; ++i)
            if (!players[i] || players[i]->state() == QProcess::NotRunning)
                players[i] = server.play(sinks[i], wav);
    };
    // Runs the event loop until the condition holds, moving the program's clock by 500 ms every 50 ms of real
    // time so that its reconnection back-off elapses.
    auto drive = [&](const std::function<bool()>& condition, int rounds = 600) {
        for (int i = 0; i < rounds; ++i) {
            keepTalking();
            if (test::waitUntil(condition, 50))
                return true;
            clock.advance(500ms);
        }
        return false;
    };
    auto allArrived = [&] { return drive([&] { return received == committedByService(); }); };

    server.keepAwake(sinks[0]);
    server.keepAwake(sinks[1]);
    capture.start();
    capture.setTranscription(true);
    ASSERT_TRUE(drive([&] { return peer.acceptedCount() == 2 && committedByService() >= 2; }))
        << log.lines().join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(allArrived());
    const qint64 rssStart = rssKiB();
    qint64 rssMax = rssStart;

    for (int drop = 0; drop < kDrops; ++drop) {
        if (drop == kDrops / 2) {
            server.stop();
            players[0] = players[1] = nullptr;
            ASSERT_TRUE(test::waitUntil(
                [&] {
                    return log.lines().contains(
                        QStringLiteral("audio systemowe: utracono połączenie z serwerem dźwięku — ponawiam"));
                },
                10000));
            ASSERT_TRUE(server.start());
            server.keepAwake(sinks[0]);
            server.keepAwake(sinks[1]);
            ASSERT_TRUE(drive([&] {
                return log.lines().contains(QStringLiteral("audio systemowe: serwer dźwięku znowu dostępny"));
            })) << log.lines().join(QLatin1Char('\n')).toStdString();
        }
        // Cut the newest connection mid-speech, once it has carried audio, then wait for its successor to carry
        // speech past the first sentence.
        const qsizetype before = peer.connections().size();
        ASSERT_TRUE(
            drive([&] { return peer.last() && peer.last()->accepted && peer.last()->audio.size() > kSecond / 2; }));
        peer.drop();
        ASSERT_TRUE(drive([&] {
            const auto* c = peer.last();
            return peer.connections().size() > before && c->accepted && c->audio.size() >= script[0].atBytes;
        })) << "no new connection carried audio after drop "
            << drop + 1;
        ASSERT_TRUE(allArrived()) << received << " of " << committedByService() << " after drop " << drop + 1;
        rssMax = std::max(rssMax, rssKiB());
    }
    ASSERT_TRUE(allArrived());
    const qint64 rssEnd = rssKiB();

    qint64 audio = 0;
    for (const auto& c : peer.connections())
        audio += c.audio.size();
    std::printf("soak: %d drops, 1 sound-server restart, %lld connections, %.1f s of audio received, "
                "%d of %d committed sentences in the transcript (%d lost); RSS %lld kB at start, %lld kB at end, "
                "%lld kB at most (the peer's own records of the received audio, kept in this process, ~%lld kB)\n",
                kDrops, qlonglong(peer.connections().size()), double(audio) / kSecond, received, committedByService(),
                committedByService() - received, rssStart, rssEnd, rssMax,
                // Each chunk is kept three times: decoded twice, and as base64 text (UTF-16) in its message.
                qlonglong(audio * (2 + 8 / 3.0) / 1024));
    EXPECT_EQ(received, committedByService());
    EXPECT_LT(rssEnd - rssStart, 64 * 1024);
    capture.setTranscription(false);
}
