#include "ui/KeysWindow.h"

#include "assistant/GeminiClient.h"
#include "assistant/RateGate.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "peers/LlmPeer.h"
#include "peers/SttPeer.h"
#include "secrets/Credentials.h"
#include "secrets/Keychain.h"
#include "speech/RealtimeTranscription.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace quippet;
using namespace std::chrono_literals;

namespace {

struct KeysWindowTest : ::testing::Test {
    test::MemorySecretStore store;
    Keychain keychain{store};
    std::function<void(KeysWindow::VerifyResult)> pendingAnswer;
    int verifyCalls = 0;
    QStringList confirmations;
    bool confirm = true;
    QList<QUrl> opened;

    KeysWindow::Services services() {
        KeysWindow::Services s;
        s.verifyGemini = [this](std::function<void(KeysWindow::VerifyResult)> done) {
            ++verifyCalls;
            pendingAnswer = std::move(done);
        };
        s.modelChain = {QStringLiteral("gemini-flash-latest"), QStringLiteral("gemini-2.5-flash-lite")};
        s.openUrl = [this](const QUrl& url) { opened << url; };
        s.confirmRemoval = [this](QWidget*, const QStringList& names) {
            confirmations << names.join(QLatin1Char(','));
            return confirm;
        };
        return s;
    }
    template <typename T> static T* child(QWidget& window, const char* name) {
        T* found = window.findChild<T*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    // A format's text up to its first argument.
    static QString prefixOf(const char* key) {
        return i18n::text(key).left(i18n::text(key).indexOf(QStringLiteral("%1")));
    }
    QString stored(const char* service) const { return keychain.read(QLatin1String(service)).value_or(QString()); }
    static QString savedText(const char* names) { return i18n::format("settings.status.saved", QLatin1String(names)); }
};

} // namespace

TEST_F(KeysWindowTest, StoredKeysAreMaskedAndOnlyReplacedOnesAreSaved) {
    keychain.write(QLatin1String(Keychain::kElevenLabsKey), QStringLiteral("sk_old"));
    keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("AIza_old"));
    KeysWindow window(keychain, services());
    QSignalSpy changed(&window, &KeysWindow::keysChanged);
    auto* elevenLabs = child<QLineEdit>(window, "elevenLabsField");
    auto* gemini = child<QLineEdit>(window, "geminiField");
    auto* save = child<QPushButton>(window, "saveButton");
    EXPECT_EQ(elevenLabs->text(), QString(8, QChar(0x2022))) << "the stored key itself never reaches the field";
    EXPECT_EQ(gemini->text(), KeysWindow::mask());

    save->click();
    EXPECT_EQ(window.status(), i18n::text("settings.status.unchanged"));
    EXPECT_EQ(child<QLabel>(window, "statusLabel")->text(), window.status());

    // Typing after the mask still counts as the stored key.
    elevenLabs->setText(KeysWindow::mask().left(2) + QStringLiteral("sk_typed"));
    save->click();
    EXPECT_EQ(window.status(), i18n::text("settings.status.unchanged"));
    EXPECT_EQ(stored(Keychain::kElevenLabsKey), QStringLiteral("sk_old"));

    // Written untrimmed; Return in a field saves, and the field then stands for the stored key.
    elevenLabs->setText(QStringLiteral(" sk_new "));
    QTest::keyClick(elevenLabs, Qt::Key_Return);
    EXPECT_EQ(window.status(), savedText("ElevenLabs"));
    EXPECT_EQ(store.readRaw(QLatin1String(Keychain::kElevenLabsKey), QLatin1String(Keychain::kAccount)),
              QStringLiteral(" sk_new "));
    EXPECT_EQ(elevenLabs->text(), KeysWindow::mask());
    EXPECT_EQ(changed.count(), 1);

    // One bullet is a character of the key, not the mask.
    gemini->setText(QString(QChar(0x2022)) + QStringLiteral("AIza"));
    QTest::keyClick(&window, Qt::Key_Enter);
    EXPECT_EQ(window.status(), savedText("Gemini"));
}

TEST_F(KeysWindowTest, RefusedWriteIsReportedAsFailureNotAsSaved) {
    keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("AIza_old"));
    KeysWindow window(keychain, services());
    EXPECT_EQ(window.elevenLabs(), QString()) << "nothing stored, nothing masked";
    store.setFailWrites(true);
    child<QLineEdit>(window, "elevenLabsField")->setText(QStringLiteral("sk_new"));
    child<QLineEdit>(window, "geminiField")->setText(QStringLiteral("AIza_new"));
    window.save();
    EXPECT_EQ(window.status(), i18n::format("settings.status.failed", QStringLiteral("ElevenLabs, Gemini")));
    EXPECT_EQ(stored(Keychain::kGeminiKey), QStringLiteral("AIza_old"));
    EXPECT_EQ(window.gemini(), QStringLiteral("AIza_new")) << "the refused key stays for another try";
}

