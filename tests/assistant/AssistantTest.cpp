#include "assistant/Assistant.h"
#include "assistant/Prompts.h"

#include "core/Settings.h"
#include "peers/ScriptedLlm.h"
#include "speech/TranscriptBuffer.h"
#include "support/Files.h"
#include "support/ManualClock.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

using namespace quippet;
using namespace std::chrono_literals;
using Speaker = Utterance::Speaker;

namespace {

// The engine wired the way the application wires it: committed client lines reach clientSaid.
struct Engine {
    test::TempHome home; // fresh preferences: automatic answers on
    ManualClock clock;
    TranscriptBuffer transcript{clock};
    test::ScriptedLlm llm;
    QStringList notes;
    Assistant assistant{transcript, llm, clock, [this](const QString& line) { notes << line; }};

    Engine() { QObject::connect(&transcript, &TranscriptBuffer::clientUtterance, &assistant, &Assistant::clientSaid); }
    void client(const QString& text) { transcript.add(Speaker::Client, text, true); }
    void me(const QString& text) { transcript.add(Speaker::Me, text, true); }
    qsizetype noted(const QString& line) const { return notes.count(line); }
    // `count` committed lines ten seconds apart, numbered through `pattern`.
    void lines(Speaker who, int count, const QString& pattern) {
        for (int i = 1; i <= count; ++i) {
            clock.advance(10s);
            transcript.add(who, pattern.arg(i), true);
        }
    }
};

const QString kNoticed = QStringLiteral("auto: wykryto pytanie");
const QString kWaitGap = QStringLiteral("auto: czekam na odstęp");
const QString kWaitBusy = QStringLiteral("auto: czekam na koniec poprzedniej odpowiedzi");
const QString kTooOld = QStringLiteral("auto: pytanie zbyt stare, pomijam");

} // namespace

TEST(AssistantTest, QuestionDetector) {
    // A question mark, or a question word among the first four pieces (whole words only), in four characters or more.
    for (const char* text : {"Ile to kosztuje", "A to dlaczego?", "Powiem panu, jak to działa",
                             "  KIEDY   startujemy\n", "...skąd pan to wie", "Który"})
        EXPECT_TRUE(Assistant::looksLikeQuestion(QString::fromUtf8(text))) << text;
    for (const char* text : {"ok", " ok? ", "Dobrze, to wtedy zobaczymy, jak pójdzie", "Jakość jest dobra",
                             "--- ... ---", "Mamy dziś 3 oferty; co"})
        EXPECT_FALSE(Assistant::looksLikeQuestion(QString::fromUtf8(text))) << text;
}

TEST(AssistantTest, AutomaticAnswerSettlesAndTheNewestQuestionWins) {
    Engine e;
    e.client(QStringLiteral("Ile to kosztuje"));
    e.clock.advance(1000ms);
    // Joined to the same utterance by the transcript; the full text arrives again and restarts the wait.
    e.client(QStringLiteral("i jaki jest termin dostawy"));
    EXPECT_EQ(e.noted(kNoticed), 2);
    e.clock.advance(1199ms);
    EXPECT_EQ(e.llm.count(), 0);
    e.clock.advance(1ms);
    ASSERT_EQ(e.llm.count(), 1);
    ASSERT_EQ(e.assistant.cards().size(), 1);
    EXPECT_EQ(e.assistant.cards().first().question, QStringLiteral("Ile to kosztuje i jaki jest termin dostawy"));
    EXPECT_EQ(e.assistant.cards().first().kind, QStringLiteral("Odpowiedź"));
    e.llm.reply({QStringLiteral("Pakiet S kosztuje "), QStringLiteral("99 zł.")});
    EXPECT_EQ(e.assistant.current()->text, QStringLiteral("Pakiet S kosztuje 99 zł."));

    // The transcript joins the client's next words to the answered question: more words are no new question,
    // a question among them is.
    e.clock.advance(800ms);
    e.client(QStringLiteral("bo budżet mamy mały"));
    e.clock.advance(3s);
    EXPECT_EQ(e.llm.count(), 1);
    EXPECT_EQ(e.noted(kNoticed), 2);
    e.client(QStringLiteral("Czy jest rabat?"));
    e.clock.advance(1200ms);
    ASSERT_EQ(e.llm.count(), 2);
    EXPECT_EQ(e.assistant.current()->question,
              QStringLiteral("Ile to kosztuje i jaki jest termin dostawy bo budżet mamy mały Czy jest rabat?"));
    e.llm.reply({QStringLiteral("Tak, 10%.")});

    // The client repeating the beginning of the answered question gets no second answer.
    e.clock.advance(10s);
    e.assistant.clientSaid(QStringLiteral("Ile to kosztuje"));
    e.clock.advance(5s);
    EXPECT_EQ(e.llm.count(), 2);
    EXPECT_EQ(e.noted(kNoticed), 3);

    // Turned off: questions are not even noticed; a pending one is not answered.
    e.assistant.clientSaid(QStringLiteral("Czy macie wersję mobilną?"));
    e.assistant.setAutoAnswer(false);
    EXPECT_EQ(Settings::value(Settings::kAutoAnswer).toBool(), false);
    e.clock.advance(2s);
    e.assistant.clientSaid(QStringLiteral("A gdzie jest serwer?"));
    e.clock.advance(2s);
    EXPECT_EQ(e.llm.count(), 2);
    EXPECT_EQ(e.noted(kNoticed), 4);
}

