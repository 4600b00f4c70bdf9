#pragma once

#include "audio/ToneProbe.h"
#include "audio/TranscriberPort.h"
#include "core/DiagnosticsLog.h"
#include "speech/SpeechProbe.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

namespace quippet {

class AudioCapture;
class Backend;
class Clock;
class Keychain;
class LlmClient;
class Timer;

// One line of the check: what was looked at, how it went, what it means and what would mend it.
struct PreflightLine {
    enum class Item { SystemAudio, Microphone, EchoPath, Transcription, LanguageModel, Backend, Screenshots };
    enum class Verdict { Waiting, Checking, Passed, Warning, Failed, Skipped };
    // The one-click mend offered next to a line.
    enum class Fix { None, OpenSoundSettings, EchoCancellation, OpenKeys, SignIn };

    Item item = Item::SystemAudio;
    Verdict verdict = Verdict::Waiting;
    QString detail; // the result in the user's words
    QString advice; // what to do about it; empty when nothing
    Fix fix = Fix::None;

    bool operator==(const PreflightLine&) const = default;
};

// The check before a call: whether the client will be heard (the test tone comes back through the system audio),
// whether the user's microphone delivers, how much of the loudspeakers the microphone hears (measured by a
// ToneProbe), and whether the transcription service, the language model and the backend take the present
// credentials. The network lines run in
// parallel with the audio ones; a failing line never holds up the others, and the whole check ends within
// kTimeout. Main thread only.
class PreflightCheck : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool running READ running NOTIFY runningChanged)
    Q_PROPERTY(QList<quippet::PreflightLine> lines READ lines NOTIFY linesChanged)
public:
    static constexpr std::chrono::seconds kTimeout{10};
    // A leak above this reaches the transcription as the client's words spoken by the user.
    static constexpr double kLeakLimitDb = -30;
    static constexpr std::chrono::seconds kNetworkWait{9};

    using ModelList = std::variant<QStringList, QString>; // the models a key sees, or why they could not be listed
    struct Parts {
        Clock& clock;
        DiagnosticsLog& log;
        AudioCapture& capture;
        Keychain& keychain;
        Backend& backend;
        LlmClient& llm;
        // The models the stored own key sees.
        std::function<void(std::function<void(ModelList)>)> listModels;
        QStringList modelChain;
        // Where the desktop decides on screenshots (the portal): whether the last one was allowed, nothing while
        // none has been asked for. Unset where no permission is involved.
        std::function<std::optional<bool>()> screenshotsAllowed = {};
    };

    explicit PreflightCheck(Parts parts, QObject* parent = nullptr);

    // Starts the whole check afresh; a running one is abandoned.
    void run();
    // The echo line's mend: turns echo cancellation on and plays the tone again to show the leak with it.
    void enableEchoCancellation();

    const Parts& parts() const { return m_parts; }
    bool running() const { return m_running; }
    const QList<PreflightLine>& lines() const { return m_lines; }
    const PreflightLine& line(PreflightLine::Item item) const { return m_lines.at(int(item)); }
    // The leak measured without and with echo cancellation, once each has been measured (dB; an upper bound when
    // the microphone showed no trace of the tone).
    std::optional<double> leakWithout() const { return m_leakWithout; }
    std::optional<double> leakWith() const { return m_leakWith; }
    // How long the last complete check took.
    std::optional<std::chrono::milliseconds> lastDuration() const { return m_lastDuration; }

    // Whether a check is due: never run, or the last one is older than a day.
    static bool isDue(qint64 nowMs);

signals:
    void runningChanged();
    void linesChanged();
    void finished();

private:
    void set(PreflightLine::Item item, PreflightLine::Verdict verdict, const QString& detail,
             const QString& advice = {}, PreflightLine::Fix fix = PreflightLine::Fix::None);
    bool pending(PreflightLine::Item item) const;
    void maybeFinish();
    void timedOut();

    void startAudio(bool echoOnly);
    void toneNotPlayed(const std::optional<QString>& error);
    void judgeMic();
    void judgeTone(const ToneProbe::Result& result);
    void noAudio();

    void startTranscription();
    void endTranscription(const SpeechVerdict& verdict);
    void startLanguageModel(bool signedIn);
    void tinyRequest(const QStringList& missing, const QString& answering);
    void startBackend(bool signedIn);
    void judgeScreenshots();

    Parts m_parts;
    bool m_running = false;
    bool m_cutShort = false; // the deadline decided some line
    QList<PreflightLine> m_lines;
    std::chrono::milliseconds m_startedAt{0};
    std::optional<std::chrono::milliseconds> m_lastDuration;
    Timer* m_deadline = nullptr;

    // The audio lines.
    ToneProbe* m_probe = nullptr;
    bool m_echoOnly = false;
    std::optional<double> m_leakWithout;
    std::optional<double> m_leakWith;
    QString m_leakWithoutText, m_leakWithText;

    SpeechProbe* m_speechProbe = nullptr;
    QPointer<QObject> m_llmContext;
};

} // namespace quippet

Q_DECLARE_METATYPE(quippet::PreflightLine)
