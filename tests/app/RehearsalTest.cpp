// The practice conversation: its questions, the flow through the controller, the menu entries.
#include "app/Rehearsal.h"
#include "AppFixture.h"
#include "app/ListeningSession.h"

#include "assistant/Assistant.h"
#include "assistant/ContextDocuments.h"
#include "core/Localization.h"
#include "platform/Commands.h"
#include "platform/SpeechSynthesizer.h"
#include "records/SessionStore.h"
#include "speech/TranscriptBuffer.h"
#include "support/Files.h"
#include "support/PanelWorld.h"
#include "support/Wait.h"
#include "ui/OptionsMenu.h"
#include "ui/PanelState.h"

#include <gtest/gtest.h>

#include <QDir>

using namespace quippet;
using namespace quippet::test;
using namespace std::chrono_literals;
using Speaker = Utterance::Speaker;

namespace {

// A voice that records what it is asked; the test says when each text has been spoken.
class FakeSpeech final : public SpeechSynthesizer {
public:
    struct Call {
        QString text;
        QString language;
        Done done;
    };
    bool voice = true;
    QList<Call> calls;
    int cancels = 0;

    bool available() const override { return voice; }
    void speak(const QString& text, const QString& language, Done done) override {
        calls.append({text, language, std::move(done)});
    }
    void cancel() override {
        ++cancels;
        if (!calls.isEmpty())
            calls.last().done = {};
    }
    // The newest text has been spoken, or not.
    void spoken(const std::optional<QString>& error = std::nullopt) {
        ASSERT_FALSE(calls.isEmpty());
        ASSERT_TRUE(calls.last().done) << "no speech waits";
        std::exchange(calls.last().done, {})(error);
    }
};

class RehearsalFlowTest : public AppFixture {
protected:
    FakeSpeech* speech = nullptr;

    void launch() {
        AppEnvironment env = environment(false);
        env.makeSpeech = [this] {
            auto fake = std::make_unique<FakeSpeech>();
            speech = fake.get();
            return fake;
        };
        start(std::move(env));
        // Answers come only when the test asks for one.
        app->assistant()->setAutoAnswer(false);
    }
    Rehearsal& rehearsal() { return *app->rehearsal(); }
    // The question as the transcription of system audio would bring it back.
    void clientHears(int call) { app->transcript().add(Speaker::Client, speech->calls.at(call).text, true); }
    QString logText() const { return QString::fromUtf8(readFile(home.filePath(QStringLiteral("quippet-debug.log")))); }
    QStringList notes() const {
        return QDir(SessionStore::folderPath()).entryList({QStringLiteral("*.md")}, QDir::Files);
    }
};

} // namespace

TEST(RehearsalQuestionsTest, BuiltInSetsFollowModeAndLanguage) {
    const struct {
        ConversationMode mode;
        const char* language;
        const char* voice;
        const char* expectedWord; // one word every set of that mode and voice uses somewhere
    } cases[] = {
        {ConversationMode::Sales, "pl", "pl", "kosztuje"},       {ConversationMode::Sales, "en", "en", "cost"},
        {ConversationMode::Evaluation, "pl", "pl", "projekcie"}, {ConversationMode::Evaluation, "en", "en", "project"},
        {ConversationMode::Sales, "de", "en", "cost"}, // no German set: English, with an English voice
        {ConversationMode::Evaluation, "", "en", "project"},
    };
    QSet<QString> seen;
    for (const auto& c : cases) {
        const auto q = rehearsal::builtInQuestions(c.mode, QLatin1String(c.language));
        SCOPED_TRACE(c.language);
        EXPECT_GE(q.texts.size(), 4);
        EXPECT_LE(q.texts.size(), 5);
        EXPECT_EQ(q.language, QLatin1String(c.voice));
        EXPECT_FALSE(q.fromFile);
        EXPECT_TRUE(q.texts.join(QLatin1Char(' ')).contains(QLatin1String(c.expectedWord)));
        seen.insert(q.texts.first());
    }
    EXPECT_EQ(seen.size(), 4) << "each mode and language has its own set";
}