TEST(AssistantTest, AutomaticAnswerKeepsSpacingWaitsForBusyAndDropsOldQuestions) {
    Engine e;
    e.client(QStringLiteral("Czy działa to offline?"));
    e.clock.advance(1200ms); // first automatic answer at 1.2 s
    ASSERT_EQ(e.llm.count(), 1);
    e.llm.reply({QStringLiteral("Tak.")});

    // A question 2 s after the first answer started: settled at 2.0 s after it, then one more second.
    e.clock.advance(800ms);
    e.me(QStringLiteral("Tak, działa."));
    e.client(QStringLiteral("Ile kosztuje licencja roczna"));
    e.clock.advance(1200ms);
    EXPECT_EQ(e.noted(kWaitGap), 1);
    EXPECT_EQ(e.llm.count(), 1);
    e.clock.advance(999ms);
    EXPECT_EQ(e.llm.count(), 1);
    e.clock.advance(1ms);
    ASSERT_EQ(e.llm.count(), 2);

    // A question during a stream waits in 0.8 s steps and is answered once the stream ends.
    e.assistant.clientSaid(QStringLiteral("Jaki jest czas wdrożenia?"));
    e.clock.advance(1200ms);
    EXPECT_EQ(e.noted(kWaitBusy), 1);
    e.clock.advance(800ms);
    EXPECT_EQ(e.noted(kWaitBusy), 2);
    e.llm.reply({QStringLiteral("Rok to 1200 zł.")});
    e.clock.advance(800ms); // free now, but only 2.8 s after the previous automatic answer
    EXPECT_EQ(e.llm.count(), 2);
    EXPECT_EQ(e.noted(kWaitGap), 2);
    e.clock.advance(200ms);
    ASSERT_EQ(e.llm.count(), 3);

    // One that stays behind a long stream for more than 25 s is dropped.
    e.assistant.clientSaid(QStringLiteral("Kto będzie naszym opiekunem?"));
    for (int i = 0; i < 40; ++i)
        e.clock.advance(800ms);
    EXPECT_EQ(e.noted(kTooOld), 1);
    e.llm.reply({QStringLiteral("Dwa tygodnie.")});
    e.clock.advance(5s);
    EXPECT_EQ(e.llm.count(), 3);
    EXPECT_EQ(e.clock.activeTimers(), 0);
}

