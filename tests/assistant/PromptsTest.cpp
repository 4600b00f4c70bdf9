#include "assistant/Prompts.h"

#include "core/Localization.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>

using namespace quippet;

namespace {

// Golden digests of the base texts as the model must receive them (UTF-8), so that a lost blank, dash or
// quote shows up without repeating pages of text here.
struct Golden {
    qsizetype length;
    const char* sha256;
};
constexpr Golden kSalesPl{1467, "5161a4b572faa5c010e7efa3a509e9d04d503bd453237b2caa27031fac57a3a5"};
constexpr Golden kSalesEn{1424, "3ea918775cceff7bcc9e58186bff93193f519daa9bacd5bc9a60e95d603fdc8f"};
constexpr Golden kRules{1315, "8b36ae2c3abf1b4a81029d2485cb6e6c84295dbd25667d8c77de3e6e3ef93311"};
constexpr Golden kTechnicalPl{2215, "5417e4592afd37f2fe86ba86909ebd049e84b1b22fb21c28afa239b828b9ec49"};
constexpr Golden kTechnicalEn{1705, "e8a3a98279897bcf5b17260b373414e0a07ef2de750f925d9f056ef58c7741d0"};
constexpr Golden kNotePl{727, "b6b8d01393920dd3ec7e9ff6665cba6c85e44dc9182ec3dd212a23ef2fc249af"};
constexpr Golden kNoteEn{726, "f374cafbbddb060adc8084d75ba170be1608ea922650d4978b74be39f07f6181"};
constexpr Golden kProfileTplPl{667, "70a75dc4acaa16a11a8218f42ea3942406584a34172575de00934b629c246844"};
constexpr Golden kProfileTplEn{706, "bd5dc6083e1074ae9092b20e5035c47e4ddc69b44d4e5343bd0600b2f54bc68b"};
constexpr Golden kOfferTplPl{579, "ad7e0e09b6d3145e98629e4cd79bbb03267d134dfc0a97431d5d3bc1369182e3"};
constexpr Golden kOfferTplEn{273, "f9e44faea10eb660923d2f4f6f078d0f763bddf6acb9b309aa68bf485b8f4445"};

void expectGolden(const QString& text, const Golden& golden) {
    EXPECT_EQ(text.size(), golden.length);
    EXPECT_EQ(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex(), QByteArray(golden.sha256));
}

class PromptsTest : public ::testing::Test {
protected:
    void TearDown() override { i18n::overrideLanguage(QStringLiteral("pl")); }
    static QString bare(PromptStyle style) { return Prompts::systemInstruction(style, {}); }
};

const Prompts::Material kFull{QString(), QStringLiteral("Jestem Ania, sprzedaję CRM."),
                              QStringLiteral("Firma klienta: Acme\nCharakter rozmowy: handlowa"),
                              QStringLiteral("--- cennik.md ---\nPakiet S: 99 zł")};

} // namespace

TEST_F(PromptsTest, BaseTextsAreExactInBothLanguages) {
    expectGolden(bare(PromptStyle::Suggest), kSalesPl);
    expectGolden(bare(PromptStyle::Technical), kTechnicalPl);
    expectGolden(bare(PromptStyle::Summary), kNotePl);
    expectGolden(Prompts::evaluationRules(), kRules);
    expectGolden(Prompts::profileTemplate(), kProfileTplPl);
    expectGolden(Prompts::offerTemplate(), kOfferTplPl);

    i18n::overrideLanguage(QStringLiteral("en"));
    expectGolden(bare(PromptStyle::Suggest), kSalesEn);
    expectGolden(bare(PromptStyle::Technical), kTechnicalEn);
    expectGolden(bare(PromptStyle::Summary), kNoteEn);
    expectGolden(Prompts::evaluationRules(), kRules); // Polish only
    expectGolden(Prompts::profileTemplate(), kProfileTplEn);
    expectGolden(Prompts::offerTemplate(), kOfferTplEn);
}

