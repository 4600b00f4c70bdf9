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
constexpr Golden kSalesEn{1424, "3ea918775cceff7bcc9e58186bff93193f519daa9bacd5bc9a60e95d603fdc8f"};
constexpr Golden kRules{1315, "8b36ae2c3abf1b4a81029d2485cb6e6c84295dbd25667d8c77de3e6e3ef93311"};
const QString kListing = QStringLiteral("[00:01] Klient: Ile to kosztuje?");

class PromptsTest : public ::testing::Test {
protected:
    void TearDown() override { i18n::overrideLanguage(QStringLiteral("pl")); }
    static QString bare(PromptStyle style) { return Prompts::systemInstruction(style, {}); }
};

const Prompts::Material kFull{QString(), QStringLiteral("Jestem Ania, sprzedaję CRM."),
                              QStringLiteral("Firma klienta: Acme\nCharakter rozmowy: handlowa"),
                              QStringLiteral("--- cennik.md ---\nPakiet S: 99 zł")};

} // namespace

TEST_F(PromptsTest, TextsAreExactInBothLanguages) {
    const auto expectGoldens = [](const QList<std::pair<QString, Golden>>& texts) {
        for (const auto& [text, golden] : texts) {
            EXPECT_EQ(text.size(), golden.length) << golden.sha256;
            EXPECT_EQ(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex(),
                      QByteArray(golden.sha256));
        }
    };
    expectGoldens({
        {bare(PromptStyle::Suggest), {1467, "5161a4b572faa5c010e7efa3a509e9d04d503bd453237b2caa27031fac57a3a5"}},
        {bare(PromptStyle::Technical), {2215, "5417e4592afd37f2fe86ba86909ebd049e84b1b22fb21c28afa239b828b9ec49"}},
        {bare(PromptStyle::Summary), {727, "b6b8d01393920dd3ec7e9ff6665cba6c85e44dc9182ec3dd212a23ef2fc249af"}},
        {Prompts::evaluationRules(), kRules},
        {Prompts::profileTemplate(), {667, "70a75dc4acaa16a11a8218f42ea3942406584a34172575de00934b629c246844"}},
        {Prompts::offerTemplate(), {579, "ad7e0e09b6d3145e98629e4cd79bbb03267d134dfc0a97431d5d3bc1369182e3"}},
        {Prompts::answerPrompt(kListing), {134, "bde4d2c670dad7971eeb9dceb390e4c1d4182f74c977562a4d4db1c63fb3c682"}},
        {Prompts::screenPrompt(kListing), {206, "b500cf89949e20e92bae04d3896b93735b2ac711339e3b9243dbf46274e351d5"}},
        {Prompts::screenPrompt(QString()), {154, "53877e2031251e70b5007e3a21a2ca0853b72f2ac43505fcadabefee89ad84f6"}},
        {Prompts::notePrompt(kListing), {130, "7a53d9e4394d2fb13a970d36bc4e7232745bd37755952c02ce5e1b1d58721c5b"}},
    });
    i18n::overrideLanguage(QStringLiteral("en"));
    expectGoldens({
        {bare(PromptStyle::Suggest), kSalesEn},
        {bare(PromptStyle::Technical), {1705, "e8a3a98279897bcf5b17260b373414e0a07ef2de750f925d9f056ef58c7741d0"}},
        {bare(PromptStyle::Summary), {726, "f374cafbbddb060adc8084d75ba170be1608ea922650d4978b74be39f07f6181"}},
        {Prompts::evaluationRules(), kRules}, // Polish only
        {Prompts::profileTemplate(), {706, "bd5dc6083e1074ae9092b20e5035c47e4ddc69b44d4e5343bd0600b2f54bc68b"}},
        {Prompts::offerTemplate(), {273, "f9e44faea10eb660923d2f4f6f078d0f763bddf6acb9b309aa68bf485b8f4445"}},
        {Prompts::answerPrompt(kListing), {151, "e75141faae5a55d582c412f3950f1ae6f7d331aadfe69052e55995b9634e142d"}},
        {Prompts::screenPrompt(kListing), {218, "8ee7b7c32d4f202ee8a0c31c4edfc583800bca4f45b2c51bcc1c6ba55bf46824"}},
        {Prompts::notePrompt(kListing), {157, "1f8018d3b0c1b2870019223819ff2ebbe3aa8b4984c4896ff2e488dfeb142d96"}},
    });
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
