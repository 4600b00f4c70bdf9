#pragma once

#include "assistant/ContextDocuments.h"
#include "assistant/LlmClient.h"
#include "assistant/Prompts.h"
#include "assistant/ScreenGrab.h"
#include "core/DiagnosticsLog.h"

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUuid>

#include <chrono>
#include <functional>
#include <optional>

namespace quippet {

class Clock;
class Timer;
class TranscriptBuffer;

// One reply shown in the panel.
struct AnswerCard {
    QUuid id;
    QString kind;     // localised label of the card's kind
    QString question; // what it answers, or "—" on cards made without a request
    QString text;     // grows while the reply streams; the failure's description on error
    QDateTime at;
    bool isError = false;

    bool operator==(const AnswerCard&) const = default;
};

// The answer-card engine: manual and automatic answers, screen analysis and the after-call note, each streamed
// from the language model into its own card, grounded on the context folder. Lives on the main thread; the
// LLM client delivers its callbacks there.
class Assistant : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<quippet::AnswerCard> cards READ cards NOTIFY cardsChanged)
    Q_PROPERTY(int index READ index NOTIFY indexChanged)
    Q_PROPERTY(quippet::AnswerCard current READ currentCard NOTIFY currentChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(bool autoAnswer READ autoAnswer WRITE setAutoAnswer NOTIFY autoAnswerChanged)
    Q_PROPERTY(QStringList contextFiles READ contextFiles NOTIFY contextFilesChanged)
    Q_PROPERTY(bool hasProfile READ hasProfile NOTIFY hasProfileChanged)
public:
    static constexpr std::chrono::milliseconds kSettle{1200};
    static constexpr std::chrono::milliseconds kBusyRetry{800};
    static constexpr std::chrono::milliseconds kMinSpacing{3000};
    static constexpr std::chrono::milliseconds kMaxQuestionAge{25000};
    static constexpr qsizetype kAnswerUtterances = 40;
    static constexpr qsizetype kScreenUtterances = 12;
    static constexpr int kScreenMaxWidth = 2400;

    Assistant(TranscriptBuffer& transcript, LlmClient& llm, Clock& clock, NoteFn note, QObject* parent = nullptr);
    ~Assistant() override;

    const QList<AnswerCard>& cards() const { return m_cards; }
    bool hasCards() const { return !m_cards.isEmpty(); }
    int index() const { return m_index; }
    std::optional<AnswerCard> current() const;
    AnswerCard currentCard() const { return current().value_or(AnswerCard{}); }
    bool busy() const { return m_busy; }
    bool autoAnswer() const { return m_autoAnswer; }
    void setAutoAnswer(bool on);
    const QStringList& contextFiles() const { return m_contextFiles; }
    bool hasProfile() const { return m_hasProfile; }

    QString sessionHeader() const { return m_sessionHeader; }
    void setSessionHeader(const QString& header) { m_sessionHeader = header; }
    QString modeRules() const { return m_modeRules; }
    void setModeRules(const QString& rules) { m_modeRules = rules; }

    // Injected by the application (the real one wraps ScreenGrab); without one the screen action reports no
    // display.
    ScreenGrabber screenGrabber;

    void clientSaid(const QString& text);
    void aiAnswer();
    void analyzeScreen();
    // onFinish is always called: with the whole note when the stream succeeds, with nothing when the note failed or
    // could not start (another reply streaming, nothing said), so the caller can still keep the conversation.
    using SummaryDone = std::function<void(const std::optional<QString>& summary)>;
    void summarize(SummaryDone onFinish);
    void goBack();
    void goForward();
    void dropCurrent();
    // Empties the card list; a reply still streaming keeps running but has no card to grow.
    void closeAll();
    void reloadContext();
    // A card of Quippet's own (no model request), shown at once: its heading, and a text the card's copy takes.
    void showNotice(const QString& kind, const QString& heading, const QString& text) {
        appendCard(kind, heading, text, false);
    }

    // Early answers. A question is known from a committed client line, or from the client's partial line once the
    // client's channel has been quiet for `quiet`; when nothing stands in the way (another reply, the spacing) it
    // is asked at once. A newer client fragment within the settle window (a longer line, or the client's channel
    // sounding again) cancels that request, its card with it, and the newest question wins; after the window the
    // answer stands. The card appears with its first words, not before `showAfter` from the request, or
    // `showFinishedAfter` when the recogniser ended the line with a question mark (a client pausing mid-question
    // leaves the line open). Off: every automatic answer waits for the settle.
    struct EarlyAnswers {
        bool on = false;
        std::chrono::milliseconds quiet{300};
        // A client who pauses for up to a second inside a question (`quiet`, then this) goes on before the card
        // shows, so no answer to half a question flashes up and is replaced.
        std::chrono::milliseconds showAfter{800};
        std::chrono::milliseconds showFinishedAfter{0};
        // The preferences' choice ("earlyAnswers", on unless turned off), with these defaults.
        static EarlyAnswers fromSettings();
    };
    void setEarlyAnswers(const EarlyAnswers& early) { m_early = early; }
    const EarlyAnswers& earlyAnswers() const { return m_early; }
    // The client's newest partial line, and whether the client's channel carries sound.
    void clientPartial(const QString& text);
    void clientVoice(bool sounding);
    // Early requests cancelled by a newer fragment since the start.
    int cancelledEarly() const { return m_cancelledEarly; }

    // The system instruction as a request of this style would get it now.
    QString systemInstruction(PromptStyle style);
    ContextDocuments& documents() { return m_documents; }

    static bool looksLikeQuestion(const QString& text);

signals:
    void cardsChanged();
    void indexChanged();
    void currentChanged();
    void busyChanged();
    void autoAnswerChanged();
    void contextFilesChanged();
    void hasProfileChanged();

private:
    void run(const QString& kind, const QString& question, PromptStyle style, const QList<LlmPart>& parts,
             SummaryDone onFinish);
    QUuid appendCard(const QString& kind, const QString& question, const QString& text, bool isError);
    qsizetype positionOf(const QUuid& id) const;
    // A streamed fragment added to the card with this id, or the card turned into an error; nothing once it is gone.
    void appendToCard(const QUuid& id, const QString& fragment);
    void failCard(const QUuid& id, const QString& error);
    void setBusy(bool busy);
    void setIndex(int index);
    bool repeatsAnsweredQuestion(const QString& text) const;
    void armAuto(std::chrono::milliseconds after);
    void fireAuto();
    void notify(const QString& line) const;
    // Early answers.
    QString candidate() const;
    bool insideEarlyWindow() const;
    bool newerThanEarly(const QString& text) const;
    void settleEarly();
    bool askEarly(const QString& question);
    void showEarly();
    void cancelEarly();
    void clientQuiet();

    TranscriptBuffer& m_transcript;
    LlmClient& m_llm;
    Clock& m_clock;
    NoteFn m_note;
    ContextDocuments m_documents;

    QList<AnswerCard> m_cards;
    int m_index = 0;
    bool m_busy = false;
    bool m_autoAnswer = true;
    QStringList m_contextFiles;
    bool m_hasProfile = false;
    QString m_sessionHeader;
    QString m_modeRules;

    Timer* m_autoTimer = nullptr;
    std::optional<qint64> m_lastAutoAtMs; // nothing: no automatic answer yet
    QString m_lastAutoQuestion;
    QString m_pendingQuestion;
    qint64 m_pendingSinceMs = 0;

    EarlyAnswers m_early;
    struct Early {
        QString question;
        QPointer<QObject> request; // owns the stream: deleting it cancels the request
        qint64 sentAtMs = 0;
        QUuid cardId; // null until shown
        QString held; // words that came before the card was shown
        bool ended = false;
        std::optional<QString> error;
        std::optional<qint64> lastAutoAtMs; // as they were before this request
        QString lastAutoQuestion;
    };
    std::optional<Early> m_earlyAnswer;
    Timer* m_showTimer = nullptr;
    Timer* m_quietTimer = nullptr;
    QString m_clientPartial;
    bool m_clientSounding = false;
    bool m_clientQuietLong = true; // quiet for at least m_early.quiet (as it is before anyone speaks)
    int m_cancelledEarly = 0;
};

} // namespace quippet

Q_DECLARE_METATYPE(quippet::AnswerCard)
