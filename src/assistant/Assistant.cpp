#include "assistant/Assistant.h"

#include "core/Clock.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "speech/TranscriptBuffer.h"

#include <QPointer>
#include <QSet>

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

namespace quippet {

namespace {

bool storedAutoAnswer() {
    const QVariant value = Settings::value(Settings::kAutoAnswer);
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    // QSettings' file backend hands booleans back as text after a restart.
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        if (text == QLatin1String("true"))
            return true;
        if (text == QLatin1String("false"))
            return false;
    }
    return true;
}

const QString kNoQuestion = QStringLiteral("—");

// The words alone: a partial line and the committed one may differ in case and punctuation.
QString words(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text)
        out += c.isLetterOrNumber() ? c.toLower() : QLatin1Char(' ');
    return out.simplified();
}

// Latin, full-width or Arabic.
bool isQuestionMark(QChar c) {
    return c == u'?' || c == u'\uff1f' || c == u'\u061f';
}

// The recogniser closed the line with a question mark.
bool readsFinished(const QString& question) {
    const QString t = question.trimmed();
    return !t.isEmpty() && isQuestionMark(t.back());
}

// `text` says no more than `asked`: a beginning of it, or all of it after what the transcript joined in front.
bool saysNoMore(const QString& text, const QString& asked) {
    const QString t = words(text), a = words(asked);
    return a.startsWith(t) || t.endsWith(a);
}

} // namespace

Assistant::Assistant(TranscriptBuffer& transcript, LlmClient& llm, Clock& clock, NoteFn note, QObject* parent)
    : QObject(parent), m_transcript(transcript), m_llm(llm), m_clock(clock), m_note(std::move(note)),
      m_autoAnswer(storedAutoAnswer()) {
    m_autoTimer = m_clock.createTimer(this);
    m_autoTimer->setSingleShot(true);
    connect(m_autoTimer, &Timer::timeout, this, &Assistant::fireAuto);
    m_showTimer = m_clock.createTimer(this);
    m_showTimer->setSingleShot(true);
    connect(m_showTimer, &Timer::timeout, this, &Assistant::showEarly);
    m_quietTimer = m_clock.createTimer(this);
    m_quietTimer->setSingleShot(true);
    connect(m_quietTimer, &Timer::timeout, this, &Assistant::clientQuiet);
    reloadContext();
}

Assistant::~Assistant() = default;

std::optional<AnswerCard> Assistant::current() const {
    if (m_index >= 0 && m_index < m_cards.size())
        return m_cards.at(m_index);
    return std::nullopt;
}

void Assistant::setAutoAnswer(bool on) {
    Settings::setValue(Settings::kAutoAnswer, on);
    if (on == m_autoAnswer)
        return;
    m_autoAnswer = on;
    emit autoAnswerChanged();
}

void Assistant::notify(const QString& line) const {
    if (m_note)
        m_note(line);
}

void Assistant::setBusy(bool busy) {
    if (busy == m_busy)
        return;
    m_busy = busy;
    emit busyChanged();
}

void Assistant::setIndex(int index) {
    if (index == m_index)
        return;
    m_index = index;
    emit indexChanged();
}

QUuid Assistant::appendCard(const QString& kind, const QString& question, const QString& text, bool isError) {
    AnswerCard card{QUuid::createUuid(), kind, question, text, m_clock.now(), isError};
    m_cards.append(card);
    setIndex(int(m_cards.size()) - 1);
    emit cardsChanged();
    emit currentChanged();
    return card.id;
}

qsizetype Assistant::positionOf(const QUuid& id) const {
    for (qsizetype i = 0; i < m_cards.size(); ++i) {
        if (m_cards.at(i).id == id)
            return i;
    }
    return -1;
}

void Assistant::appendToCard(const QUuid& id, const QString& fragment) {
    const qsizetype pos = positionOf(id);
    if (pos < 0)
        return;
    m_cards[pos].text += fragment;
    emit cardsChanged();
    if (pos == m_index)
        emit currentChanged();
}