// An emptied field removes its stored key, but only once the user has said yes; a field that was empty all along
// asks nothing.
TEST_F(KeysWindowTest, AnEmptiedFieldRemovesItsKeyAfterConfirmation) {
    struct Case {
        bool yes;
        QString status;
        bool removed;
    };
    for (const Case& c : {Case{true, i18n::format("keys.status.removed", QStringLiteral("Gemini")), true},
                          Case{false, i18n::text("settings.status.unchanged"), false}}) {
        SCOPED_TRACE(c.yes);
        keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("AIza_old"));
        keychain.remove(QLatin1String(Keychain::kElevenLabsKey));
        confirm = c.yes;
        confirmations.clear();
        KeysWindow window(keychain, services());
        QSignalSpy changed(&window, &KeysWindow::keysChanged);
        child<QLineEdit>(window, "geminiField")->clear();
        window.save();
        EXPECT_EQ(confirmations, QStringList{QStringLiteral("Gemini")});
        EXPECT_EQ(window.status(), c.status);
        EXPECT_EQ(keychain.read(QLatin1String(Keychain::kGeminiKey)).has_value(), !c.removed);
        EXPECT_EQ(changed.count(), c.removed ? 1 : 0);
        EXPECT_EQ(window.gemini(), c.removed ? QString() : KeysWindow::mask());
    }
}

