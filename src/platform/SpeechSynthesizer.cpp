#include "platform/SpeechSynthesizer.h"

#include "audio/AudioCapture.h"
#include "audio/LevelStore.h"
#include "core/Clock.h"

#include <QProcess>
#include <QStandardPaths>
#include <QtEndian>

#include <algorithm>
#include <utility>

namespace quippet {

namespace {

quint16 le16(const QByteArray& bytes, qsizetype at) {
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

quint32 le32(const QByteArray& bytes, qsizetype at) {
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

QString programName(DesktopSpeech::Engine engine) {
    return engine == DesktopSpeech::Engine::Espeak ? QStringLiteral("espeak-ng") : QStringLiteral("spd-say");
}

// The first line a program wrote about its failure, short enough for a log line.
QString firstLine(const QByteArray& text) {
    const QString line = QString::fromUtf8(text).section(QLatin1Char('\n'), 0, 0).trimmed();
    return line.left(200);
}

} // namespace

std::optional<DecodedSound> decodeWav(const QByteArray& bytes) {
    if (bytes.size() < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE")
        return std::nullopt;
    int channels = 0;
    int sampleRate = 0;
    qsizetype at = 12;
    while (at + 8 <= bytes.size()) {
        const QByteArray id = bytes.mid(at, 4);
        const qsizetype size = le32(bytes, at + 4);
        at += 8;
        const qsizetype available = bytes.size() - at;
        if (id == "fmt ") {
            if (size < 16 || available < 16)
                return std::nullopt;
            const int format = le16(bytes, at);
            channels = le16(bytes, at + 2);
            sampleRate = int(le32(bytes, at + 4));
            const int bits = le16(bytes, at + 14);
            if (format != 1 || bits != 16 || channels < 1 || channels > 8 || sampleRate < 8000 || sampleRate > 192000)
                return std::nullopt;
        } else if (id == "data") {
            if (channels == 0)
                return std::nullopt;
            // espeak-ng writes to a pipe before it knows the length, and says 0x7ffff000 or 0xffffffff.
            const qsizetype frames = std::min(size, available) / (2 * channels);
            if (frames == 0)
                return std::nullopt;
            DecodedSound sound;
            sound.sampleRate = sampleRate;
            appendMono({sampleRate, channels, AudioFormat::SampleType::Int16, true}, bytes.constData() + at, frames,
                       sound.samples);
            return sound;
        }
        if (size > available)
            return std::nullopt;
        at += size + (size & 1); // chunks are padded to an even length
    }
    return std::nullopt;
}

DesktopSpeech::DesktopSpeech(Clock& clock, AudioCapture& capture, FindExecutable find, QObject* parent)
    : SpeechSynthesizer(parent), m_clock(clock), m_capture(capture), m_find(std::move(find)) {
    if (!m_find)
        m_find = [](const QString& name) { return QStandardPaths::findExecutable(name); };
}

DesktopSpeech::~DesktopSpeech() {
    m_done = {};
    // The current run and any cancelled one still ending. Killed, a process ends at once; deleting a running
    // QProcess would wait for it all the same.
    for (QProcess* process : findChildren<QProcess*>()) {
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(1000);
        }
    }
}

QString DesktopSpeech::program(const QString& name) const {
    return m_find(name);
}

DesktopSpeech::Engine DesktopSpeech::engine() const {
    if (!program(programName(Engine::Espeak)).isEmpty())
        return Engine::Espeak;
    if (!program(programName(Engine::SpeechDispatcher)).isEmpty())
        return Engine::SpeechDispatcher;
    return Engine::None;
}

void DesktopSpeech::speak(const QString& text, const QString& language, Done done) {
    cancel();
    const quint64 run = m_run;
    m_done = std::move(done);
    const Engine engine = this->engine();
    if (engine == Engine::None) {
        QMetaObject::invokeMethod(
            this, [this, run] { settle(run, QStringLiteral("brak syntezatora mowy (espeak-ng, spd-say)")); },
            Qt::QueuedConnection);
        return;
    }
    const QString name = programName(engine);
    // "--" ends the options: a text that starts with a dash is still read out.
    const QStringList arguments =
        engine == Engine::Espeak
            ? QStringList{QStringLiteral("-v"), language, QStringLiteral("--stdout"), QStringLiteral("--"), text}
            : QStringList{QStringLiteral("-w"), QStringLiteral("-l"), language, QStringLiteral("--"), text};
    auto* process = new QProcess(this);
    m_process = process;
    m_output.clear();
    process->setStandardInputFile(QProcess::nullDevice());
    connect(process, &QProcess::readyReadStandardOutput, this, [this, process, run, name] {
        if (run != m_run)
            return;
        m_output += process->readAllStandardOutput();
        if (m_output.size() > kMaxOutputBytes)
            settle(run, name + QStringLiteral(": za długi dźwięk"));
    });
    connect(process, &QProcess::finished, this, [this, run, engine](int exitCode, QProcess::ExitStatus status) {
        finished(run, engine, exitCode, status == QProcess::CrashExit);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process, run, name](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            settle(run, name + QStringLiteral(": nie uruchamia się: ") + process->errorString());
    });
    m_clock.singleShot(kRunLimit, process, [this, run, name] {
        settle(run, name + QStringLiteral(": bez odpowiedzi przez ") + QString::number(kRunLimit.count()) +
                        QStringLiteral(" s"));
    });
    process->start(program(name), arguments);
}

void DesktopSpeech::finished(quint64 run, Engine engine, int exitCode, bool crashed) {
    if (run != m_run || !m_process)
        return;
    QProcess* process = m_process;
    m_process = nullptr;
    process->disconnect(this);
    process->deleteLater();
    m_output += process->readAllStandardOutput();
    const QByteArray output = std::exchange(m_output, {});
    if (crashed || exitCode != 0) {
        const QString why = firstLine(process->readAllStandardError());
        settle(run, programName(engine) + QStringLiteral(": ") +
                        (why.isEmpty() ? QStringLiteral("kod wyjścia ") + QString::number(exitCode) : why));
        return;
    }
    if (engine == Engine::SpeechDispatcher) {
        settle(run, std::nullopt);
        return;
    }
    auto sound = decodeWav(output);
    if (!sound) {
        settle(run, QStringLiteral("espeak-ng: nieczytelny dźwięk"));
        return;
    }
    QPointer<DesktopSpeech> self(this);
    m_sound = m_capture.playSound(std::move(sound->samples), sound->sampleRate,
                                  [self, run](const std::optional<QString>& error) {
                                      if (self)
                                          self->settle(run, error);
                                  });
}

void DesktopSpeech::settle(quint64 run, const std::optional<QString>& error) {
    if (run != m_run || !m_done)
        return;
    Done done = std::exchange(m_done, {});
    cancel();
    done(error);
}

void DesktopSpeech::cancel() {
    ++m_run;
    m_done = {};
    m_output.clear();
    // A question being read is silenced, not talked over by the next one.
    if (const quint64 sound = std::exchange(m_sound, 0))
        m_capture.stopSound(sound);
    if (!m_process)
        return;
    QProcess* process = m_process;
    m_process = nullptr;
    process->disconnect(this);
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    // Gone once it has ended, which a kill makes quick.
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
    process->kill();
}

} // namespace quippet