void Assistant::failCard(const QUuid& id, const QString& error) {
    const qsizetype pos = positionOf(id);
    if (pos < 0)
        return;
    m_cards[pos].text = error;
    m_cards[pos].isError = true;
    emit cardsChanged();
    if (pos == m_index)
        emit currentChanged();
}

QString Assistant::systemInstruction(PromptStyle style) {
    Prompts::Material material;
    material.modeRules = m_modeRules;
    material.profile = ContextDocuments::profileText();
    material.sessionHeader = m_sessionHeader;
    material.documents = m_documents.contextText(m_contextFiles, ContextDocuments::kDocumentLimit);
    return Prompts::systemInstruction(style, material);
}

void Assistant::run(const QString& kind, const QString& question, PromptStyle style, const QList<LlmPart>& parts,
                    SummaryDone onFinish) {
    setBusy(true);
    // Fragments find their card by id: deleting an earlier card while this one streams shifts positions.
    const QUuid id = appendCard(kind, question, QString(), false);
    auto accumulated = std::make_shared<QString>();

    LlmClient::Callbacks callbacks;
    callbacks.onStatus = [this](const QString& line) { notify(line); };
    callbacks.onChunk = [this, id, accumulated](const QString& fragment) {
        *accumulated += fragment;
        appendToCard(id, fragment);
    };
    callbacks.onDone = [this, id, accumulated, onFinish = std::move(onFinish)](const std::optional<QString>& error) {
        setBusy(false);
        if (!error) {
            if (onFinish)
                onFinish(*accumulated);
            return;
        }
        failCard(id, *error);
        notify(*error);
        if (onFinish)
            onFinish(std::nullopt);
    };
    m_llm.stream(systemInstruction(style), parts, std::move(callbacks), this);
}

void Assistant::aiAnswer() {
    if (m_busy)
        return;
    if (m_transcript.isEmpty()) {
        appendCard(i18n::text("card.kind.answer"), kNoQuestion, i18n::text("card.err.noTranscript"), false);
        return;
    }
    const QString question = m_transcript.lastClientUtterance().value_or(QStringLiteral("ostatnia wypowiedź klienta"));
    LlmPart part;
    part.text = Prompts::answerPrompt(m_transcript.context(kAnswerUtterances));
    run(i18n::text("card.kind.answer"), question, PromptStyle::Suggest, {part}, nullptr);
}

void Assistant::analyzeScreen() {
    if (m_busy)
        return;
    setBusy(true);
    QPointer<Assistant> self(this);
    auto done = [self](const ScreenShot& shot) {
        if (!self)
            return;
        Assistant& a = *self;
        if (!shot.ok()) {
            a.setBusy(false);
            a.appendCard(i18n::text("card.kind.screen"), kNoQuestion, shot.error, true);
            return;
        }
        const QString listing = a.m_transcript.isEmpty() ? QString() : a.m_transcript.context(kScreenUtterances);
        LlmPart text;
        text.text = Prompts::screenPrompt(listing);
        LlmPart image;
        image.imageJpeg = shot.jpeg;
        a.run(i18n::text("card.kind.screen"), i18n::text("card.q.screen"), PromptStyle::Technical, {text, image},
              nullptr);
    };
    if (!screenGrabber) {
        done({{}, ScreenGrab::description(ScreenGrab::Failure::NoDisplay)});
        return;
    }
    screenGrabber(kScreenMaxWidth, done);
}

void Assistant::summarize(SummaryDone onFinish) {
    if (m_busy || m_transcript.isEmpty()) {
        appendCard(i18n::text("card.kind.summary"), kNoQuestion, i18n::text("card.err.noSummary"), false);
        if (onFinish)
            onFinish(std::nullopt);
        return;
    }
    LlmPart part;
    part.text = Prompts::notePrompt(m_transcript.context(std::numeric_limits<qsizetype>::max()));
    run(i18n::text("card.kind.summary"), i18n::text("card.q.summary"), PromptStyle::Summary, {part},
        std::move(onFinish));
}

