#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

class QProcess;

namespace quippet {

class AudioCapture;
class Clock;

// Reads a text aloud on the default output, so that it reaches the capture as system audio. Main thread only.
class SpeechSynthesizer : public QObject {
    Q_OBJECT
public:
    // Nothing when the text was spoken, else why it was not (for the diagnostics log).
    using Done = std::function<void(const std::optional<QString>& error)>;

    using QObject::QObject;
    ~SpeechSynthesizer() override = default;

    virtual bool available() const = 0;
    // Speaks `text` with a voice for `language` ("pl", "en", …). `done` runs once, later, on the main thread;
    // never after cancel() or a newer speak(), never after this object is gone.
    virtual void speak(const QString& text, const QString& language, Done done) = 0;
    // Stops what is being prepared or spoken, as far as it can still be stopped, and drops its `done`.
    virtual void cancel() = 0;
};

// 16-bit PCM from a RIFF/WAVE file, as floats in [-1, 1]; several channels are mixed down to one.
struct DecodedSound {
    std::vector<float> samples;
    int sampleRate = 0;
};
// Nothing when the bytes are no such file or hold no sample. A data chunk that claims more than there is (a
// stream written before its length was known) is read to the end of the bytes.
std::optional<DecodedSound> decodeWav(const QByteArray& bytes);

// The desktop's speech: espeak-ng renders the text as a WAV that the capture plays, else speech-dispatcher's
// spd-say speaks it by itself. Neither installed: unavailable. Programs run without a shell, the text as an
// argument, each run bounded in time.
class DesktopSpeech final : public SpeechSynthesizer {
    Q_OBJECT
public:
    enum class Engine { None, Espeak, SpeechDispatcher };
    using FindExecutable = std::function<QString(const QString& name)>;

    static constexpr std::chrono::seconds kRunLimit{60};
    static constexpr qsizetype kMaxOutputBytes = 32 * 1024 * 1024;

    // `find` answers a program's path or an empty text; unset, the PATH is searched.
    DesktopSpeech(Clock& clock, AudioCapture& capture, FindExecutable find = {}, QObject* parent = nullptr);
    ~DesktopSpeech() override;

    // Looked up on each call: a synthesizer installed while the program runs counts at once.
    Engine engine() const;
    bool available() const override { return engine() != Engine::None; }
    void speak(const QString& text, const QString& language, Done done) override;
    void cancel() override;

private:
    QString program(const QString& name) const;
    void finished(quint64 run, Engine engine, int exitCode, bool crashed);
    void settle(quint64 run, const std::optional<QString>& error);

    Clock& m_clock;
    AudioCapture& m_capture;
    FindExecutable m_find;
    QPointer<QProcess> m_process;
    QByteArray m_output;
    Done m_done;
    quint64 m_run = 0;   // the current request; answers of older ones are dropped
    quint64 m_sound = 0; // the capture's number of the sound being played, 0 for none
};

} // namespace quippet
