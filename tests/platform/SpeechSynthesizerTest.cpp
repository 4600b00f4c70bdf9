// The desktop's voice: WAV decoding and the speech programs, stood in for by shell scripts.
#include "platform/SpeechSynthesizer.h"

#include "audio/AudioCapture.h"
#include "core/DiagnosticsLog.h"
#include "support/FakeAudio.h"
#include "support/Files.h"
#include "support/ManualClock.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtEndian>

#include <algorithm>

using namespace quippet;
using namespace quippet::test;
using namespace std::chrono_literals;

namespace {

// A WAV as a writer would make it; `dataSize` overrides the data chunk's length field.
QByteArray makeWav(int channels, int sampleRate, const QList<qint16>& samples,
                   std::optional<quint32> dataSize = std::nullopt, const QByteArray& chunkBefore = {}) {
    const auto le = [](quint32 v, int bytes = 4) {
        v = qToLittleEndian(v);
        return QByteArray(reinterpret_cast<const char*>(&v), bytes);
    };
    QByteArray data;
    for (qint16 s : samples)
        data += le(quint16(s), 2);
    QByteArray body = "WAVEfmt " + le(16) + le(1, 2) + le(channels, 2) + le(sampleRate) +
                      le(sampleRate * channels * 2) + le(channels * 2, 2) + le(16, 2) + chunkBefore;
    body += "data" + le(dataSize.value_or(data.size())) + data;
    return "RIFF" + le(body.size()) + body;
}

// A stand-in program: a shell script with this body.
void writeProgram(const QString& path, const QByteArray& body) {
    writeFile(path, "#!/bin/sh\n" + body);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
}

// What the voice plays into: a capture on a fake sound server.
struct SoundWorld {
    ManualClock clock;
    DiagnosticsLog log{clock};
    FakeAudioSystem* audio = new FakeAudioSystem; // owned by the capture
    AudioCapture capture{clock, log, std::unique_ptr<AudioSystem>(audio)};
};

} // namespace