void Assistant::goBack() {
    if (m_index > 0) {
        setIndex(m_index - 1);
        emit currentChanged();
    }
}

void Assistant::goForward() {
    if (m_index < m_cards.size() - 1) {
        setIndex(m_index + 1);
        emit currentChanged();
    }
}

void Assistant::dropCurrent() {
    if (m_index < 0 || m_index >= m_cards.size())
        return;
    m_cards.removeAt(m_index);
    setIndex(m_cards.isEmpty() ? 0 : std::min(m_index, int(m_cards.size()) - 1));
    emit cardsChanged();
    emit currentChanged();
}

void Assistant::closeAll() {
    if (m_cards.isEmpty() && m_index == 0)
        return;
    m_cards.clear();
    setIndex(0);
    emit cardsChanged();
    emit currentChanged();
}

void Assistant::reloadContext() {
    const ContextDocuments::Scan scan = ContextDocuments::scan();
    if (scan.files != m_contextFiles) {
        m_contextFiles = scan.files;
        emit contextFilesChanged();
    }
    // PDF text is extracted aside, ready by the time a reply asks for it.
    m_documents.prefetch(m_contextFiles);
    if (scan.hasProfile != m_hasProfile) {
        m_hasProfile = scan.hasProfile;
        emit hasProfileChanged();
    }
}

void Assistant::clientSaid(const QString& text) {
    if (!m_autoAnswer)
        return;
    // Committed: the partial line it ends is no longer the client's newest.
    m_clientPartial.clear();
    settleEarly();
    const bool cancelled = newerThanEarly(text);
    if (cancelled)
        cancelEarly();
    if (!looksLikeQuestion(text) || repeatsAnsweredQuestion(text)) {
        // More words after a question asked early: the question waits for the settle again.
        if (cancelled)
            armAuto(kSettle);
        return;
    }
    m_pendingQuestion = text;
    m_pendingSinceMs = m_clock.nowMs();
    notify(QStringLiteral("auto: wykryto pytanie"));
    if (!m_early.on || m_clientSounding || !askEarly(text))
        armAuto(kSettle);
}

void Assistant::clientPartial(const QString& text) {
    if (!m_autoAnswer || !m_early.on || text.trimmed().isEmpty())
        return;
    m_clientPartial = text.trimmed();
    settleEarly();
    if (newerThanEarly(candidate()))
        cancelEarly();
    // The recogniser catching up after the client stopped: the newest line is asked at once.
    if (m_clientQuietLong && !m_earlyAnswer)
        clientQuiet();
}

void Assistant::clientVoice(bool sounding) {
    if (sounding == m_clientSounding)
        return;
    m_clientSounding = sounding;
    m_clientQuietLong = false;
    if (!m_early.on)
        return;
    if (sounding) {
        m_quietTimer->stop();
        // The client goes on within the window: what was asked was half of it. The question is asked again once
        // the client stops (or commits a longer line).
        if (insideEarlyWindow())
            cancelEarly();
        return;
    }
    m_quietTimer->start(m_early.quiet);
}

void Assistant::clientQuiet() {
    m_clientQuietLong = true;
    settleEarly();
    if (!m_autoAnswer || m_earlyAnswer)
        return;
    const QString question = candidate();
    if (question.isEmpty() || !looksLikeQuestion(question) || repeatsAnsweredQuestion(question))
        return;
    if (askEarly(question))
        notify(QStringLiteral("auto: wykryto pytanie"));
}

// What the client's question reads now: the partial line, else the question waiting for its answer.
QString Assistant::candidate() const {
    return m_clientPartial.isEmpty() ? m_pendingQuestion : m_clientPartial;
}

bool Assistant::insideEarlyWindow() const {
    return m_earlyAnswer && m_clock.nowMs() - m_earlyAnswer->sentAtMs < kSettle.count();
}

bool Assistant::newerThanEarly(const QString& text) const {
    return insideEarlyWindow() && !text.isEmpty() && !saysNoMore(text, m_earlyAnswer->question);
}

