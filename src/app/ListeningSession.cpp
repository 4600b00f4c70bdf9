#include "app/ListeningSession.h"

#include "assistant/Assistant.h"
#include "assistant/Prompts.h"
#include "audio/AudioCapture.h"
#include "backend/Backend.h"
#include "backend/ContextSync.h"
#include "core/Clock.h"
#include "core/Localization.h"
#include "records/SessionStore.h"
#include "secrets/Keychain.h"
#include "speech/TranscriptBuffer.h"
#include "speech/UsageMeter.h"
#include "ui/PanelState.h"

#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <utility>

namespace quippet {

ListeningSession::ListeningSession(Parts parts, QObject* parent) : QObject(parent), m_parts(std::move(parts)) {
    AudioCapture& capture = m_parts.capture;
    connect(&capture, &AudioCapture::transcriptionEnabledChanged, this, [this] {
        if (m_parts.capture.transcriptionEnabled())
            m_parts.usage.startPolling();
        else
            m_parts.usage.stopPolling();
    });
    if (capture.transcriptionEnabled())
        m_parts.usage.startPolling();
    connect(&m_parts.sessions, &SessionStore::currentChanged, this,
            [this] { QMetaObject::invokeMethod(this, &ListeningSession::applyToAssistant, Qt::QueuedConnection); });
}

ListeningSession::~ListeningSession() {
    stopTimers();
}

void ListeningSession::flashKey(const char* key) {
    m_parts.state.flash(i18n::text(key));
}

std::optional<QString> ListeningSession::currentCompany() const {
    const QString company = m_parts.sessions.current().company;
    return company.isEmpty() ? std::nullopt : std::optional<QString>(company);
}

std::optional<QString> ListeningSession::currentTopic() const {
    const QString topic = m_parts.sessions.current().topic;
    return topic.isEmpty() ? std::nullopt : std::optional<QString>(topic);
}

void ListeningSession::toggle() {
    if (m_starting)
        return; // the session on its way starts listening; a second press does not double it
    if (m_parts.capture.transcriptionEnabled())
        stop();
    else
        begin();
}

void ListeningSession::begin() {
    if (m_finishing) {
        flashKey("notice.summarizing");
        return;
    }
    // Already listening, or a session is on its way: never a second metered session.
    if (m_starting || m_parts.capture.transcriptionEnabled())
        return;
    if (!m_parts.keychain.hasBackendToken()) {
        // Own keys: no metering, no time limit.
        m_parts.capture.setTranscription(true);
        m_parts.state.setElapsed(0);
        m_parts.state.resume();
        return;
    }
    flashKey("session.opening");
    m_starting = true;
    QPointer<ListeningSession> self(this);
    ContextSync::pull(m_parts.keychain, m_parts.note, this, [self] {
        if (!self)
            return;
        Parts& p = self->m_parts;
        p.assistant.reloadContext();
        p.backend.openSession(self->currentCompany(), self->currentTopic(), [self](std::optional<QString> error) {
            if (!self)
                return;
            Parts& p = self->m_parts;
            self->m_starting = false;
            if (error) {
                p.state.flash(*error);
                return;
            }
            p.capture.setTranscription(true);
            p.state.setElapsed(0);
            p.state.resume();
            self->startHeartbeat();
            self->scheduleLimitStop();
        });
    });
}

void ListeningSession::stop() {
    m_parts.capture.setTranscription(false);
    m_parts.state.stopClock();
    stopTimers();
    const int seconds = int(m_parts.state.elapsed());
    QPointer<ListeningSession> self(this);
    ++m_closing;
    m_parts.backend.closeSession(seconds, currentCompany(), currentTopic(), [self] {
        if (!self)
            return;
        self->m_closing = std::max(0, self->m_closing - 1);
        if (self->leaving()) {
            self->proceedLeaving();
            return;
        }
        self->m_parts.backend.refreshAccount();
    });
}

bool ListeningSession::heartbeatRunning() const {
    return m_heartbeatTimer && m_heartbeatTimer->isActive();
}
bool ListeningSession::limitTimerRunning() const {
    return m_limitTimer && m_limitTimer->isActive();
}

void ListeningSession::startHeartbeat() {
    stopTimers();
    m_heartbeatTimer = m_parts.clock.createTimer(this);
    QPointer<ListeningSession> self(this);
    connect(m_heartbeatTimer, &Timer::timeout, this, [self] {
        if (!self)
            return;
        self->m_parts.backend.heartbeat(int(self->m_parts.state.elapsed()), [self](bool exhausted) {
            if (self && exhausted)
                self->hitLimit();
        });
    });
    m_heartbeatTimer->start(std::chrono::seconds(kHeartbeatSeconds));
}

void ListeningSession::stopTimers() {
    delete m_heartbeatTimer;
    delete m_limitTimer;
}

void ListeningSession::scheduleLimitStop() {
    delete m_limitTimer;
    const auto max = m_parts.backend.sessionMaxSeconds();
    if (!max)
        return;
    const int remaining = *max - int(m_parts.state.elapsed());
    if (remaining < 1) {
        hitLimit();
        return;
    }
    QPointer<ListeningSession> self(this);
    m_limitTimer = m_parts.clock.singleShot(std::chrono::seconds(remaining), this, [self] {
        if (self)
            self->hitLimit();
    });
}

void ListeningSession::hitLimit() {
    if (!m_parts.capture.transcriptionEnabled())
        return;
    stop();
    flashKey(m_parts.backend.tier() == QStringLiteral("free") ? "session.freeLimit" : "session.error.noCredit");
}

void ListeningSession::finish() {
    if (m_finishing)
        return;
    if (m_parts.transcript.isEmpty()) {
        flashKey("notice.noConversation");
        return;
    }
    stop();
    flashKey("notice.summarizing");
    m_finishTranscript = m_parts.transcript.context(INT_MAX);
    m_finishing = true;
    const int generation = ++m_generation;
    QPointer<ListeningSession> self(this);
    m_parts.assistant.summarize([self, generation](const std::optional<QString>& summary) {
        if (self)
            self->store(generation, summary);
    });
}

void ListeningSession::store(int generation, const std::optional<QString>& summary) {
    // A summary that arrives after leaving gave up waiting for it finds its conversation already stored.
    if (!m_finishing || generation != m_generation)
        return;
    m_finishing = false;
    Parts& p = m_parts;
    const auto result = p.sessions.finish(std::exchange(m_finishTranscript, {}), summary.value_or(QString()));
    if (!result.ok) {
        // Nothing is lost: the transcript and the conversation stay for another try, and the program stays open.
        flashKey("notice.saveFailed");
        m_then = {};
        delete m_leaveWait;
        return;
    }
    const QString name = result.path ? QFileInfo(*result.path).fileName() : QStringLiteral("—");
    const bool summarized = summary && !summary->trimmed().isEmpty();
    p.state.flash(i18n::format(summarized ? "notice.saved" : "notice.savedNoSummary", name));
    p.transcript.clear();
    p.sessions.startNew();
    applyToAssistant();
    p.state.setElapsed(0);
    p.state.stopClock();
    if (leaving())
        proceedLeaving();
}

void ListeningSession::leave(const std::function<QuitChoice()>& ask, std::function<void()> then) {
    if (leaving())
        return;
    // A note already being written is waited for; a conversation not yet finished is the user's call.
    if (!m_finishing && !m_parts.transcript.isEmpty()) {
        const QuitChoice choice = ask ? ask() : QuitChoice::FinishAndSave;
        if (choice == QuitChoice::Cancel)
            return;
        if (choice == QuitChoice::FinishAndSave)
            finish();
    }
    if (m_parts.capture.transcriptionEnabled())
        stop();
    m_then = std::move(then);
    armLeaveWait();
    proceedLeaving();
}

void ListeningSession::armLeaveWait() {
    delete m_leaveWait;
    QPointer<ListeningSession> self(this);
    m_leaveWait = m_parts.clock.singleShot(m_finishing ? kNoteWait : kCloseWait, this, [self] {
        if (!self)
            return;
        if (self->m_finishing) {
            self->m_parts.note(QStringLiteral("sesja: podsumowanie nie przyszło na czas — zapisuję samą rozmowę"));
            self->store(self->m_generation, std::nullopt);
            if (self && self->leaving())
                self->armLeaveWait();
            return;
        }
        self->m_parts.note(QStringLiteral("sesja: serwer nie potwierdził zamknięcia sesji — kończę"));
        self->m_closing = 0;
        self->proceedLeaving();
    });
}

void ListeningSession::proceedLeaving() {
    if (!leaving() || m_finishing || m_closing > 0)
        return;
    delete m_leaveWait;
    std::exchange(m_then, {})();
}

void ListeningSession::applyToAssistant() {
    const SessionMeta& current = m_parts.sessions.current();
    m_parts.assistant.setSessionHeader(current.promptHeader());
    m_parts.assistant.setModeRules(current.mode == ConversationMode::Evaluation ? Prompts::evaluationRules()
                                                                                : QString());
}

} // namespace quippet
