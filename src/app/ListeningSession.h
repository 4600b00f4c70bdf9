#pragma once

#include "core/DiagnosticsLog.h"
#include "ui/QuitQuestion.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <optional>

namespace quippet {

class Assistant;
class AudioCapture;
class Backend;
class Clock;
class Keychain;
class PanelState;
class SessionStore;
class Timer;
class TranscriptBuffer;
class UsageMeter;

// The listening period and the conversation around it: starting and stopping the transcription, the metered
// backend session with its heartbeat and time limit, the usage polling of the user's own key, and the
// end-of-conversation note. Main thread only.
class ListeningSession : public QObject {
    Q_OBJECT
public:
    static constexpr int kHeartbeatSeconds = 30;
    // How long leaving waits for the backend to take the seconds used, and for a note being written.
    static constexpr std::chrono::seconds kCloseWait{5};
    static constexpr std::chrono::seconds kNoteWait{60};

    struct Parts {
        Clock& clock;
        Keychain& keychain;
        AudioCapture& capture;
        PanelState& state;
        TranscriptBuffer& transcript;
        UsageMeter& usage;
        SessionStore& sessions;
        Backend& backend;
        Assistant& assistant;
        NoteFn note;
    };

    explicit ListeningSession(Parts parts, QObject* parent = nullptr);
    ~ListeningSession() override;

    // With a backend token: the context is pulled and a metered session opened first; with own keys listening
    // starts at once, unmetered and unlimited.
    void begin();
    void stop();
    void toggle();
    // Stops listening, asks for the summary and writes the note; the next conversation starts empty. A summary that
    // fails or cannot start still leaves a note with the whole transcript, marked as having none.
    void finish();
    // Before the program ends (quit, relaunch): a conversation in the transcript is finished or dropped as `ask`
    // answers (not at all on Cancel), a metered session is closed with the seconds used, and then `then` runs. Each
    // wait is bounded, so the program always ends.
    void leave(const std::function<QuitChoice()>& ask, std::function<void()> then);
    bool leaving() const { return bool(m_then); }
    void hitLimit();
    // The conversation's facts (company, topic, mode) as the assistant's instruction.
    void applyToAssistant();

    bool heartbeatRunning() const;
    bool limitTimerRunning() const;
    // A backend session is being opened; a second press waits for it instead of opening another.
    bool starting() const { return m_starting; }
    // The after-call note is being written; listening resumes only once it is done.
    bool finishing() const { return m_finishing; }

private:
    void startHeartbeat();
    void stopTimers();
    void scheduleLimitStop();
    void flashKey(const char* key);
    void store(int generation, const std::optional<QString>& summary);
    void armLeaveWait();
    void proceedLeaving();
    std::optional<QString> currentCompany() const;
    std::optional<QString> currentTopic() const;

    Parts m_parts;
    QPointer<Timer> m_heartbeatTimer;
    QPointer<Timer> m_limitTimer;
    bool m_starting = false;
    bool m_finishing = false;
    int m_generation = 0;       // which finish a summary belongs to
    QString m_finishTranscript; // the conversation being finished, as it stood when the user finished it
    int m_closing = 0;          // backend sessions being closed
    std::function<void()> m_then;
    QPointer<Timer> m_leaveWait;
};

} // namespace quippet