TEST(AssistantTest, ManualAnswerRequestAndCards) {
    Engine e;
    const QString header = QStringLiteral("Firma klienta: Acme\nCharakter rozmowy: oceniająca");
    e.assistant.setSessionHeader(header);
    e.assistant.setModeRules(QStringLiteral("\nZASADY OCENY"));

    e.assistant.aiAnswer();
    ASSERT_EQ(e.assistant.cards().size(), 1);
    EXPECT_EQ(e.assistant.current()->question, QStringLiteral("—"));
    EXPECT_EQ(e.assistant.current()->text.left(29), QStringLiteral("Nie ma jeszcze transkrypcji. "));
    EXPECT_FALSE(e.assistant.current()->isError);

    // 45 lines; only the last 40 go into the request, under the suggestion instruction with the rules, the profile,
    // the header and the documents of the context folder.
    e.lines(Speaker::Me, 45, QStringLiteral("Zdanie numer %1 po mojej stronie"));
    test::writeFile(ContextDocuments::folderPath() + QStringLiteral("/o-mnie.md"), "Jestem Ania.");
    test::writeFile(ContextDocuments::folderPath() + QStringLiteral("/cennik.md"), "Pakiet Pro: 120 zł.");
    e.assistant.reloadContext();
    e.assistant.aiAnswer();
    ASSERT_EQ(e.llm.count(), 1);
    EXPECT_EQ(e.assistant.current()->question, QStringLiteral("ostatnia wypowiedź klienta"));
    EXPECT_EQ(e.llm.lastUserText(), Prompts::answerPrompt(e.transcript.context(40)));
    EXPECT_EQ(e.llm.last().parts.size(), 1);
    EXPECT_EQ(e.llm.last().system,
              Prompts::systemInstruction(PromptStyle::Suggest,
                                         {QStringLiteral("\nZASADY OCENY"), QStringLiteral("Jestem Ania."), header,
                                          QStringLiteral("--- cennik.md ---\nPakiet Pro: 120 zł.")}));

    // Busy: a second press does nothing; status lines go to the log.
    e.assistant.aiAnswer();
    EXPECT_EQ(e.llm.count(), 1);
    e.llm.status(0, QStringLiteral("gemini: próbuję innego modelu"));
    EXPECT_EQ(e.noted(QStringLiteral("gemini: próbuję innego modelu")), 1);

    // A failure replaces what had streamed with its description and frees the engine.
    e.llm.chunk(0, QStringLiteral("Zacz"));
    e.llm.finish(0, QStringLiteral("Limit zapytań wyczerpany."));
    EXPECT_EQ(e.assistant.current()->text, QStringLiteral("Limit zapytań wyczerpany."));
    EXPECT_TRUE(e.assistant.current()->isError);
    EXPECT_EQ(e.noted(QStringLiteral("Limit zapytań wyczerpany.")), 1);
    EXPECT_FALSE(e.assistant.busy());

    // Manual answers do not count as automatic ones: a client question right after is answered on time.
    e.client(QStringLiteral("Czy jest okres próbny?"));
    e.clock.advance(1200ms);
    EXPECT_EQ(e.llm.count(), 2);
    EXPECT_EQ(e.assistant.current()->question, QStringLiteral("Czy jest okres próbny?"));
}

TEST(AssistantTest, NavigationAndFragmentsFollowingTheirCardWhenOthersAreDeleted) {
    Engine e;
    QSignalSpy currentSpy(&e.assistant, &Assistant::currentChanged);
    e.assistant.dropCurrent(); // nothing to drop
    EXPECT_EQ(currentSpy.count(), 0);
    e.assistant.aiAnswer(); // card 0: nothing to answer yet
    e.assistant.aiAnswer();
    e.assistant.dropCurrent(); // the last card: the one before it becomes current
    EXPECT_EQ(e.assistant.index(), 0);
    ASSERT_EQ(e.assistant.cards().size(), 1);
    e.client(QStringLiteral("Ile to kosztuje?"));
    e.assistant.setAutoAnswer(false);
    e.assistant.aiAnswer(); // card 1 streams
    bool finished = false;
    e.assistant.summarize([&](const std::optional<QString>& s) { finished = s.has_value(); }); // card 2: refused
    ASSERT_EQ(e.assistant.cards().size(), 3);
    const AnswerCard refused = e.assistant.cards().at(2);
    EXPECT_EQ(refused.kind, QStringLiteral("Notatka po rozmowie"));
    EXPECT_EQ(refused.question, QStringLiteral("—"));
    EXPECT_FALSE(refused.isError);

    e.assistant.goForward(); // stays at the last card
    EXPECT_EQ(e.assistant.index(), 2);
    e.assistant.goBack();
    e.assistant.goBack();
    e.assistant.goBack(); // stays at the first card
    EXPECT_EQ(e.assistant.index(), 0);
    e.assistant.dropCurrent();
    EXPECT_EQ(e.assistant.index(), 0);

    e.llm.chunk(0, QStringLiteral("Od 99 zł"));
    ASSERT_EQ(e.assistant.cards().size(), 2);
    EXPECT_EQ(e.assistant.cards().at(0).text, QStringLiteral("Od 99 zł"));
    EXPECT_EQ(e.assistant.cards().at(1), refused);

    // Deleting the streaming card itself: the rest of its stream goes nowhere.
    e.assistant.dropCurrent();
    e.llm.chunk(0, QStringLiteral(" miesięcznie"));
    e.llm.finish(0, QStringLiteral("Przerwano połączenie."));
    ASSERT_EQ(e.assistant.cards().size(), 1);
    EXPECT_EQ(e.assistant.cards().at(0), refused);
    EXPECT_FALSE(e.assistant.busy());
    EXPECT_FALSE(finished);
    e.assistant.dropCurrent();
    EXPECT_FALSE(e.assistant.hasCards());
    EXPECT_FALSE(e.assistant.current().has_value());
    EXPECT_EQ(e.assistant.index(), 0);
}