// An early answer shown and ended stays cancellable until its window has passed.
void Assistant::settleEarly() {
    if (m_earlyAnswer && m_earlyAnswer->ended && !m_earlyAnswer->cardId.isNull() && !insideEarlyWindow())
        m_earlyAnswer.reset();
}

bool Assistant::askEarly(const QString& question) {
    settleEarly();
    const qint64 now = m_clock.nowMs();
    if (m_busy || m_earlyAnswer || (m_lastAutoAtMs && now - *m_lastAutoAtMs < kMinSpacing.count()))
        return false;
    Early early;
    early.question = question;
    early.request = new QObject(this);
    early.sentAtMs = now;
    early.lastAutoAtMs = m_lastAutoAtMs;
    early.lastAutoQuestion = m_lastAutoQuestion;
    m_earlyAnswer = early;
    m_lastAutoAtMs = now;
    m_lastAutoQuestion = question;
    m_pendingQuestion.clear();
    m_autoTimer->stop();
    setBusy(true);

    // A partial line is not in the transcript yet: it goes into the listing as the client's newest words.
    const bool committed = m_transcript.lastClientUtterance() == question;
    LlmPart part;
    part.text = Prompts::answerPrompt(committed ? m_transcript.context(kAnswerUtterances)
                                                : m_transcript.context(kAnswerUtterances, m_clientPartial));
    LlmClient::Callbacks callbacks;
    callbacks.onStatus = [this](const QString& line) { notify(line); };
    callbacks.onChunk = [this](const QString& fragment) {
        Early& e = *m_earlyAnswer;
        if (e.cardId.isNull()) {
            e.held += fragment;
            showEarly();
            return;
        }
        appendToCard(e.cardId, fragment);
    };
    callbacks.onDone = [this](const std::optional<QString>& error) {
        Early& e = *m_earlyAnswer;
        e.request->deleteLater();
        e.ended = true;
        e.error = error;
        setBusy(false);
        if (error)
            notify(*error);
        if (e.cardId.isNull()) {
            showEarly();
            return;
        }
        if (error)
            failCard(e.cardId, *error);
    };
    m_showTimer->start(readsFinished(question) ? m_early.showFinishedAfter : m_early.showAfter);
    m_llm.stream(systemInstruction(PromptStyle::Suggest), {part}, std::move(callbacks), early.request);
    return true;
}

// The early answer's card appears with its first words (or its end), once it has been held long enough.
void Assistant::showEarly() {
    if (!m_earlyAnswer || !m_earlyAnswer->cardId.isNull() || m_showTimer->isActive())
        return;
    Early& e = *m_earlyAnswer;
    if (e.held.isEmpty() && !e.ended)
        return;
    const bool failed = e.error.has_value();
    e.cardId = appendCard(i18n::text("card.kind.answer"), e.question, failed ? *e.error : e.held, failed);
}

void Assistant::cancelEarly() {
    if (!m_earlyAnswer)
        return;
    Early e = *std::exchange(m_earlyAnswer, std::nullopt);
    delete e.request; // aborts the stream; none of its callbacks come after this
    m_showTimer->stop();
    if (!e.cardId.isNull()) {
        const qsizetype pos = positionOf(e.cardId);
        if (pos >= 0) {
            m_cards.removeAt(pos);
            setIndex(m_cards.isEmpty() ? 0 : std::min(m_index, int(m_cards.size()) - 1));
            emit cardsChanged();
            emit currentChanged();
        }
    }
    if (!e.ended)
        setBusy(false);
    m_lastAutoAtMs = e.lastAutoAtMs;
    m_lastAutoQuestion = e.lastAutoQuestion;
    m_pendingQuestion = e.question;
    m_pendingSinceMs = e.sentAtMs;
    ++m_cancelledEarly;
    notify(QStringLiteral("auto: klient mówi dalej — wcześniejsza odpowiedź anulowana"));
}