TEST(RehearsalQuestionsTest, TheUsersFileWinsWhenItHoldsAQuestion) {
    TempHome home;
    const QString folder = ContextDocuments::folderPath();
    const QString file = QDir(folder).filePath(rehearsal::questionsFileName());
    const auto builtIn = rehearsal::builtInQuestions(ConversationMode::Sales, QStringLiteral("de")).texts;
    const struct {
        const char* what;
        std::optional<QByteArray> content; // nothing: no file
        QStringList expected;              // empty: the built-in set
    } cases[] = {
        {"no file", std::nullopt, {}},
        {"an empty file", "", {}},
        {"blank lines, headings and bare markers only", "\n  \n# Pytania\n## Cena\n- \n1.\n\t\n", {}},
        {"markers and headings taken off",
         "# Pytania na rozmowę\n\n- Ile to kosztuje?\n* Kiedy start?\n+ Kto wdraża?\n1. Jak z integracją?\n"
         "12) A wsparcie?\n   Zwykła linia  \n-bez spacji to nie znacznik\n",
         {QStringLiteral("Ile to kosztuje?"), QStringLiteral("Kiedy start?"), QStringLiteral("Kto wdraża?"),
          QStringLiteral("Jak z integracją?"), QStringLiteral("A wsparcie?"), QStringLiteral("Zwykła linia"),
          QStringLiteral("-bez spacji to nie znacznik")}},
        {"a byte-order mark and Windows line ends",
         "\xEF\xBB\xBF- Pierwsze?\r\n\r\n2. Drugie?\r\n",
         {QStringLiteral("Pierwsze?"), QStringLiteral("Drugie?")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(file);
        if (c.content)
            writeFile(file, *c.content);
        const auto q = rehearsal::loadQuestions(folder, ConversationMode::Sales, QStringLiteral("de"));
        EXPECT_EQ(q.fromFile, !c.expected.isEmpty());
        EXPECT_EQ(q.texts, c.expected.isEmpty() ? builtIn : c.expected);
        // The user's own questions are read in the transcription language.
        EXPECT_EQ(q.language, c.expected.isEmpty() ? QStringLiteral("en") : QStringLiteral("de"));
    }
    // A FIFO of that name is not opened: that would block until a writer came.
    QFile::remove(file);
    ASSERT_EQ(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    bool fromFile = true;
    EXPECT_TRUE(returnsWithoutOpening(file, [&] {
        fromFile = rehearsal::loadQuestions(folder, ConversationMode::Sales, QStringLiteral("de")).fromFile;
    }));
    EXPECT_FALSE(fromFile);
}

TEST_F(RehearsalFlowTest, EachQuestionWaitsForTheAnswerAndTheNoteIsMarked) {
    writeFile(QDir(ContextDocuments::folderPath()).filePath(QStringLiteral("pytania.md")),
              "# Próba\n- Ile to kosztuje?\n- Jak długo trwa wdrożenie?\n- Czy macie referencje?\n");
    launch();
    rehearsal().start();
    EXPECT_TRUE(app->capture().transcriptionEnabled()) << "own keys: listening starts at once";
    EXPECT_TRUE(app->sessions().current().rehearsal);
    ASSERT_EQ(speech->calls.size(), 1);
    EXPECT_EQ(speech->calls[0].text, QStringLiteral("Ile to kosztuje?"));
    EXPECT_EQ(speech->calls[0].language, QStringLiteral("pl"));
    EXPECT_EQ(rehearsal().status(), i18n::format("notice.rehearsal.question", QStringLiteral("1"), QStringLiteral("3"),
                                                 QStringLiteral("Ile to kosztuje?")));

    // The first answer: silence while the question is read, then words, a partial and more words.
    clientHears(0);
    clock.advance(30s);
    speech->spoken();
    clock.advance(10s);
    EXPECT_EQ(speech->calls.size(), 1) << "nothing said yet";
    app->transcript().add(Speaker::Me, QStringLiteral("To zależy od liczby użytkowników."), true);
    clock.advance(Rehearsal::kAnswerPause - 100ms);
    app->transcript().add(Speaker::Me, QStringLiteral("Dla dwudziestu osób"), false);
    clock.advance(Rehearsal::kAnswerPause - 100ms);
    EXPECT_EQ(speech->calls.size(), 1) << "still speaking";
    app->transcript().add(Speaker::Me, QStringLiteral("Dla dwudziestu osób to tysiąc złotych miesięcznie."), true);
    clock.advance(Rehearsal::kAnswerPause - 100ms);
    EXPECT_EQ(speech->calls.size(), 1);
    clock.advance(100ms);
    ASSERT_EQ(speech->calls.size(), 2) << "the pause after the answer brings the next question";
    EXPECT_EQ(rehearsal().questionIndex(), 1);

    // The voice fails: the question is shown to be read, and without any answer the next one comes anyway.
    clientHears(1);
    speech->spoken(QStringLiteral("espeak-ng: kod wyjścia 1"));
    EXPECT_EQ(rehearsal().status(), i18n::format("notice.rehearsal.unspoken", QStringLiteral("2"), QStringLiteral("3"),
                                                 QStringLiteral("Jak długo trwa wdrożenie?")));
    EXPECT_EQ(app->state().notice(), rehearsal().status());
    clock.advance(Rehearsal::kAnswerTimeout - 1s);
    EXPECT_EQ(speech->calls.size(), 2);
    clock.advance(1s);
    ASSERT_EQ(speech->calls.size(), 3);

    // The last answer ends while an answer card is still being written: the note waits for it.
    clientHears(2);
    speech->spoken();
    app->assistant()->aiAnswer();
    ASSERT_TRUE(app->assistant()->busy());
    const int requests = llm.count();
    app->transcript().add(Speaker::Me, QStringLiteral("Tak, trzy wdrożenia w branży spożywczej."), true);
    clock.advance(Rehearsal::kAnswerPause);
    EXPECT_EQ(rehearsal().status(), i18n::text("notice.rehearsal.finishing"));
    EXPECT_TRUE(rehearsal().running());
    EXPECT_EQ(llm.count(), requests) << "no note asked for while the answer is written";
    llm.finish(llm.count() - 1);
    EXPECT_FALSE(rehearsal().running());
    ASSERT_EQ(llm.count(), requests + 1) << "the note is asked for";
    llm.reply({QStringLiteral("Próba: cena, wdrożenie, referencje.")});
    ASSERT_TRUE(waitUntil([&] { return !notes().isEmpty(); }, 3000));

    ASSERT_EQ(notes().size(), 1);
    const QString note = QString::fromUtf8(readFile(QDir(SessionStore::folderPath()).filePath(notes().first())));
    EXPECT_TRUE(note.contains(QStringLiteral("**") + i18n::text("file.rehearsal") + QStringLiteral("**")));
    EXPECT_TRUE(note.contains(QStringLiteral("tysiąc złotych")));
    EXPECT_FALSE(app->capture().transcriptionEnabled());

    const QString log = logText();
    for (const char* line : {"próba: początek, pytań: 3 z pliku pytania.md", "próba: pytanie 1 z 3",
                             "próba: synteza mowy nie powiodła się: espeak-ng: kod wyjścia 1", "próba: bez odpowiedzi",
                             "próba: koniec, pytania: 3 z 3"})
        EXPECT_TRUE(log.contains(QString::fromUtf8(line))) << line;
}

TEST_F(RehearsalFlowTest, SkippingStoppingAndRefusals) {
    launch();
    app->sessions().setMode(ConversationMode::Evaluation);
    const auto builtIn = rehearsal::builtInQuestions(ConversationMode::Evaluation, QStringLiteral("pl")).texts;

    // Not over a conversation under way, and not without a voice.
    app->transcript().add(Speaker::Client, QStringLiteral("Dzień dobry."), true);
    rehearsal().start();
    EXPECT_FALSE(rehearsal().running());
    EXPECT_EQ(rehearsal().status(), i18n::text("notice.rehearsal.busy"));
    app->transcript().clear();
    speech->voice = false;
    rehearsal().start();
    EXPECT_FALSE(rehearsal().running());
    EXPECT_EQ(rehearsal().status(), i18n::text("menu.rehearsal.install"));
    EXPECT_FALSE(app->sessions().current().rehearsal);
    EXPECT_FALSE(app->capture().transcriptionEnabled());

    // A skip while the question is read cuts it short; a late word from the voice changes nothing.
    speech->voice = true;
    rehearsal().toggle();
    ASSERT_EQ(speech->calls.size(), 1);
    EXPECT_EQ(speech->calls[0].text, builtIn.first());
    rehearsal().next();
    ASSERT_EQ(speech->calls.size(), 2);
    EXPECT_EQ(speech->calls[1].text, builtIn.at(1));
    EXPECT_FALSE(speech->calls[0].done) << "the first question's voice was cancelled";

    // Ended before anything was said: listening stops, no note, no mark.
    rehearsal().toggle();
    EXPECT_FALSE(rehearsal().running());
    EXPECT_FALSE(app->capture().transcriptionEnabled());
    EXPECT_FALSE(app->sessions().current().rehearsal);
    EXPECT_EQ(llm.count(), 0);
    clock.advance(Rehearsal::kAnswerTimeout * 2);
    EXPECT_EQ(speech->calls.size(), 2) << "no timer of the ended practice fires";

    // Listening turned off halfway: the practice stops, what was said stays (marked) to be finished as usual.
    rehearsal().start();
    clientHears(2);
    speech->spoken();
    app->transcript().add(Speaker::Me, QStringLiteral("Ustalam priorytety z zespołem."), true);
    app->session().toggle();
    EXPECT_FALSE(rehearsal().running());
    EXPECT_EQ(rehearsal().status(), i18n::text("notice.rehearsal.interrupted"));
    EXPECT_TRUE(app->sessions().current().rehearsal);
    clock.advance(Rehearsal::kAnswerTimeout);
    EXPECT_EQ(speech->calls.size(), 3);
}

TEST_F(RehearsalFlowTest, WithAnAccountTheFirstQuestionWaitsForTheMeteredSession) {
    signIn();
    launch();
    app->state().setShowingWelcome(true);
    rehearsal().start();
    EXPECT_FALSE(app->state().showingWelcome()) << "started from the welcome screen, it leaves it";
    EXPECT_TRUE(rehearsal().running());
    EXPECT_EQ(rehearsal().status(), i18n::text("notice.rehearsal.waiting"));
    EXPECT_TRUE(speech->calls.isEmpty()) << "nothing is read before it can be heard";
    ASSERT_TRUE(waitUntil([&] { return app->capture().transcriptionEnabled(); }));
    EXPECT_EQ(peer.http().requestsTo(QStringLiteral("/api/session/start")).size(), 1) << "metered like a real call";
    EXPECT_EQ(speech->calls.size(), 1);
}

TEST(RehearsalMenuTest, EntriesFollowThePracticeAndSayWhatItCosts) {
    TempHome home;
    PanelWorld world;
    const struct {
        bool signedIn, available, running;
        const char* entry;
        bool enabled, metered, install, next;
    } cases[] = {
        {false, true, false, "menu.rehearsal", true, false, false, false},
        {true, true, false, "menu.rehearsal", true, true, false, false},
        {true, false, false, "menu.rehearsal", false, true, true, false},
        {false, true, true, "menu.rehearsalEnd", true, false, false, true},
    };
    for (OptionsMenu::Kind kind : {OptionsMenu::Kind::Welcome, OptionsMenu::Kind::Overlay}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.entry) + (kind == OptionsMenu::Kind::Welcome ? " welcome" : " panel") +
                         (c.signedIn ? " signed in" : "") + (c.available ? "" : " no voice"));
            int toggles = 0, skips = 0;
            Commands commands;
            PanelContext cx;
            cx.commands = &commands;
            cx.hasBackendToken = [&] { return c.signedIn; };
            cx.rehearsal = [&] { return RehearsalView{c.available, c.running, QStringLiteral("Pytanie 1 z 5: Ile?")}; };
            QObject::connect(commands.action(u"practise"), &QAction::triggered, [&] { ++toggles; });
            QObject::connect(commands.action(u"practise-next"), &QAction::triggered, [&] { ++skips; });
            OptionsMenu menu(kind, world.models(), cx);
            menu.rebuild();
            auto action = [&](const char* name) { return menu.findChild<QAction*>(QLatin1String(name)); };
            QAction* entry = action(c.entry);
            ASSERT_NE(entry, nullptr);
            EXPECT_EQ(entry->isEnabled(), c.enabled);
            EXPECT_EQ(entry->toolTip().contains(i18n::text("menu.rehearsal.metered")), c.metered);
            if (!c.running) {
                EXPECT_TRUE(entry->statusTip().contains(i18n::text("menu.rehearsal.hint")));
                EXPECT_EQ(entry->statusTip(), entry->toolTip()) << "a screen reader reads the same hint";
            }
            EXPECT_EQ(action("rehearsalInstall") != nullptr, c.install);
            EXPECT_EQ(action("menu.rehearsalNext") != nullptr, c.next);
            EXPECT_EQ(action("rehearsalStatus") != nullptr, c.running);
            entry->trigger();
            if (c.next)
                action("menu.rehearsalNext")->trigger();
            EXPECT_EQ(toggles, c.enabled ? 1 : 0);
            EXPECT_EQ(skips, c.next ? 1 : 0);
        }
    }
}
