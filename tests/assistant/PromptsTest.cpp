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
    static QString full(PromptStyle style, const Prompts::Material& m) { return Prompts::systemInstruction(style, m); }
    static QString bare(PromptStyle style) { return full(style, {}); }
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
    // Assembled instructions: the rules join suggestions only; only the parts that have text get their header.
    Prompts::Material evaluation = kFull, rulesOnly, onlyHeader;
    evaluation.modeRules = rulesOnly.modeRules = Prompts::evaluationRules();
    onlyHeader.sessionHeader = QStringLiteral("Temat rozmowy: wdrożenie");
    constexpr Golden kTechnicalFull{2463, "a70a9e0b6d3e5e8a45cb72c731b9e97d50c13afa5a5548fac02d512488cc63b8"};
    constexpr Golden kNoteFull{960, "ebd47204261000ef18a45b69a33e5ff64c0e5d2f73f8080341d502a6e60dac87"};
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
        {full(PromptStyle::Suggest, kFull), {1715, "050ce316873738c1a649d148e079c7776b2cf3166e835e3a195a5ce9e2d7f020"}},
        {full(PromptStyle::Suggest, evaluation),
         {3030, "a7d11329681f0952a606dbee386bf70e1b8c7a1a699c4b28cd6b9ea916302bb9"}},
        {full(PromptStyle::Suggest, onlyHeader),
         {1509, "3363b2663a49ca5b06ab83a51b84bba8239c760e117e18c2fc0415f3dd07afcf"}},
        {full(PromptStyle::Technical, kFull), kTechnicalFull},
        {full(PromptStyle::Technical, evaluation), kTechnicalFull},
        {full(PromptStyle::Summary, kFull), kNoteFull},
        {full(PromptStyle::Summary, evaluation), kNoteFull},
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
        {full(PromptStyle::Suggest, kFull), {1661, "736b4ae059b83910c5a44817f8dc04d29951f2e899836474c0ccccaa06d49bcc"}},
        {full(PromptStyle::Summary, kFull), {976, "7465ed2f4e4f88996db803177b99eba290dc3a4b79c695b87e5b63e7ba6a3fb7"}},
    });
    // An English interface still sends the Polish rules, right after the English sales text.
    EXPECT_EQ(Prompts::systemInstruction(PromptStyle::Suggest, rulesOnly),
              bare(PromptStyle::Suggest) + Prompts::evaluationRules());
}