TEST_F(PromptsTest, AssemblyOrderAndHeadersPerStyle) {
    const struct {
        const char* language;
        PromptStyle style;
        const char* profile;
        const char* about;
        const char* documents;
    } cases[] = {
        {"pl", PromptStyle::Suggest, "Kim jest osoba, której podpowiadasz — pisz tak, jakby to ona mowila:\n\n",
         "O tej rozmowie:\n", "Dokumenty firmowe, na których masz się opierać:\n\n"},
        {"pl", PromptStyle::Technical, "Kim jest osoba, której podpowiadasz — pisz tak, jakby to ona mowila:\n\n",
         "O tej rozmowie:\n", "Dokumenty firmowe, na których masz się opierać:\n\n"},
        {"pl", PromptStyle::Summary, "Prowadzący rozmowę (do poprawnych nazw i kontekstu):\n\n", "O tej rozmowie:\n",
         "Dokumenty firmowe (do weryfikacji nazw i liczb):\n\n"},
        {"en", PromptStyle::Suggest, "Who you are suggesting for — write as if THEY were speaking:\n\n",
         "About this conversation:\n", "Company documents you must rely on:\n\n"},
        {"en", PromptStyle::Summary, "The person leading the call (for correct names and context):\n\n",
         "About this conversation:\n", "Company documents (to verify names and numbers):\n\n"},
    };
    for (const auto& c : cases) {
        i18n::overrideLanguage(QString::fromLatin1(c.language));
        EXPECT_EQ(Prompts::systemInstruction(c.style, kFull), bare(c.style) + "\n\n" + QString::fromUtf8(c.profile) +
                                                                  kFull.profile + "\n\n" + QString::fromUtf8(c.about) +
                                                                  kFull.sessionHeader + "\n\n" +
                                                                  QString::fromUtf8(c.documents) + kFull.documents)
            << c.language << " " << int(c.style);
    }

    // Only the parts that have text get their header.
    i18n::overrideLanguage(QStringLiteral("pl"));
    Prompts::Material onlyHeader;
    onlyHeader.sessionHeader = QStringLiteral("Temat rozmowy: wdrożenie");
    EXPECT_EQ(Prompts::systemInstruction(PromptStyle::Suggest, onlyHeader),
              bare(PromptStyle::Suggest) + QStringLiteral("\n\nO tej rozmowie:\nTemat rozmowy: wdrożenie"));
}

TEST_F(PromptsTest, EvaluationRulesJoinOnlySuggestions) {
    Prompts::Material evaluation = kFull;
    evaluation.modeRules = Prompts::evaluationRules();
    const QString suggest = Prompts::systemInstruction(PromptStyle::Suggest, evaluation);
    EXPECT_TRUE(suggest.startsWith(bare(PromptStyle::Suggest) + Prompts::evaluationRules() +
                                   QStringLiteral("\n\nKim jest osoba")));
    EXPECT_EQ(Prompts::systemInstruction(PromptStyle::Technical, evaluation),
              Prompts::systemInstruction(PromptStyle::Technical, kFull));
    EXPECT_EQ(Prompts::systemInstruction(PromptStyle::Summary, evaluation),
              Prompts::systemInstruction(PromptStyle::Summary, kFull));

    // An English interface still sends the Polish rules, right after the English sales text.
    i18n::overrideLanguage(QStringLiteral("en"));
    Prompts::Material rulesOnly;
    rulesOnly.modeRules = Prompts::evaluationRules();
    const QString english = Prompts::systemInstruction(PromptStyle::Suggest, rulesOnly);
    EXPECT_TRUE(english.startsWith(QStringLiteral("You are prompting a person")));
    EXPECT_TRUE(english.endsWith(QStringLiteral("lepiej mieć ją gotową.")));
    EXPECT_EQ(english.size(), kSalesEn.length + kRules.length);
}

// The Polish answer and note requests are checked word for word by the end-to-end test.
TEST_F(PromptsTest, UserPrompts) {
    const QString listing = QStringLiteral("[00:01] Klient: Ile to kosztuje?");
    const QString request = QStringLiteral("Oto mój ekran. Jeśli jest na nim zadanie, pytanie albo problem do "
                                           "rozwiązania — rozwiąż go. Jeśli nie ma, opisz krótko, co jest istotne "
                                           "i co z tym zrobić.");
    EXPECT_EQ(Prompts::screenPrompt(QString()), request);
    EXPECT_EQ(Prompts::screenPrompt(listing), request + QStringLiteral("\n\nKontekst rozmowy:\n") + listing);

    i18n::overrideLanguage(QStringLiteral("en"));
    EXPECT_EQ(Prompts::answerPrompt(listing),
              QStringLiteral("Here is the latest fragment of the conversation:\n\n") + listing +
                  QStringLiteral("\n\nWrite what I should say in response to the client's last utterance."));
    EXPECT_EQ(Prompts::screenPrompt(listing),
              QStringLiteral("Here is my screen. If there is a task, a question or a problem to solve on it — solve "
                             "it. If there is none, briefly describe what matters and what to do about it.\n\n"
                             "Conversation context:\n") +
                  listing);
    EXPECT_EQ(Prompts::notePrompt(listing),
              QStringLiteral("Full transcript of the finished conversation:\n\n") + listing +
                  QStringLiteral("\n\nWrite the note for this conversation using the format from the instructions."));
}
