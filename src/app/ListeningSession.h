#pragma once

#include "core/DiagnosticsLog.h"

#include <QObject>
#include <QPointer>

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
    // Stops listening, asks for the summary and writes the note; the next conversation starts empty.
    void finish();
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
    std::optional<QString> currentCompany() const;
    std::optional<QString> currentTopic() const;

    Parts m_parts;
    QPointer<Timer> m_heartbeatTimer;
    QPointer<Timer> m_limitTimer;
    bool m_starting = false;
    bool m_finishing = false;
    QMetaObject::Connection m_finishWatch;
};

} // namespace quippet
