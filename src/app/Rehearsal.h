#pragma once

#include "core/DiagnosticsLog.h"
#include "records/SessionMeta.h"

#include <QObject>
#include <QStringList>

#include <chrono>
#include <functional>

namespace quippet {

class Assistant;
class AudioCapture;
class Clock;
class ListeningSession;
class PanelState;
class SessionStore;
class SpeechSynthesizer;
class Timer;
class TranscriptBuffer;

namespace rehearsal {

// The questions of a practice conversation and the language their voice speaks.
struct Questions {
    QStringList texts;
    QString language;
    bool fromFile = false;
};

// The user's own questions, in the context folder.
QString questionsFileName();
// One question per line; blank lines and Markdown headings are skipped, list markers ("- ", "* ", "1. ", "1) ")
// taken off.
QStringList parseQuestions(const QString& text);
// A short set of what a client (sales) or an interviewer (evaluation) asks, in Polish for "pl" and in English for
// any other transcription language.
Questions builtInQuestions(ConversationMode mode, const QString& language);
// The questions file of `folder` when it holds a question, read in the transcription language; else built-in.
Questions loadQuestions(const QString& folder, ConversationMode mode, const QString& language);

} // namespace rehearsal

// A practice conversation: Quippet plays the client, reading questions aloud through the desktop's speech into the
// default output, so they reach the transcript as system audio, while the user answers into the microphone. The
// panel works as in a real call, listening is metered the same, and the note is written as for any conversation,
// marked as a practice. The next question comes once the user has said something and then paused, or after a
// long silence. Main thread only; the parts outlive this object.
class Rehearsal : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool running READ running NOTIFY runningChanged)
    Q_PROPERTY(int questionIndex READ questionIndex NOTIFY questionChanged)
    Q_PROPERTY(int questionCount READ questionCount NOTIFY questionChanged)
    Q_PROPERTY(QString question READ question NOTIFY questionChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
public:
    // Quiet this long after the user said something: the answer is over.
    static constexpr std::chrono::milliseconds kAnswerPause{3000};
    // Nothing at all from the user this long: on to the next question anyway.
    static constexpr std::chrono::milliseconds kAnswerTimeout{60000};
    // Listening (with a signed-in user, a metered session) has this long to start.
    static constexpr std::chrono::milliseconds kListenWait{30000};
    // At the end, an answer still being written has this long before the note is asked for.
    static constexpr std::chrono::milliseconds kFinishWait{60000};

    struct Parts {
        Clock& clock;
        AudioCapture& capture;
        TranscriptBuffer& transcript;
        SessionStore& sessions;
        Assistant& assistant;
        ListeningSession& session;
        PanelState& state;
        SpeechSynthesizer& speech;
        NoteFn note;
    };

    explicit Rehearsal(Parts parts, QObject* parent = nullptr);
    ~Rehearsal() override;

    // A voice is installed.
    bool available() const;
    // Marks the current conversation as a practice, starts listening and reads the first question. Refused while
    // another conversation holds the transcript or its note is being written.
    void start();
    // Ends early: the conversation is finished like any other (nothing said at all: no note, no mark).
    void stop();
    void toggle();
    // Skips to the next question (after the last: the end).
    void next();

    bool running() const { return m_phase != Phase::Idle; }
    int questionIndex() const { return m_index; } // from 0; -1 before the first
    int questionCount() const { return int(m_questions.size()); }
    QString question() const;
    QString status() const { return m_status; }

signals:
    void runningChanged();
    void questionChanged();
    void statusChanged();
    // Listening is about to start for the practice, the way the panel starts it: the welcome face gives way.
    void aboutToListen();

private:
    enum class Phase { Idle, WaitingForListening, Speaking, Answering, Finishing };

    void askNext();
    void spoken(int index, const std::optional<QString>& error);
    void userActivity();
    void pauseElapsed();
    void listeningChanged();
    void wrapUp();
    void finishNow();
    void leave(const char* statusKey, bool keepMark);
    void note(const QString& line) const;
    void setPhase(Phase phase);
    void setStatus(const QString& status);
    void setMark(bool on);
    void stopTimers();
    qsizetype userChars() const;
    QString userPending() const;
    bool answered() const { return userChars() > m_answerBase; }

    Parts m_parts;
    Phase m_phase = Phase::Idle;
    QStringList m_questions;
    QString m_language;
    int m_index = -1;
    QString m_status;
    // What the user had said when the question was asked, and what they were saying at the last look.
    qsizetype m_answerBase = 0;
    qsizetype m_lastChars = 0;
    QString m_lastPending;
    Timer* m_pause;
    Timer* m_timeout;
    Timer* m_wait; // for listening to start, or for the assistant before the note
    QMetaObject::Connection m_busyWatch;
};

} // namespace quippet
