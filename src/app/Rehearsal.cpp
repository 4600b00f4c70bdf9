#include "app/Rehearsal.h"

#include "app/ListeningSession.h"
#include "assistant/Assistant.h"
#include "assistant/ContextDocuments.h"
#include "audio/AudioCapture.h"
#include "core/Clock.h"
#include "core/Localization.h"
#include "platform/SpeechSynthesizer.h"
#include "records/SessionStore.h"
#include "speech/TranscriptBuffer.h"
#include "ui/PanelState.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>

#include <filesystem>

namespace quippet {

namespace rehearsal {

namespace {

// Questions are read in the transcription language, not the interface language, so the built-in sets live here
// rather than in the string tables.
const QStringList& salesQuestions(bool polish) {
    static const QStringList pl{
        QStringLiteral("Ile to kosztuje i od czego zależy cena?"),
        QStringLiteral("Jak długo trwa wdrożenie i czego będziecie potrzebować od nas?"),
        QStringLiteral("Czy to się zintegruje z naszym obecnym systemem ERP?"),
        QStringLiteral("Czym różnicie się od konkurencji? Mamy już ofertę tańszą o dwadzieścia procent."),
        QStringLiteral("Jakie wsparcie dostaniemy po wdrożeniu i co, jeśli coś przestanie działać?"),
    };
    static const QStringList en{
        QStringLiteral("How much does it cost, and what does the price depend on?"),
        QStringLiteral("How long does the rollout take, and what will you need from our side?"),
        QStringLiteral("Will it integrate with our current ERP system?"),
        QStringLiteral("How are you different from your competitors? We already have an offer twenty percent cheaper."),
        QStringLiteral("What support do we get after the rollout, and what if something stops working?"),
    };
    return polish ? pl : en;
}

const QStringList& evaluationQuestions(bool polish) {
    static const QStringList pl{
        QStringLiteral("Opowiedz o projekcie, który uważasz za swój największy sukces. Jaka była w nim twoja rola?"),
        QStringLiteral("Jak postępujesz, kiedy nie zgadzasz się z decyzją przełożonego?"),
        QStringLiteral("Jak ustalasz priorytety, gdy kilka pilnych zadań ma ten sam termin?"),
        QStringLiteral("Jaki błąd w pracy najwięcej cię nauczył i co dziś robisz inaczej?"),
        QStringLiteral("Dlaczego chcesz zmienić pracę i co możesz wnieść do naszego zespołu?"),
    };
    static const QStringList en{
        QStringLiteral("Tell me about the project you consider your biggest success. What was your role in it?"),
        QStringLiteral("What do you do when you disagree with your manager's decision?"),
        QStringLiteral("How do you set priorities when several urgent tasks share the same deadline?"),
        QStringLiteral("Which mistake at work taught you the most, and what do you do differently now?"),
        QStringLiteral("Why do you want to change jobs, and what would you bring to our team?"),
    };
    return polish ? pl : en;
}

} // namespace

QString questionsFileName() {
    return QStringLiteral("pytania.md");
}

QStringList parseQuestions(const QString& text) {
    static const QRegularExpression marker(QStringLiteral("^(?:[-*+]|\\d{1,3}[.)])(?:\\s+|$)"));
    QStringList questions;
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(QChar(0xFEFF)))
            line.remove(0, 1);
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        line.remove(marker);
        line = line.trimmed();
        if (!line.isEmpty())
            questions << line;
    }
    return questions;
}

Questions builtInQuestions(ConversationMode mode, const QString& language) {
    const bool polish = language == QLatin1String("pl");
    return {mode == ConversationMode::Sales ? salesQuestions(polish) : evaluationQuestions(polish),
            polish ? QStringLiteral("pl") : QStringLiteral("en"), false};
}

Questions loadQuestions(const QString& folder, ConversationMode mode, const QString& language) {
    QFile file(QDir(folder).filePath(questionsFileName()));
    // Only a regular file (or a link to one): a FIFO or a device of that name would block the interface thread.
    std::error_code error;
    if (std::filesystem::is_regular_file(std::filesystem::path(QFile::encodeName(file.fileName()).toStdString()),
                                         error) &&
        file.open(QIODevice::ReadOnly)) {
        // A question list is a few lines; a huge file is not one.
        const QStringList texts = parseQuestions(QString::fromUtf8(file.read(256 * 1024)));
        if (!texts.isEmpty())
            return {texts, language, true};
    }
    return builtInQuestions(mode, language);
}

} // namespace rehearsal

