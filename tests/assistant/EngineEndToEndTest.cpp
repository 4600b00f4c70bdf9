// A transcript fed by hand runs through the real assistant, the real Gemini client over loopback HTTP to the model
// peer, and the real session store, the way the application controller wires them.
#include "assistant/Assistant.h"
#include "assistant/GeminiClient.h"
#include "core/Settings.h"
#include "peers/LlmPeer.h"
#include "records/SessionStore.h"
#include "secrets/Keychain.h"
#include "speech/TranscriptBuffer.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>

#include <limits>

using namespace quippet;
using namespace std::chrono_literals;

namespace {

void writeContext(const QString& name, const QByteArray& bytes) {
    QDir().mkpath(ContextDocuments::folderPath());
    QFile file(QDir(ContextDocuments::folderPath()).filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QString systemOf(const QJsonObject& body) {
    return body.value("system_instruction")["parts"][0]["text"].toString();
}

QString userTextOf(const QJsonObject& body) {
    return body.value("contents")[0]["parts"][0]["text"].toString();
}

} // namespace

TEST(EngineEndToEndTest, ClientQuestionToAnswerCardToStoredNote) {
    test::TempHome home;
    writeContext(QStringLiteral("o-mnie.md"), "Jestem Ania, sprzedaję CRM w Acme.");
    writeContext(QStringLiteral("cennik.md"), "Pakiet Pro: 120 zł miesięcznie.");

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
    QStringList notes;
    Assistant assistant(transcript, gemini, clock, [&](const QString& line) { notes << line; });
    SessionStore sessions(clock);
    transcript.onClientUtterance = [&](const QString& text) { assistant.clientSaid(text); };

    sessions.setCompany(QStringLiteral("Beta"));
    sessions.setTopic(QStringLiteral("Wdrożenie"));
    assistant.setSessionHeader(sessions.current().promptHeader());
    assistant.setModeRules(QString());

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

    ASSERT_EQ(peer.bodies().size(), 1);
    const QString salesBase = Prompts::systemInstruction(PromptStyle::Suggest, {});
    EXPECT_EQ(systemOf(peer.bodies().at(0)),
              salesBase + QStringLiteral("\n\nKim jest osoba, której podpowiadasz — pisz tak, jakby to ona mowila:\n\n"
                                         "Jestem Ania, sprzedaję CRM w Acme.\n\nO tej rozmowie:\nFirma klienta: Beta\n"
                                         "Temat rozmowy: Wdrożenie\nCharakter rozmowy: handlowa\n\nDokumenty firmowe, "
                                         "na których masz się opierać:\n\n--- cennik.md ---\nPakiet Pro: 120 zł "
                                         "miesięcznie."));
    EXPECT_EQ(userTextOf(peer.bodies().at(0)),
              QStringLiteral("Oto ostatni fragment rozmowy:\n\n[00:00] Klient: Ile kosztuje pakiet Pro?\n\nNapisz, co "
                             "mam powiedzieć w odpowiedzi na ostatnią wypowiedź klienta."));

    // Finishing: the note streams, the conversation is stored, a new one begins.
    clock.advance(30s);
    transcript.add(Utterance::Speaker::Me, QStringLiteral("Pakiet Pro to 120 zł miesięcznie."), true);
    peer.script(
        QStringLiteral("gemini-flash-latest"),
        test::LlmScript::reply({QStringLiteral("**Podsumowanie** — "), QStringLiteral("klient pytał o cenę.")}));
    const QString wholeTranscript = transcript.context(std::numeric_limits<qsizetype>::max());
    std::optional<SessionStore::FinishResult> stored;
    assistant.summarize([&](const QString& summary) {
        stored = sessions.finish(wholeTranscript, summary);
        if (stored->ok) {
            transcript.clear();
            sessions.startNew();
        }
    });
    ASSERT_TRUE(test::waitUntil([&] { return stored.has_value(); }));
    ASSERT_TRUE(stored->ok);
    EXPECT_TRUE(systemOf(peer.bodies().at(1)).startsWith(QStringLiteral("Rozmowa z klientem właśnie się skończyła.")));
    EXPECT_EQ(userTextOf(peer.bodies().at(1)),
              QStringLiteral("Pełny transkrypt zakończonej rozmowy:\n\n") + wholeTranscript +
                  QStringLiteral("\n\nNapisz notatkę z tej rozmowy według formatu z instrukcji."));

    QFile note(*stored->path);
    ASSERT_TRUE(note.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(note.readAll());
    EXPECT_TRUE(text.startsWith(QStringLiteral("# Beta  \n**Firma:** Beta  \n**Temat:** Wdrożenie  \n")));
    EXPECT_TRUE(text.contains(QStringLiteral("## Podsumowanie\n\n**Podsumowanie** — klient pytał o cenę.\n\n")));
    EXPECT_TRUE(text.endsWith(QStringLiteral("## Transkrypcja\n\n```\n[00:00] Klient: Ile kosztuje pakiet Pro?\n"
                                             "[00:31] Ja: Pakiet Pro to 120 zł miesięcznie.\n```")));

    SessionStore reloaded(clock);
    ASSERT_EQ(reloaded.history().size(), 1);
    EXPECT_EQ(reloaded.history().first().company, QStringLiteral("Beta"));
    EXPECT_EQ(reloaded.history().first().summaryFile, QFileInfo(*stored->path).fileName());
    EXPECT_TRUE(sessions.current().company.isEmpty());
    Settings::remove(Settings::kGeminiBaseUrl);
}
