// A transcript fed by hand runs through the real assistant and the real Gemini client over loopback HTTP to the
// model peer, with the profile and a document from the context folder.
#include "assistant/Assistant.h"
#include "assistant/GeminiClient.h"
#include "core/Settings.h"
#include "peers/LlmPeer.h"
#include "secrets/Keychain.h"
#include "speech/TranscriptBuffer.h"
#include "support/Files.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QJsonArray>

using namespace quippet;
using namespace std::chrono_literals;

TEST(EngineEndToEndTest, ClientQuestionToAnswerCardOverHttp) {
    test::TempHome home;
    test::writeFile(ContextDocuments::folderPath() + QStringLiteral("/o-mnie.md"),
                    "Jestem Ania, sprzedaję CRM w Acme.");
    test::writeFile(ContextDocuments::folderPath() + QStringLiteral("/cennik.md"), "Pakiet Pro: 120 zł miesięcznie.");

    test::LlmPeer peer;
    ASSERT_TRUE(peer.start());
    Settings::setValue(Settings::kGeminiBaseUrl, peer.baseUrl().toString());
    qunsetenv("QUIPPET_BACKEND");
    test::MemorySecretStore secrets;
    Keychain keychain(secrets);
    keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("test-key"));

    ManualClock clock;
    RateGate gate;
    GeminiClient gemini(keychain, clock, gate);
    TranscriptBuffer transcript(clock);
    Assistant assistant(transcript, gemini, clock, {});
    QObject::connect(&transcript, &TranscriptBuffer::clientUtterance, &assistant, &Assistant::clientSaid);
    const QString header = QStringLiteral("Firma klienta: Beta\nCharakter rozmowy: handlowa");
    assistant.setSessionHeader(header);

    peer.script(QStringLiteral("gemini-flash-latest"),
                test::LlmScript::reply({QStringLiteral("Pakiet Pro "), QStringLiteral("to 120 zł miesięcznie.")}));
    transcript.add(Utterance::Speaker::Client, QStringLiteral("Ile kosztuje pakiet Pro?"), true);
    clock.advance(1199ms);
    EXPECT_TRUE(peer.bodies().isEmpty());
    clock.advance(1ms);
    ASSERT_TRUE(test::waitUntil([&] { return !assistant.busy(); }));
    ASSERT_EQ(assistant.cards().size(), 1);
    EXPECT_EQ(assistant.current()->text, QStringLiteral("Pakiet Pro to 120 zł miesięcznie."));
    EXPECT_EQ(assistant.current()->question, QStringLiteral("Ile kosztuje pakiet Pro?"));
    EXPECT_FALSE(assistant.current()->isError);

    // The texts themselves are the prompt tests' business; here: the profile, the session and the document.
    ASSERT_EQ(peer.bodies().size(), 1);
    const QJsonObject body = peer.bodies().first();
    EXPECT_EQ(body.value("system_instruction")["parts"][0]["text"].toString(),
              Prompts::systemInstruction(PromptStyle::Suggest,
                                         {QString(), QStringLiteral("Jestem Ania, sprzedaję CRM w Acme."), header,
                                          QStringLiteral("--- cennik.md ---\nPakiet Pro: 120 zł miesięcznie.")}));
    EXPECT_EQ(body.value("contents")[0]["parts"][0]["text"].toString(),
              Prompts::answerPrompt(QStringLiteral("[00:00] Klient: Ile kosztuje pakiet Pro?")));
}