Rehearsal::Rehearsal(Parts parts, QObject* parent) : QObject(parent), m_parts(std::move(parts)) {
    m_pause = m_parts.clock.createTimer(this);
    m_timeout = m_parts.clock.createTimer(this);
    m_wait = m_parts.clock.createTimer(this);
    for (Timer* timer : {m_pause, m_timeout, m_wait})
        timer->setSingleShot(true);
    connect(m_pause, &Timer::timeout, this, &Rehearsal::pauseElapsed);
    connect(m_timeout, &Timer::timeout, this, [this] {
        if (m_phase != Phase::Answering)
            return;
        note(QStringLiteral("próba: bez odpowiedzi, następne pytanie"));
        askNext();
    });
    connect(m_wait, &Timer::timeout, this, [this] {
        if (m_phase == Phase::WaitingForListening) {
            note(QStringLiteral("próba: słuchanie się nie włączyło"));
            leave("notice.rehearsal.noListening", false);
        } else if (m_phase == Phase::Finishing) {
            finishNow();
        }
    });
    connect(&m_parts.capture, &AudioCapture::transcriptionEnabledChanged, this, &Rehearsal::listeningChanged);
    connect(&m_parts.transcript, &TranscriptBuffer::utterancesChanged, this, &Rehearsal::userActivity);
    connect(&m_parts.transcript, &TranscriptBuffer::pendingChanged, this, &Rehearsal::userActivity);
}

Rehearsal::~Rehearsal() {
    if (running())
        m_parts.speech.cancel();
}

bool Rehearsal::available() const {
    return m_parts.speech.available();
}

QString Rehearsal::question() const {
    return m_index >= 0 && m_index < m_questions.size() ? m_questions.at(m_index) : QString();
}

void Rehearsal::toggle() {
    if (running())
        stop();
    else
        start();
}

void Rehearsal::start() {
    if (running())
        return;
    if (!available()) {
        setStatus(i18n::text("menu.rehearsal.install"));
        return;
    }
    // Never mixed into a conversation under way: its note would be marked as a practice.
    if (m_parts.session.finishing() || !m_parts.transcript.isEmpty()) {
        setStatus(i18n::text("notice.rehearsal.busy"));
        return;
    }
    const auto questions = rehearsal::loadQuestions(ContextDocuments::folderPath(), m_parts.sessions.current().mode,
                                                    m_parts.capture.language());
    m_questions = questions.texts;
    m_language = questions.language;
    m_index = -1;
    emit questionChanged();
    setMark(true);
    note(QStringLiteral("próba: początek, pytań: ") + QString::number(m_questions.size()) +
         (questions.fromFile ? QStringLiteral(" z pliku ") + rehearsal::questionsFileName()
                             : QStringLiteral(" wbudowanych")) +
         QStringLiteral(", głos: ") + m_language);
    if (m_parts.capture.transcriptionEnabled()) {
        setPhase(Phase::Speaking);
        askNext();
        return;
    }
    setPhase(Phase::WaitingForListening);
    setStatus(i18n::text("notice.rehearsal.waiting"));
    m_wait->start(kListenWait);
    // Own keys start listening at once (and so the first question); a metered session answers later.
    emit aboutToListen();
    m_parts.session.begin();
}

void Rehearsal::stop() {
    if (m_phase == Phase::Idle)
        return;
    note(QStringLiteral("próba: zakończona przez użytkownika"));
    if (m_phase == Phase::Finishing)
        finishNow();
    else
        wrapUp();
}

void Rehearsal::next() {
    if (m_phase != Phase::Speaking && m_phase != Phase::Answering)
        return;
    note(QStringLiteral("próba: następne pytanie na życzenie"));
    askNext();
}

void Rehearsal::askNext() {
    stopTimers();
    m_parts.speech.cancel();
    ++m_index;
    emit questionChanged();
    if (m_index >= m_questions.size()) {
        wrapUp();
        return;
    }
    setPhase(Phase::Speaking);
    m_answerBase = m_lastChars = userChars();
    m_lastPending = userPending();
    const QString number = i18n::formatNumber(m_index + 1);
    const QString count = i18n::formatNumber(m_questions.size());
    setStatus(i18n::text("notice.rehearsal.question").arg(number, count, question()));
    note(QStringLiteral("próba: pytanie ") + QString::number(m_index + 1) + QStringLiteral(" z ") +
         QString::number(m_questions.size()));
    QPointer<Rehearsal> self(this);
    const int index = m_index;
    m_parts.speech.speak(question(), m_language, [self, index](const std::optional<QString>& error) {
        if (self)
            self->spoken(index, error);
    });
}

void Rehearsal::spoken(int index, const std::optional<QString>& error) {
    if (m_phase != Phase::Speaking || index != m_index)
        return;
    if (error) {
        // The flow goes on: the question stays on screen to be read.
        note(QStringLiteral("próba: synteza mowy nie powiodła się: ") + *error);
        setStatus(i18n::text("notice.rehearsal.unspoken")
                      .arg(i18n::formatNumber(m_index + 1), i18n::formatNumber(m_questions.size()), question()));
    }
    setPhase(Phase::Answering);
    m_timeout->start(kAnswerTimeout);
    // An answer begun while the question was still being read counts.
    if (answered())
        m_pause->start(kAnswerPause);
}