// Spoken names and Tab order: see the manager window's test, which walks this window too.
TEST_F(KeysWindowTest, FieldsAreLabelledAndLinksOpenTheKeyPages) {
    i18n::overrideLanguage(QStringLiteral("en"));
    KeysWindow window(keychain, services());
    i18n::overrideLanguage(QStringLiteral("pl"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Quippet — API keys")) << "the title follows the interface language";
    for (const char* name : {"elevenLabsField", "geminiField"}) {
        const auto labels = window.findChildren<QLabel*>();
        EXPECT_TRUE(std::any_of(labels.begin(), labels.end(),
                                [&](QLabel* l) { return l->buddy() == child<QLineEdit>(window, name); }))
            << name << " has a label bound to it";
    }
    child<QPushButton>(window, "elevenLabsLink")->click();
    child<QPushButton>(window, "geminiLink")->click();
    EXPECT_EQ(opened, (QList<QUrl>{KeysWindow::elevenLabsKeysPage(), KeysWindow::geminiKeysPage()}));
    for (const QUrl& page : opened)
        EXPECT_EQ(page.scheme(), QStringLiteral("https"));
}

TEST_F(KeysWindowTest, GeminiCheckListsModelsNamesMissingOnesAndIgnoresLateAnswers) {
    keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("AIza_old"));
    KeysWindow window(keychain, services());
    auto* verify = child<QPushButton>(window, "verifyButton");
    auto* list = child<QListWidget>(window, "modelList");
    ASSERT_TRUE(verify && list);

    verify->click();
    EXPECT_TRUE(window.checking());
    EXPECT_FALSE(verify->isEnabled());
    window.verify(); // a second press while checking starts nothing
    EXPECT_EQ(verifyCalls, 1);

    const QStringList names = QStringLiteral("gemini-2.5-flash embedding-001 gemini-flash-latest aqa imagen-3.0 "
                                             "gemini-2.5-pro text-bison gemma-3-27b veo-2.0 gemini-2.0-flash-lite")
                                  .split(QLatin1Char(' '));
    pendingAnswer(names);
    EXPECT_EQ(window.models(),
              (QStringList{"gemini-2.5-flash", "gemini-flash-latest", "gemini-2.5-pro", "gemini-2.0-flash-lite"}));
    EXPECT_EQ(list->count(), 4);
    EXPECT_TRUE(window.geminiResult().startsWith(i18n::format("settings.status.geminiOK", i18n::formatNumber(10))));
    EXPECT_TRUE(window.geminiResult().contains(i18n::format("keys.gemini.missing", "gemini-2.5-flash-lite")));
    EXPECT_TRUE(verify->isEnabled());

    // A typed key is saved before it is checked; a failure clears the list; a late second answer changes nothing.
    child<QLineEdit>(window, "geminiField")->setText(QStringLiteral("AIza_typed"));
    window.verify();
    EXPECT_EQ(stored(Keychain::kGeminiKey), QStringLiteral("AIza_typed"));
    EXPECT_TRUE(window.models().isEmpty());
    EXPECT_TRUE(list->isHidden());
    const auto answer = pendingAnswer;
    answer(i18n::text("keys.gemini.refused"));
    EXPECT_EQ(window.geminiResult(), QStringLiteral("Gemini: ") + i18n::text("keys.gemini.refused"));
    answer(QStringList{QStringLiteral("gemini-x")});
    EXPECT_TRUE(window.models().isEmpty());
}

// Both checks against the local stand-ins of the two services, with the real clients: a good key, a refused one,
// and a service that does not answer at all.
TEST_F(KeysWindowTest, BothChecksSayPlainlyWhetherTheServiceTookTheKey) {
    test::TempHome home;
    ManualClock clock;
    RateGate gate;
    test::SttPeer stt;
    test::LlmPeer llm;
    ASSERT_TRUE(stt.start());
    ASSERT_TRUE(llm.start());
    stt.setApiKey(QStringLiteral("sk_good"));
    llm.setKey(QStringLiteral("AIza_good"));
    llm.setListing({QStringLiteral("models/gemini-flash-latest"), QStringLiteral("models/gemini-2.5-flash-lite")});
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QString nowhere = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
    closed.close();

    GeminiClient gemini(keychain, clock, gate);
    SpeechProbe probe(clock);
    KeysWindow::Services s = services();
    s.verifyGemini = [&](std::function<void(KeysWindow::VerifyResult)> done) { gemini.verify(std::move(done), qApp); };
    s.verifySpeech = [&](std::function<void(SpeechVerdict)> done) {
        probe.disconnect();
        QObject::connect(&probe, &SpeechProbe::finished, [done](const SpeechVerdict& v) { done(v); });
        probe.start(realtimeTranscriberFactory(
                        clock, [this] { return std::make_shared<KeychainCredentialProvider>(keychain); }),
                    QStringLiteral("pl"), 9s);
    };
    KeysWindow window(keychain, s);

    struct Case {
        const char* name;
        const char* speechKey;
        const char* geminiKey;
        bool reachable;
        QString speech; // the start of the speech check's result
        QString model;  // the start of the model check's result
    };
    const Case cases[] = {
        {"accepted", "sk_good", "AIza_good", true, i18n::text("preflight.stt.ok"),
         i18n::format("settings.status.geminiOK", i18n::formatNumber(2))},
        {"refused", "sk_bad", "AIza_bad", true, prefixOf("preflight.stt.refused"),
         QStringLiteral("Gemini: ") + i18n::text("keys.gemini.refused")},
        {"unreachable", "sk_good", "AIza_good", false, prefixOf("preflight.stt.unreachable"),
         QStringLiteral("Gemini: ") + prefixOf("keys.gemini.unreachable")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Settings::setValue(Settings::kElevenLabsBaseUrl, c.reachable ? stt.baseUrl().toString() : nowhere);
        Settings::setValue(Settings::kGeminiBaseUrl, c.reachable ? llm.baseUrl().toString() : nowhere);
        child<QLineEdit>(window, "elevenLabsField")->setText(QLatin1String(c.speechKey));
        child<QLineEdit>(window, "geminiField")->setText(QLatin1String(c.geminiKey));
        child<QPushButton>(window, "elevenLabsVerify")->click();
        window.verify();
        ASSERT_TRUE(test::waitUntil([&] { return !window.checking(); }, 10000));
        ASSERT_TRUE(test::waitUntil([&] { return window.speechResult() != i18n::text("keys.verifying"); }, 10000))
            << window.speechResult().toStdString() << " / " << window.geminiResult().toStdString();
        EXPECT_TRUE(window.speechResult().startsWith(QStringLiteral("ElevenLabs: ") + c.speech))
            << window.speechResult().toStdString();
        EXPECT_TRUE(window.geminiResult().startsWith(c.model)) << window.geminiResult().toStdString();
        EXPECT_EQ(stored(Keychain::kElevenLabsKey), QLatin1String(c.speechKey)) << "what is checked is what is stored";
    }
}

// Closing only hides the window; shown again it keeps its status and reads the keychain afresh, so a key stored
// meanwhile (or just now) shows as stored, never as its text.
TEST_F(KeysWindowTest, ShownAgainTheWindowKeepsItsStatusAndRereadsTheKeys) {
    KeysWindow window(keychain, services());
    window.present();
    child<QLineEdit>(window, "elevenLabsField")->setText(QStringLiteral("sk_draft"));
    window.save();
    const QString status = window.status();
    EXPECT_TRUE(window.close());
    keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("AIza_elsewhere"));
    window.present();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.elevenLabs(), KeysWindow::mask());
    EXPECT_EQ(window.gemini(), KeysWindow::mask());
    EXPECT_EQ(window.status(), status);
}
