#include "speech/TranscriptBuffer.h"

#include "core/Localization.h"
#include "support/ManualClock.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

using namespace quippet;
using namespace std::chrono_literals;
using S = Utterance::Speaker;

namespace {

class TranscriptBufferTest : public ::testing::Test {
protected:
    ManualClock clock;
    TranscriptBuffer buffer{clock};
    QStringList heard;

    void SetUp() override {
        QObject::connect(&buffer, &TranscriptBuffer::clientUtterance, [this](const QString& text) { heard << text; });
    }
    QStringList texts() const {
        QStringList out;
        for (const Utterance& u : buffer.utterances())
            out << speakerRawValue(u.speaker) + QLatin1Char('|') + u.text;
        return out;
    }
};

TEST_F(TranscriptBufferTest, PartialsReplaceEachOtherAndCommitClearsThem) {
    buffer.add(S::Client, QStringLiteral("Ile to"), false);
    buffer.add(S::Client, QStringLiteral(" Ile to kosztuje "), false);
    EXPECT_EQ(buffer.pending().value(S::Client), QStringLiteral("Ile to kosztuje"));
    EXPECT_TRUE(heard.isEmpty()) << "partials never reach the listener";

    // Blank input changes nothing, not even the partial.
    buffer.add(S::Client, QStringLiteral("  \n "), true);
    EXPECT_EQ(buffer.pending().value(S::Client), QStringLiteral("Ile to kosztuje"));

    buffer.add(S::Client, QStringLiteral("Ile to kosztuje?"), true);
    EXPECT_TRUE(buffer.pending().isEmpty());
    EXPECT_EQ(texts(), QStringList{QStringLiteral("KLIENT|Ile to kosztuje?")});
    EXPECT_EQ(heard, QStringList{QStringLiteral("Ile to kosztuje?")});
}

TEST_F(TranscriptBufferTest, JoinWindowIsMeasuredFromTheFirstFragment) {
    buffer.add(S::Client, QStringLiteral("first"), true);
    clock.advance(3s);
    buffer.add(S::Client, QStringLiteral("second"), true);
    clock.advance(5s); // 8 s after the first fragment: outside (the window is strictly below 8 s)
    buffer.add(S::Client, QStringLiteral("third"), true);
    clock.advance(7999ms);
    buffer.add(S::Client, QStringLiteral("fourth"), true); // just inside the window of "third"
    EXPECT_EQ(texts(), (QStringList{"KLIENT|first second", "KLIENT|third fourth"}));
    EXPECT_EQ(heard, (QStringList{"first", "first second", "third", "third fourth"}));
    EXPECT_EQ(buffer.utterances().at(0).atMs, buffer.startedAtMs()) << "joining never moves the start time";
}

TEST_F(TranscriptBufferTest, MicrophoneEchoOfTheClientIsDropped) {
    buffer.add(S::Client, QStringLiteral("I think the price is good for us"), true);
    clock.advance(2s);
    buffer.add(S::Me, QStringLiteral("I think the price is good"), true);
    EXPECT_EQ(buffer.utterances().size(), 1);

    // Ten seconds later the same words are the user's own...
    clock.advance(8s);
    buffer.add(S::Me, QStringLiteral("I think the price is good"), true);
    EXPECT_EQ(buffer.utterances().size(), 2);

    // ...unless a client partial holding them is pending (no time condition on partials).
    buffer.add(S::Client, QStringLiteral("so the price is good then"), false);
    clock.advance(30s);
    buffer.add(S::Me, QStringLiteral("the price is good"), false);
    buffer.add(S::Me, QStringLiteral("the price is good"), true);
    EXPECT_EQ(buffer.utterances().size(), 2);
    EXPECT_FALSE(buffer.pending().contains(S::Me)) << "a discarded commit still clears the user's partial";

    // One word is never an echo.
    buffer.add(S::Me, QStringLiteral("good"), true);
    EXPECT_EQ(buffer.utterances().size(), 3);
}

TEST_F(TranscriptBufferTest, SpeakersNeverJoinAndLateClientTextTakesBackTheUsersEcho) {
    buffer.add(S::Client, QStringLiteral("Dzień dobry"), true);
    clock.advance(1s);
    buffer.add(S::Me, QStringLiteral("Witam serdecznie"), true);
    clock.advance(1s);
    buffer.add(S::Client, QStringLiteral("Zaczynamy"), true);
    EXPECT_EQ(texts(), (QStringList{"KLIENT|Dzień dobry", "TY|Witam serdecznie", "KLIENT|Zaczynamy"}));
    EXPECT_EQ(heard.size(), 2) << "user text never reaches the listener";

    clock.advance(2s);
    buffer.add(S::Me, QStringLiteral("we can start tomorrow"), true);
    clock.advance(3s);
    buffer.add(S::Client, QStringLiteral("we can start tomorrow morning"), true);
    // The user's line is gone and the client's text joins the client line still inside its window.
    EXPECT_EQ(texts(), (QStringList{"KLIENT|Dzień dobry", "TY|Witam serdecznie",
                                    "KLIENT|Zaczynamy we can start tomorrow morning"}));
    EXPECT_EQ(heard.last(), QStringLiteral("Zaczynamy we can start tomorrow morning"));
}

TEST(TranscriptEchoTest, ThresholdWordsAndPolishLetters) {
    const QString decomposed = QStringLiteral("z\u0307o\u0301\u0142c\u0301 ge\u0328s\u0301la\u0328");
    const struct {
        const char* mic;
        const char* client;
        bool echo;
    } cases[] = {
        // 3 of 5 words shared: exactly 0.6 is not an echo; 4 of 6 is.
        {"alpha bravo charlie delta echo", "alpha bravo charlie", false},
        {"alpha bravo charlie delta echo foxtrot", "alpha bravo charlie delta", true},
        // A short line fully contained in a long one is an echo; the long one is not an echo of the short one.
        {"alpha bravo charlie delta", "alpha bravo charlie delta echo foxtrot golf hotel", true},
        {"alpha bravo charlie delta echo foxtrot golf hotel", "alpha bravo charlie delta", false},
        // Short words (two characters or fewer) never count; repeated words count once; case is ignored.
        {"to je on", "to je on", false},
        {"cena cena cena dobra", "Cena jest DOBRA", true},
        {"cena dobra", "", false},
        // Polish letters belong to words: "łąk" and "ćma" have three perceived characters, "że" two.
        {"Zażółć gęślą jaźń", "zażółć gęślą jaźń teraz", true},
        {"łąk ćma że", "ćma łąk", true},
        // Punctuation and dashes split words.
        {"cena—termin, umowa!", "umowa termin cena", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TranscriptBuffer::echo(QString::fromUtf8(c.mic), QString::fromUtf8(c.client)), c.echo) << c.mic;
    // Decomposed "żółć" is still four perceived characters.
    EXPECT_TRUE(TranscriptBuffer::echo(decomposed, decomposed));
}

TEST_F(TranscriptBufferTest, ListingFormat) {
    EXPECT_EQ(buffer.context(40), QString());
    buffer.add(S::Client, QStringLiteral("Pierwsze"), true);
    clock.advance(std::chrono::seconds(65));
    buffer.add(S::Me, QStringLiteral("Drugie"), true);
    clock.advance(std::chrono::seconds(2 * 3600 + 5 * 60 + 7 - 65));
    buffer.add(S::Client, QStringLiteral("Trzecie"), true);
    buffer.add(S::Me, QStringLiteral("pending never listed"), false);

    const QString client = i18n::text("speaker.client");
    const QString me = i18n::text("speaker.me");
    EXPECT_EQ(buffer.context(40),
              QStringLiteral("[00:00] %1: Pierwsze\n[01:05] %2: Drugie\n[125:07] %1: Trzecie").arg(client, me));
    EXPECT_EQ(buffer.context(1), QStringLiteral("[125:07] %1: Trzecie").arg(client));
    EXPECT_EQ(buffer.context(0), QString());
    EXPECT_EQ(buffer.lastClientUtterance(), QStringLiteral("Trzecie"));

    buffer.clear();
    EXPECT_TRUE(buffer.isEmpty());
    buffer.add(S::Client, QStringLiteral("Po czyszczeniu"), true);
    EXPECT_TRUE(buffer.context(1).startsWith(QStringLiteral("[125:07]"))) << "the time base survives clearing";
}

TEST_F(TranscriptBufferTest, CurrentLineAndNotifications) {
    QSignalSpy utterances(&buffer, &TranscriptBuffer::utterancesChanged);
    QSignalSpy pending(&buffer, &TranscriptBuffer::pendingChanged);

    buffer.add(S::Me, QStringLiteral("tak"), false);
    const auto line = buffer.currentLine();
    EXPECT_EQ(line.final, QString());
    EXPECT_EQ(line.pending, QStringLiteral("  ") + i18n::text("speaker.me") + QStringLiteral(": tak"));
    EXPECT_FALSE(buffer.isEmpty());

    buffer.add(S::Client, QStringLiteral("a może"), false);
    QStringList parts{i18n::text("speaker.me") + ": tak", i18n::text("speaker.client") + ": a może"};
    parts.sort();
    EXPECT_EQ(buffer.currentLine().pending, QStringLiteral("  ") + parts.join(QStringLiteral("  ")));

    buffer.add(S::Me, QStringLiteral("tak jest"), true);
    EXPECT_EQ(buffer.currentLine().final, i18n::text("speaker.me") + QStringLiteral(": tak jest"));
    EXPECT_EQ(utterances.count(), 1);
    EXPECT_EQ(pending.count(), 3);
}

} // namespace