bool Assistant::repeatsAnsweredQuestion(const QString& text) const {
    if (m_lastAutoQuestion.isEmpty())
        return false;
    if (saysNoMore(text, m_lastAutoQuestion))
        return true;
    if (!text.startsWith(m_lastAutoQuestion))
        return false;
    // The transcript joins a speaker's fragments for a few seconds, so a follow-up question arrives as the answered
    // one plus more words. Only a question among those words deserves a new answer.
    return !looksLikeQuestion(text.mid(m_lastAutoQuestion.size()));
}

void Assistant::armAuto(std::chrono::milliseconds after) {
    m_autoTimer->stop();
    m_autoTimer->start(after);
}

void Assistant::fireAuto() {
    if (!m_autoAnswer || m_pendingQuestion.isEmpty())
        return;
    const qint64 now = m_clock.nowMs();
    if (now - m_pendingSinceMs > kMaxQuestionAge.count()) {
        notify(QStringLiteral("auto: pytanie zbyt stare, pomijam"));
        m_pendingQuestion.clear();
        return;
    }
    if (m_busy) {
        notify(QStringLiteral("auto: czekam na koniec poprzedniej odpowiedzi"));
        armAuto(kBusyRetry);
        return;
    }
    if (m_lastAutoAtMs) {
        const qint64 gap = now - *m_lastAutoAtMs;
        if (gap < kMinSpacing.count()) {
            notify(QStringLiteral("auto: czekam na odstęp"));
            armAuto(std::chrono::milliseconds(kMinSpacing.count() - gap));
            return;
        }
    }
    m_lastAutoAtMs = now;
    m_lastAutoQuestion = m_pendingQuestion;
    m_pendingQuestion.clear();
    aiAnswer();
}

bool Assistant::looksLikeQuestion(const QString& text) {
    static const QSet<QString> kQuestionWords = {
        QStringLiteral("czy"),    QStringLiteral("co"),    QStringLiteral("czego"),  QStringLiteral("czemu"),
        QStringLiteral("czym"),   QStringLiteral("jak"),   QStringLiteral("jaki"),   QStringLiteral("jaka"),
        QStringLiteral("jakie"),  QStringLiteral("jakim"), QStringLiteral("jakich"), QStringLiteral("dlaczego"),
        QStringLiteral("kiedy"),  QStringLiteral("gdzie"), QStringLiteral("dokąd"),  QStringLiteral("skąd"),
        QStringLiteral("ile"),    QStringLiteral("który"), QStringLiteral("która"),  QStringLiteral("które"),
        QStringLiteral("którym"), QStringLiteral("kto"),   QStringLiteral("kim"),    QStringLiteral("komu"),
        QStringLiteral("czyj"),
    };
    const QString t = text.toLower().trimmed();
    if (t.size() < 4)
        return false;
    if (std::any_of(t.cbegin(), t.cend(), isQuestionMark))
        return true;
    int seen = 0;
    QString word;
    const auto check = [&]() {
        if (word.isEmpty())
            return false;
        ++seen;
        const bool hit = kQuestionWords.contains(word);
        word.clear();
        return hit;
    };
    for (const QChar c : t) {
        if (c.isLetterOrNumber()) {
            word += c;
            continue;
        }
        if (check())
            return true;
        if (seen >= 4)
            return false;
    }
    return seen < 4 && check();
}

Assistant::EarlyAnswers Assistant::EarlyAnswers::fromSettings() {
    EarlyAnswers early;
    const auto ms = [](const char* key, std::chrono::milliseconds fallback) {
        return std::chrono::milliseconds(Settings::value(key, qint64(fallback.count())).toLongLong());
    };
    early.on = Settings::boolValue(Settings::kEarlyAnswers, true);
    early.quiet = ms(Settings::kEarlyAnswerQuietMs, early.quiet);
    early.showAfter = ms(Settings::kEarlyAnswerShowAfterMs, early.showAfter);
    early.showFinishedAfter = ms(Settings::kEarlyAnswerShowFinishedMs, early.showFinishedAfter);
    return early;
}

} // namespace quippet