// Whatever the user says (a partial, a committed line) restarts the silence timeout; once they have said
// something since the question, also the pause that ends their answer.
void Rehearsal::userActivity() {
    if (m_phase != Phase::Speaking && m_phase != Phase::Answering)
        return;
    const qsizetype chars = userChars();
    const QString pending = userPending();
    if (chars == m_lastChars && pending == m_lastPending)
        return; // the client's line changed, not the user's
    m_lastChars = chars;
    m_lastPending = pending;
    // A line of the user's taken back as the client's echo does not count as an answer.
    m_answerBase = std::min(m_answerBase, chars);
    if (m_phase != Phase::Answering)
        return;
    m_timeout->start(kAnswerTimeout);
    if (answered())
        m_pause->start(kAnswerPause);
    else
        m_pause->stop();
}

void Rehearsal::pauseElapsed() {
    // Mid-sentence the partial keeps changing and restarts the pause; its commit restarts it once more.
    if (m_phase == Phase::Answering && answered() && userPending().isEmpty())
        askNext();
}

void Rehearsal::listeningChanged() {
    const bool listening = m_parts.capture.transcriptionEnabled();
    if (m_phase == Phase::WaitingForListening && listening) {
        m_wait->stop();
        askNext();
    } else if ((m_phase == Phase::Speaking || m_phase == Phase::Answering) && !listening) {
        // Turned off by the user or by the time limit: what was said stays, to be finished as usual.
        note(QStringLiteral("próba: przerwana, słuchanie wyłączone"));
        leave("notice.rehearsal.interrupted", !m_parts.transcript.isEmpty());
    }
}

// After the last question, or ended early: the note, unless nothing was said at all.
void Rehearsal::wrapUp() {
    stopTimers();
    m_parts.speech.cancel();
    if (m_parts.transcript.isEmpty()) {
        note(QStringLiteral("próba: koniec, nic nie powiedziano, bez notatki"));
        leave("notice.rehearsal.ended", false);
        // After leaving: listening going off now is no interruption.
        if (m_parts.capture.transcriptionEnabled())
            m_parts.session.stop();
        return;
    }
    setPhase(Phase::Finishing);
    setStatus(i18n::text("notice.rehearsal.finishing"));
    if (!m_parts.assistant.busy()) {
        finishNow();
        return;
    }
    // The note cannot be asked for while an answer is being written.
    m_wait->start(kFinishWait);
    m_busyWatch = connect(&m_parts.assistant, &Assistant::busyChanged, this, [this] {
        if (!m_parts.assistant.busy())
            finishNow();
    });
}

void Rehearsal::finishNow() {
    disconnect(m_busyWatch);
    stopTimers();
    note(QStringLiteral("próba: koniec, pytania: ") + QString::number(std::min(m_index + 1, questionCount())) +
         QStringLiteral(" z ") + QString::number(questionCount()));
    // Idle first: the session stops listening as it finishes, which is no interruption.
    setPhase(Phase::Idle);
    m_parts.session.finish();
}

void Rehearsal::leave(const char* statusKey, bool keepMark) {
    disconnect(m_busyWatch);
    stopTimers();
    m_parts.speech.cancel();
    setPhase(Phase::Idle);
    if (!keepMark)
        setMark(false);
    setStatus(i18n::text(statusKey));
}

void Rehearsal::note(const QString& line) const {
    if (m_parts.note)
        m_parts.note(line);
}

void Rehearsal::setPhase(Phase phase) {
    const bool wasRunning = running();
    m_phase = phase;
    if (running() != wasRunning)
        emit runningChanged();
}

void Rehearsal::setStatus(const QString& status) {
    m_status = status;
    emit statusChanged();
    m_parts.state.flash(status);
}

void Rehearsal::setMark(bool on) {
    SessionMeta meta = m_parts.sessions.current();
    meta.rehearsal = on;
    m_parts.sessions.setCurrent(meta);
}

void Rehearsal::stopTimers() {
    m_pause->stop();
    m_timeout->stop();
    m_wait->stop();
}

qsizetype Rehearsal::userChars() const {
    qsizetype chars = 0;
    for (const Utterance& u : m_parts.transcript.utterances()) {
        if (u.speaker == Utterance::Speaker::Me)
            chars += u.text.size();
    }
    return chars;
}

QString Rehearsal::userPending() const {
    return m_parts.transcript.pending().value(Utterance::Speaker::Me);
}

} // namespace quippet