TEST(DecodeWavTest, PcmIsReadAndAnythingElseIsRefused) {
    const QList<qint16> pcm{0, 16384, -32768, 32767};
    const std::vector<float> floats{0.0f, 0.5f, -1.0f, 32767.0f / 32768.0f};
    const QByteArray wav = makeWav(1, 22050, pcm);
    const struct {
        const char* what;
        QByteArray bytes;
        std::vector<float> samples; // empty: refused
        int rate;
    } cases[] = {
        {"mono", wav, floats, 22050},
        {"streamed, length unknown", makeWav(1, 22050, pcm, 0x7ffff000), floats, 22050},
        {"streamed, all ones", makeWav(1, 16000, pcm, 0xffffffff), floats, 16000},
        {"cut mid-sample", wav.left(wav.size() - 1), {0.0f, 0.5f, -1.0f}, 22050},
        {"an odd chunk before the data", makeWav(1, 22050, pcm, std::nullopt, QByteArray("LIST\x03\0\0\0abc\0", 12)),
         floats, 22050},
        {"stereo mixed down", makeWav(2, 44100, {16384, 0, -32768, -32768}), {0.25f, -1.0f}, 44100},
        {"nothing", {}, {}, 0},
        {"text", "Error: The specified espeak-ng voice does not exist.\n", {}, 0},
        {"the header alone", wav.left(12), {}, 0},
        {"no samples", makeWav(1, 22050, {}), {}, 0},
        {"8-bit", QByteArray(wav).replace(34, 1, "\x08"), {}, 0},
        {"compressed", QByteArray(wav).replace(20, 1, "\x02"), {}, 0},
        {"data before the format", QByteArray("RIFF\x10\0\0\0WAVEdata\x02\0\0\0\x01\x02", 22) + wav.mid(12), {}, 0},
        {"a chunk past the end", makeWav(1, 22050, pcm, std::nullopt, QByteArray("LIST\xff\0\0\0ab", 10)), {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto sound = decodeWav(c.bytes);
        ASSERT_EQ(sound.has_value(), !c.samples.empty());
        if (sound) {
            EXPECT_EQ(sound->samples, c.samples);
            EXPECT_EQ(sound->sampleRate, c.rate);
        }
    }
}

TEST(DesktopSpeechTest, EspeakIsPlayedThroughTheCaptureSpeechDispatcherSpeaksByItself) {
    using E = DesktopSpeech::Engine;
    TempHome home;
    SoundWorld world;
    const QString bin = home.filePath(QStringLiteral("bin"));
    const QByteArray wav = home.filePath(QStringLiteral("question.wav")).toUtf8();
    writeFile(QString::fromUtf8(wav), makeWav(1, 22050, {0, 16384}));
    const QString argsFile = home.filePath(QStringLiteral("args.txt"));
    // Each fake program writes its arguments, one a line.
    const QByteArray recordArgs = "printf '%s\\n' \"$@\" > '" + argsFile.toUtf8() + "'\n";
    const QString text = QStringLiteral("-Ile to kosztuje? Cena \"netto\" $HOME");
    const struct {
        const char* what;
        QByteArray espeak, spdSay; // script bodies; empty: not installed
        E engine;
        const char* args;  // one a line, the text after them; null: not looked at
        const char* error; // null: played (espeak-ng) or spoken (spd-say)
    } cases[] = {
        {"espeak-ng", recordArgs + "exec cat '" + wav + "'\n", "exit 3\n", E::Espeak, "-v\npl\n--stdout\n--\n", {}},
        {"espeak-ng refuses the voice", "echo 'Error: no voice' >&2\nexit 1\n", {}, E::Espeak, {}, "Error: no voice"},
        {"espeak-ng writes no sound", "echo hello\n", {}, E::Espeak, {}, "nieczytelny"},
        {"spd-say", {}, recordArgs, E::SpeechDispatcher, "-w\n-l\npl\n--\n", {}},
        {"neither", {}, {}, E::None, {}, "brak syntezatora"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(argsFile);
        world.audio->sounds.clear();
        QHash<QString, QString> installed;
        for (const auto& [name, body] : {std::pair{"espeak-ng", c.espeak}, std::pair{"spd-say", c.spdSay}}) {
            const QString path = QDir(bin).filePath(QLatin1String(name));
            QFile::remove(path);
            if (!body.isEmpty()) {
                writeProgram(path, body);
                installed.insert(QLatin1String(name), path);
            }
        }
        DesktopSpeech voice(world.clock, world.capture, [&](const QString& name) { return installed.value(name); });
        EXPECT_EQ(voice.engine(), c.engine);
        EXPECT_EQ(voice.available(), c.engine != E::None);

        std::optional<std::optional<QString>> result;
        voice.speak(text, QStringLiteral("pl"), [&](const std::optional<QString>& error) { result = error; });
        EXPECT_FALSE(result) << "never answered inside speak()";
        const bool played = c.engine == E::Espeak && !c.error;
        if (played) {
            ASSERT_TRUE(waitUntil([&] { return !world.audio->sounds.isEmpty(); }));
            EXPECT_EQ(world.audio->sounds.first().sampleRate, 22050);
            EXPECT_EQ(world.audio->sounds.first().samples, (std::vector<float>{0.0f, 0.5f}));
            EXPECT_FALSE(result) << "done only once the sound has been played";
            world.audio->sounds.first().done(std::nullopt);
        }
        ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
        const QString error = result->value_or(QStringLiteral("(none)"));
        EXPECT_TRUE(c.error ? error.contains(QLatin1String(c.error)) : !result->has_value()) << error.toStdString();
        if (c.args) {
            EXPECT_EQ(QString::fromUtf8(readFile(argsFile)), QLatin1String(c.args) + text + QLatin1Char('\n'));
        }
        if (!played) {
            EXPECT_TRUE(world.audio->sounds.isEmpty());
        }
    }
}

TEST(DesktopSpeechTest, AHungProgramIsStoppedAtTheLimitAndACancelledOneNeverAnswers) {
    TempHome home;
    SoundWorld world;
    const QString path = home.filePath(QStringLiteral("espeak-ng"));
    writeProgram(path, "exec tail -f /dev/null\n");
    DesktopSpeech voice(world.clock, world.capture,
                        [&](const QString& name) { return name == QLatin1String("espeak-ng") ? path : QString(); });
    auto running = [&] {
        const auto processes = voice.findChildren<QProcess*>();
        return std::any_of(processes.begin(), processes.end(),
                           [](QProcess* p) { return p->state() == QProcess::Running; });
    };

    std::optional<std::optional<QString>> result;
    voice.speak(QStringLiteral("Pytanie"), QStringLiteral("pl"), [&](const auto& error) { result = error; });
    ASSERT_TRUE(waitUntil(running));
    world.clock.advance(DesktopSpeech::kRunLimit - 1s);
    EXPECT_FALSE(result);
    world.clock.advance(1s);
    ASSERT_TRUE(result && result->has_value());
    EXPECT_TRUE((*result)->contains(QStringLiteral("60 s")));
    EXPECT_TRUE(waitUntil([&] { return !running(); })) << "the program is killed";

    bool answered = false;
    voice.speak(QStringLiteral("Pytanie"), QStringLiteral("pl"), [&](const auto&) { answered = true; });
    ASSERT_TRUE(waitUntil(running));
    voice.cancel();
    EXPECT_TRUE(waitUntil([&] { return !running(); }));
    world.clock.advance(DesktopSpeech::kRunLimit);
    QCoreApplication::processEvents();
    EXPECT_FALSE(answered);
}