TEST(AssistantTest, AfterCallNote) {
    Engine e;
    e.assistant.setAutoAnswer(false);
    std::optional<QString> summary = QStringLiteral("unset");
    auto keep = [&](const std::optional<QString>& text) { summary = text; };
    e.assistant.summarize(keep);
    EXPECT_EQ(summary, std::nullopt) << "nothing said: the caller hears at once that there is no note";
    EXPECT_EQ(e.assistant.current()->text.left(35), QStringLiteral("Nie mogę teraz przygotować notatki:"));

    e.lines(Speaker::Client, 60, QStringLiteral("Kwestia numer %1."));
    e.assistant.setModeRules(QStringLiteral("\nZASADY OCENY"));
    e.assistant.summarize(keep);
    ASSERT_EQ(e.llm.count(), 1);
    EXPECT_EQ(e.assistant.current()->question, QStringLiteral("Podsumowanie rozmowy"));
    // The whole transcript, under the note instruction (which takes no rules).
    EXPECT_EQ(e.llm.last().system, Prompts::systemInstruction(PromptStyle::Summary, {}));
    EXPECT_EQ(e.llm.lastUserText(), Prompts::notePrompt(e.transcript.context(60)));
    e.llm.reply({QStringLiteral("**Podsumowanie** — "), QStringLiteral("rozmowa o cenach.")});
    EXPECT_EQ(summary, QStringLiteral("**Podsumowanie** — rozmowa o cenach."));

    // A failed note is reported too, so the conversation can still be kept.
    e.assistant.summarize(keep);
    e.llm.finish(1, QStringLiteral("Brak sieci."));
    EXPECT_EQ(summary, std::nullopt);
    EXPECT_TRUE(e.assistant.current()->isError);
}

TEST(AssistantTest, ScreenAnalysis) {
    Engine e;
    e.assistant.analyzeScreen(); // no grabber wired: no display
    ASSERT_EQ(e.assistant.cards().size(), 1);
    EXPECT_EQ(e.assistant.current()->text, QStringLiteral("nie znaleziono ekranu"));
    EXPECT_TRUE(e.assistant.current()->isError);
    EXPECT_EQ(e.assistant.current()->kind, QStringLiteral("Analiza ekranu"));

    int askedWidth = 0;
    std::function<void(const ScreenShot&)> pending;
    e.assistant.screenGrabber = [&](int maxWidth, std::function<void(const ScreenShot&)> done) {
        askedWidth = maxWidth;
        pending = std::move(done);
    };
    e.assistant.analyzeScreen();
    EXPECT_EQ(askedWidth, 2400);
    e.assistant.aiAnswer(); // busy already while capturing: nothing happens
    EXPECT_EQ(e.assistant.cards().size(), 1);
    pending({QByteArray("\xff\xd8jpeg"), {}});
    ASSERT_EQ(e.llm.count(), 1);
    const auto& request = e.llm.last();
    ASSERT_EQ(request.parts.size(), 2);
    EXPECT_EQ(request.parts[0].text.value_or(QString()), Prompts::screenPrompt(QString()));
    EXPECT_FALSE(request.parts[0].imageJpeg.has_value());
    EXPECT_EQ(request.parts[1].imageJpeg.value_or(QByteArray()), QByteArray("\xff\xd8jpeg"));
    EXPECT_EQ(request.system, Prompts::systemInstruction(PromptStyle::Technical, {}));
    EXPECT_EQ(e.assistant.current()->question, QStringLiteral("Zadanie lub pytanie widoczne na ekranie"));
    e.llm.reply({QStringLiteral("NA START")});

    // With a transcript the last 12 lines follow the request; a failed capture logs nothing.
    e.lines(Speaker::Client, 14, QStringLiteral("Linia %1."));
    e.assistant.setAutoAnswer(false);
    e.assistant.analyzeScreen();
    pending({QByteArray("jpeg"), {}});
    EXPECT_EQ(e.llm.lastUserText(), Prompts::screenPrompt(e.transcript.context(12)));
    e.llm.reply({});
    const qsizetype notesBefore = e.notes.size();
    e.assistant.analyzeScreen();
    pending({{}, QStringLiteral("nie udało się zakodować zrzutu")});
    EXPECT_EQ(e.assistant.current()->text, QStringLiteral("nie udało się zakodować zrzutu"));
    EXPECT_EQ(e.notes.size(), notesBefore);
    EXPECT_FALSE(e.assistant.busy());
}

