#include "ui/KeysWindow.h"
#include "core/Localization.h"
#include "secrets/Keychain.h"
#include "support/MemorySecretStore.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

using namespace quippet;

namespace {

struct KeysWindowTest : ::testing::Test {
    test::MemorySecretStore store;
    Keychain keychain{store};
    std::function<void(KeysWindow::VerifyResult)> pendingAnswer;
    int verifyCalls = 0;

    KeysWindow::VerifyFn fakeVerify() {
        return [this](std::function<void(KeysWindow::VerifyResult)> done) {
            ++verifyCalls;
            pendingAnswer = std::move(done);
        };
    }
    template <typename T> static T* child(QWidget& window, const char* name) {
        T* found = window.findChild<T*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString stored(const char* service) const { return keychain.read(QLatin1String(service)).value_or(QString()); }
    static QString savedText(const char* names) { return i18n::format("settings.status.saved", QLatin1String(names)); }
};

} // namespace

TEST_F(KeysWindowTest, StoredKeysAreMaskedAndOnlyReplacedOnesAreSaved) {
    keychain.write(QLatin1String(Keychain::kElevenLabsKey), QStringLiteral("sk_old"));
    keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("AIza_old"));
    KeysWindow window(keychain, fakeVerify());
    auto* elevenLabs = child<QLineEdit>(window, "elevenLabsField");
    auto* gemini = child<QLineEdit>(window, "geminiField");
    auto* save = child<QPushButton>(window, "saveButton");
    EXPECT_EQ(elevenLabs->text(), QString(8, QChar(0x2022))) << "the stored key itself never reaches the field";
    EXPECT_EQ(gemini->text(), KeysWindow::mask());

    save->click();
    EXPECT_EQ(window.status(), i18n::text("settings.status.unchanged"));
    EXPECT_EQ(child<QLabel>(window, "statusLabel")->text(), window.status());
    EXPECT_EQ(stored(Keychain::kGeminiKey), QStringLiteral("AIza_old"));

    // Typing after the mask still counts as the stored key; clearing a field never deletes one.
    elevenLabs->setText(KeysWindow::mask().left(2) + QStringLiteral("sk_typed"));
    gemini->clear();
    save->click();
    EXPECT_EQ(window.status(), i18n::text("settings.status.unchanged"));
    EXPECT_EQ(stored(Keychain::kElevenLabsKey), QStringLiteral("sk_old"));
    EXPECT_EQ(stored(Keychain::kGeminiKey), QStringLiteral("AIza_old"));

    // Written untrimmed; Return anywhere in the window saves.
    elevenLabs->setText(QStringLiteral(" sk_new "));
    QTest::keyClick(elevenLabs, Qt::Key_Return);
    EXPECT_EQ(window.status(), savedText("ElevenLabs"));
    EXPECT_EQ(store.readRaw(QLatin1String(Keychain::kElevenLabsKey), QLatin1String(Keychain::kAccount)),
              QStringLiteral(" sk_new "));

    // One bullet is a character of the key, not the mask.
    gemini->setText(QString(QChar(0x2022)) + QStringLiteral("AIza"));
    QTest::keyClick(&window, Qt::Key_Enter);
    EXPECT_EQ(window.status(), savedText("ElevenLabs, Gemini"));
}

TEST_F(KeysWindowTest, RefusedWriteIsReportedAsFailureNotAsSaved) {
    keychain.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("AIza_old"));
    KeysWindow window(keychain, fakeVerify());
    EXPECT_EQ(window.elevenLabs(), QString()) << "nothing stored, nothing masked";
    store.setFailWrites(true);
    child<QLineEdit>(window, "elevenLabsField")->setText(QStringLiteral("sk_new"));
    child<QLineEdit>(window, "geminiField")->setText(QStringLiteral("AIza_new"));
    window.save();
    EXPECT_EQ(window.status(), i18n::format("settings.status.failed", QStringLiteral("ElevenLabs, Gemini")));
    EXPECT_EQ(stored(Keychain::kGeminiKey), QStringLiteral("AIza_old"));
    EXPECT_EQ(window.gemini(), QStringLiteral("AIza_new")) << "the refused key stays for another try";
}

TEST_F(KeysWindowTest, VerifyListsGeminiModelsCountsAllAndShowsFailures) {
    KeysWindow window(keychain, fakeVerify());
    auto* verify = child<QPushButton>(window, "verifyButton");
    auto* list = child<QListWidget>(window, "modelList");
    ASSERT_TRUE(verify && list);

    verify->click();
    EXPECT_TRUE(window.checking());
    EXPECT_FALSE(verify->isEnabled());
    EXPECT_EQ(verify->text(), i18n::text("settings.verifying"));
    window.verify(); // a second press while checking starts nothing
    EXPECT_EQ(verifyCalls, 1);

    const QStringList names = QStringLiteral("gemini-2.5-flash embedding-001 gemini-flash-latest aqa imagen-3.0 "
                                             "gemini-2.5-pro text-bison gemma-3-27b veo-2.0 gemini-2.0-flash-lite")
                                  .split(QLatin1Char(' '));
    pendingAnswer(names);
    const QStringList expected = {QStringLiteral("gemini-2.5-flash"), QStringLiteral("gemini-flash-latest"),
                                  QStringLiteral("gemini-2.5-pro"), QStringLiteral("gemini-2.0-flash-lite")};
    EXPECT_EQ(window.models(), expected);
    EXPECT_EQ(list->count(), 4);
    EXPECT_EQ(window.status(), i18n::format("settings.status.geminiOK", i18n::formatNumber(10)));
    EXPECT_TRUE(verify->isEnabled());

    // A failure clears the previous list; a late second answer to the same check changes nothing.
    child<QLineEdit>(window, "geminiField")->setText(QStringLiteral("AIza_typed"));
    window.verify();
    EXPECT_TRUE(window.models().isEmpty());
    EXPECT_TRUE(list->isHidden());
    const auto answer = pendingAnswer;
    answer(QStringLiteral("Gemini HTTP 400: API key not valid"));
    EXPECT_EQ(window.status(), QStringLiteral("Gemini: Gemini HTTP 400: API key not valid"));
    EXPECT_EQ(window.gemini(), QStringLiteral("AIza_typed"));
    answer(QStringList{QStringLiteral("gemini-x")});
    EXPECT_TRUE(window.models().isEmpty());

    // An answer given at once (no key stored) still ends the check.
    KeysWindow instant(keychain, [](std::function<void(KeysWindow::VerifyResult)> done) { done(QStringLiteral("x")); });
    instant.verify();
    EXPECT_FALSE(instant.checking());
    EXPECT_EQ(instant.status(), QStringLiteral("Gemini: x"));
}

// Closing only hides the window; shown again it keeps its status and reads the keychain afresh, so a key stored
// meanwhile (or just now) shows as stored, never as its text.
TEST_F(KeysWindowTest, ShownAgainTheWindowKeepsItsStatusAndRereadsTheKeys) {
    KeysWindow window(keychain, fakeVerify());
    window.present();
    EXPECT_TRUE(window.isVisible());

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