// Early answers on the manual clock: what the client does, step by step (times from the start), and what was asked.
TEST(AssistantTest, EarlyAnswersAskAtOnceAndTheNewestQuestionWinsWithinTheWindow) {
    enum class Client { Commits, Partial, Sounds, Stops, IsAnswered };
    struct Step {
        int atMs;
        Client does;
        QString text = {};
    };
    struct Row {
        const char* rule;
        QList<Step> steps;
        int requests;    // sent in all
        int cancelled;   // of those, cancelled by a newer fragment
        QString answers; // the question of the one card left
    };
    const QString q = QStringLiteral("Ile kosztuje wdrożenie");
    const QString whole = QStringLiteral("Ile kosztuje wdrożenie dla dwudziestu osób?");
    const QList<Row> rows = {
        {"committed question: asked at once", {{0, Client::Commits, q}}, 1, 0, q},
        {"partial line: asked once the client has been quiet for 300 ms",
         {{0, Client::Sounds}, {0, Client::Partial, q}, {100, Client::Stops}},
         1,
         0,
         q},
        {"longer line within the window: cancelled, the newest asked",
         {{0, Client::Commits, q}, {1100, Client::Commits, QStringLiteral("dla dwudziestu osób?")}},
         2,
         1,
         whole},
        {"client sounds within the window: cancelled, asked again when it stops",
         {{0, Client::Partial, q}, {300, Client::Sounds}, {1000, Client::Partial, whole}, {1100, Client::Stops}},
         2,
         1,
         whole},
        {"client sounds within the window of an answer already shown in full: cancelled all the same",
         {{0, Client::Commits, q},
          {600, Client::IsAnswered},
          {900, Client::Sounds},
          {1000, Client::Partial, whole},
          {1100, Client::Stops}},
         2,
         1,
         whole},
        {"client sounds after the window: the answer stands",
         {{0, Client::Commits, q}, {1200, Client::Sounds}, {1300, Client::Partial, QStringLiteral("a ile")}},
         1,
         0,
         q},
        {"the commit repeating the partial asked, in other case and punctuation: ignored",
         {{0, Client::Partial, q}, {800, Client::Commits, QStringLiteral("ile kosztuje wdrożenie?")}},
         1,
         0,
         q},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rule);
        Engine e;
        e.assistant.setEarlyAnswers({true, 300ms, 0ms});
        int now = 0;
        for (const Step& step : row.steps) {
            e.clock.advance(std::chrono::milliseconds(step.atMs - now));
            now = step.atMs;
            switch (step.does) {
            case Client::Commits:
                e.client(step.text);
                break;
            case Client::Partial:
                e.transcript.add(Speaker::Client, step.text, false);
                e.assistant.clientPartial(step.text);
                break;
            case Client::Sounds:
            case Client::Stops:
                e.assistant.clientVoice(step.does == Client::Sounds);
                break;
            case Client::IsAnswered:
                e.llm.reply({QStringLiteral("Około ")});
                break;
            }
        }
        // Nothing starts later on its own (the settle no longer applies to what was asked).
        e.clock.advance(2s);
        EXPECT_EQ(e.llm.count(), row.requests);
        EXPECT_EQ(e.assistant.cancelledEarly(), row.cancelled);
        if (row.requests == 0)
            continue;
        // Words of a cancelled request never arrive; the newest one's card appears with its first words.
        EXPECT_TRUE(e.assistant.cards().isEmpty());
        for (int i = 0; i < e.llm.count(); ++i)
            e.llm.chunk(i, QStringLiteral("Około "));
        ASSERT_EQ(e.assistant.cards().size(), 1);
        EXPECT_EQ(e.assistant.current()->question, row.answers);
        EXPECT_EQ(e.assistant.current()->text, QStringLiteral("Około "));
        e.llm.finish(e.llm.count() - 1);
        EXPECT_FALSE(e.assistant.busy());
    }
}

// An early answer's card waits for its hold unless the recogniser closed the question with a question mark.
TEST(AssistantTest, EarlyAnswerCardIsHeldOnlyWhileTheLineIsOpen) {
    const struct {
        QString question;
        bool shownAt400ms;
    } rows[] = {
        {QStringLiteral("Ile kosztuje wdrożenie"), false},
        {QStringLiteral("Ile kosztuje wdrożenie?"), true},
        {QStringLiteral("Ile kosztuje wdrożenie ？ "), true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.question.toStdString());
        Engine e;
        e.assistant.setEarlyAnswers({true, 300ms, 800ms, 0ms});
        e.client(row.question);
        e.clock.advance(400ms);
        e.llm.chunk(0, QStringLiteral("Około "));
        EXPECT_EQ(e.assistant.hasCards(), row.shownAt400ms);
        e.clock.advance(400ms);
        EXPECT_TRUE(e.assistant.hasCards());
    }
}
