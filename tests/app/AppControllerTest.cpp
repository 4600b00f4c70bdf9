#include "AppFixture.h"
#include "app/GlobalShortcuts.h"
#include "app/Lifecycle.h"
#include "app/ToolWindows.h"
#include "platform/Commands.h"

#include "app/ListeningSession.h"
#include "app/PanelController.h"
#include "app/PreflightFlow.h"
#include "app/WelcomeFlow.h"

#include "assistant/Assistant.h"
#include "assistant/Prompts.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "peers/SttPeer.h"
#include "records/SessionStore.h"
#include "secrets/Keychain.h"
#include "speech/TranscriptBuffer.h"
#include "support/FakeHotKeyBackend.h"
#include "support/Files.h"
#include "support/Wait.h"
#include "ui/KeysWindow.h"
#include "ui/ManagerWindow.h"
#include "ui/OptionsMenu.h"
#include "ui/OverlayPanel.h"
#include "ui/PanelState.h"
#include "ui/PreflightWindow.h"
#include "ui/ProfileWindow.h"
#include "ui/RootView.h"
#include "ui/ShortcutsDialog.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTest>
#include <QUuid>

using namespace quippet;
using namespace quippet::test;
using namespace std::chrono_literals;
using Kind = ReadyState::Kind;
using K = HotKeyCenter;

namespace {

class AppControllerTest : public AppFixture {
protected:
    QList<QUrl> opened;
    int relaunches = 0;
    QStringList relaunchedWith;
    QString relaunchError;
    int quits = 0, asked = 0;
    QuitChoice quitChoice = QuitChoice::Cancel;
    std::function<bool()> askToInstall;

    void launch(bool windows = false) {
        AppEnvironment env = environment(windows);
        env.relaunch = [this](const QString& binary) {
            ++relaunches;
            relaunchedWith << binary;
            return relaunchError;
        };
        env.quit = [this] { ++quits; };
        env.askBeforeQuit = [this] {
            ++asked;
            return quitChoice;
        };
        env.askToInstall = askToInstall;
        env.openUrl = [this](const QUrl& url) { opened << url; };
        env.screenCaptureProbe = [] { return true; };
        start(std::move(env));
    }
    void writeProfile() {
        QDir().mkpath(home.filePath(QStringLiteral("quippet-context")));
        QFile f(home.filePath(QStringLiteral("quippet-context/o-mnie.md")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("# Ania\nSprzedaję wdrożenia CRM dla firm produkcyjnych od ośmiu lat, prowadzę zespół wdrożeniowy.\n");
    }
    ReadyState ready() const { return app->state().ready(); }
};

TEST_F(AppControllerTest, ReadinessFollowsTokenPermissionsAndProfile) {
    launch();
    EXPECT_EQ(ready().kind, Kind::NeedsLogin);

    // A stored token counts even while the published sign-in state says signed out.
    signIn();
    audio->setInput(PermissionState::Denied);
    app->capture().screenCaptureProbe = [] { return false; };
    app->capture().refreshPermissions();
    app->welcome().refresh();
    ASSERT_EQ(ready().kind, Kind::MissingPermissions);
    EXPECT_EQ(ready().permissions, (QStringList{i18n::text("perm.microphone"), i18n::text("perm.screen")}));
    EXPECT_STREQ(ready().secondaryActionKey(), "welcome.action.restart");
    app->welcome().primaryAction();
    EXPECT_EQ(readFile(home.filePath(QStringLiteral("quippet-debug.log"))).count("mikrofon: otwieram"), 1)
        << "the microphone first";
    app->welcome().secondaryAction();
    EXPECT_EQ(relaunches, 1);

    audio->setInput(PermissionState::Granted);
    ASSERT_TRUE(waitUntil([&] { return ready().permissions.size() == 1; }, 2000)) << "a permission change re-evaluates";
    EXPECT_EQ(ready().permissions, QStringList{i18n::text("perm.screen")});

    app->capture().screenCaptureProbe = [] { return true; };
    app->capture().refreshPermissions();
    app->welcome().refresh();
    EXPECT_EQ(ready().kind, Kind::SetupProfile);

    // Skipping the profile step is remembered.
    app->welcome().secondaryAction();
    EXPECT_TRUE(Settings::boolValue(Settings::kOnboardingSkipped, false));
    EXPECT_EQ(ready().kind, Kind::Ready);
}

TEST_F(AppControllerTest, TheWelcomeActionSignsInThroughTheBrowser) {
    launch();
    ASSERT_EQ(ready().kind, Kind::NeedsLogin);
    // Confirmed in the browser, then the browser returns to quippet://auth.
    app->welcome().primaryAction();
    ASSERT_TRUE(waitUntil([&] { return !opened.isEmpty(); }));
    EXPECT_EQ(peer.http().requestsTo(QStringLiteral("/api/auth/device/start")).size(), 1);
    peer.confirm();
    app->openUrls({QUrl(QStringLiteral("quippet://elsewhere/x")), QUrl(QStringLiteral("quippet://auth?done=1"))});
    ASSERT_TRUE(waitUntil([&] { return Keychain(secrets).hasBackendToken(); }));
    EXPECT_EQ(readFile(home.filePath(QStringLiteral("quippet-debug.log"))).count("powrót z przeglądarki"), 1)
        << "only quippet://auth";
    ASSERT_TRUE(
        waitUntil([&] { return ready().kind == Kind::MissingPermissions || ready().kind == Kind::SetupProfile; }));
    // The team's documents are asked for at once, not at the next launch.
    EXPECT_TRUE(waitUntil([&] { return !peer.http().requestsTo(QStringLiteral("/api/context")).isEmpty(); }));
}

// The way in is a backend token or both own keys; without either, the face offers both routes, the configured
// server's first when an address was set.
TEST_F(AppControllerTest, TheWayInIsATokenOrBothOwnKeys) {
    struct Case {
        const char* name;
        bool token, speechKey, geminiKey, address;
        bool needsWayIn;
        const char* primary; // the face's first route when it needs one
    };
    const Case cases[] = {
        {"token", true, false, false, true, false, nullptr},
        {"own keys", false, true, true, false, false, nullptr},
        {"own keys, server configured", false, true, true, true, false, nullptr},
        {"speech key only", false, true, false, false, true, "welcome.action.ownKeys"},
        {"model key only, server configured", false, false, true, true, true, "welcome.action.server"},
        {"nothing", false, false, false, false, true, "welcome.action.ownKeys"},
        {"nothing, server configured", false, false, false, true, true, "welcome.action.server"},
    };
    writeProfile();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Keychain keys(secrets);
        for (const char* service : {Keychain::kBackendToken, Keychain::kElevenLabsKey, Keychain::kGeminiKey})
            keys.remove(QLatin1String(service));
        if (c.token)
            signIn();
        if (c.speechKey)
            keys.write(QLatin1String(Keychain::kElevenLabsKey), QStringLiteral("sk_own"));
        if (c.geminiKey)
            keys.write(QLatin1String(Keychain::kGeminiKey), QStringLiteral("AIza_own"));
        if (c.address)
            qputenv("QUIPPET_BACKEND", peer.baseUrl().toString().toUtf8());
        else
            qunsetenv("QUIPPET_BACKEND");
        launch();
        EXPECT_EQ(ready().kind == Kind::NeedsLogin, c.needsWayIn);
        if (c.primary) {
            EXPECT_STREQ(ready().actionKey(), c.primary);
            EXPECT_EQ(ready().server.isEmpty(), !c.address) << "no address is offered unless one was set";
        }
    }
}

// The server route takes only an address it can trust, and names one that does not answer; own keys stay one click
// away.
TEST_F(AppControllerTest, TheServerRouteTakesOnlyASafeAddressAndOwnKeysStayOneClickAway) {
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QString nowhere = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    // No address configured: the server route asks for an address before anything is sent.
    qunsetenv("QUIPPET_BACKEND");
    launch();
    app->welcome().secondaryAction();
    EXPECT_EQ(ready().kind, Kind::LoginFailed);
    EXPECT_EQ(ready().message, i18n::text("server.error.empty"));
    EXPECT_TRUE(peer.http().requestsTo(QStringLiteral("/api/auth/device/start")).isEmpty());

    // An address that is not https stays unused; an accepted one is remembered and signed in to.
    app->welcome().signInTo(QStringLiteral("http://example.com"));
    EXPECT_EQ(ready().message, i18n::format("server.error.insecure", QStringLiteral("http://example.com")));
    EXPECT_FALSE(Settings::string(Settings::kBackendBaseUrl));
    app->welcome().signInTo(peer.baseUrl().toString());
    EXPECT_EQ(ready().kind, Kind::WaitingForBrowser);
    ASSERT_TRUE(waitUntil([&] { return !opened.isEmpty(); }));
    EXPECT_EQ(Settings::string(Settings::kBackendBaseUrl), peer.baseUrl().toString());
    app->welcome().primaryAction(); // cancel the wait
    EXPECT_EQ(ready().kind, Kind::NeedsLogin);

    app->welcome().signInTo(nowhere);
    ASSERT_TRUE(waitUntil([&] { return ready().kind == Kind::LoginFailed; }));
    EXPECT_EQ(ready().message, i18n::format("login.error.unreachableAt", QUrl(nowhere).toString()));
    EXPECT_STREQ(ready().secondaryActionKey(), "welcome.action.ownKeys");
    app->welcome().secondaryAction();
    EXPECT_TRUE(app->windows().keys()->isVisible());
    EXPECT_EQ(ready().kind, Kind::NeedsLogin) << "the failure is set aside";

    // Keys stored from the menu after another failed attempt: the failure gives way to them.
    app->welcome().signInTo(nowhere);
    ASSERT_TRUE(waitUntil([&] { return ready().kind == Kind::LoginFailed; }));
    app->windows().keys()->findChild<QLineEdit*>(QStringLiteral("elevenLabsField"))->setText(QStringLiteral("sk_own"));
    app->windows().keys()->findChild<QLineEdit*>(QStringLiteral("geminiField"))->setText(QStringLiteral("AIza_own"));
    app->windows().keys()->save();
    EXPECT_NE(ready().kind, Kind::LoginFailed);
    EXPECT_NE(ready().kind, Kind::NeedsLogin);
}

// A new user with neither token nor keys stores both keys in the keys window, walks the welcome face to the panel,
// and the speech service hears from them with their own key.
TEST_F(AppControllerTest, ANewUserOnOwnKeysReachesAListeningPanel) {
    SttPeer stt;
    ASSERT_TRUE(stt.start());
    stt.setApiKey(QStringLiteral("sk_newcomer"));
    Settings::setValue(Settings::kElevenLabsBaseUrl, stt.baseUrl().toString());
    qunsetenv("QUIPPET_BACKEND");
    realTranscription = true;
    launch();
    app->welcome().primaryAction();
    KeysWindow* keys = app->windows().keys();
    keys->findChild<QLineEdit*>(QStringLiteral("elevenLabsField"))->setText(QStringLiteral("sk_newcomer"));
    keys->findChild<QLineEdit*>(QStringLiteral("geminiField"))->setText(QStringLiteral("AIza_newcomer"));
    keys->findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
    app->welcome().secondaryAction(); // the profile later
    app->welcome().primaryAction();
    EXPECT_FALSE(app->state().showingWelcome());
    ASSERT_TRUE(waitUntil([&] { return stt.acceptedCount() >= 1; }, 5000));
    EXPECT_EQ(stt.connections().first().apiKey, QStringLiteral("sk_newcomer"));
    EXPECT_TRUE(peer.http().requestsTo(QStringLiteral("/api/session/start")).isEmpty()) << "nothing is metered";
    app->session().stop();
}

TEST_F(AppControllerTest, MeteredListeningHeartbeatAndLimit) {
    signIn();
    writeProfile();
    peer.account().tier = QStringLiteral("free");
    peer.account().maxSeconds = 45;
    launch();
    ASSERT_EQ(ready().kind, Kind::Ready);

    app->welcome().primaryAction(); // enter work mode and open a backend session
    // A second press while the session is being opened waits for it: never a second metered session.
    ASSERT_TRUE(app->session().starting());
    app->session().toggle();
    app->session().begin();
    ASSERT_TRUE(waitUntil([&] { return app->capture().transcriptionEnabled(); }));
    app->session().begin();
    QCoreApplication::processEvents();
    EXPECT_EQ(peer.sessions().size(), 1);
    // One context pull at launch and one for this start: the extra presses started nothing.
    EXPECT_EQ(peer.http().requestsTo(QStringLiteral("/api/context")).size(), 2);

    clock.advance(30s);
    ASSERT_TRUE(
        waitUntil([&] { return peer.http().requestsTo(QStringLiteral("/api/session/heartbeat")).size() == 1; }));

    // The allowance runs out at 45 s: the limit timer stops listening and closes the session.
    clock.advance(15s);
    EXPECT_FALSE(app->capture().transcriptionEnabled());
    EXPECT_FALSE(app->session().heartbeatRunning());
    EXPECT_FALSE(app->session().limitTimerRunning());
    EXPECT_EQ(app->state().notice(), i18n::text("session.freeLimit"));
    ASSERT_TRUE(waitUntil([&] { return !peer.sessions().isEmpty() && peer.sessions().first().ended; }));
    EXPECT_EQ(peer.sessions().first().secondsUsed, 45);

    // A late limit while not listening changes nothing.
    app->state().flash(QStringLiteral("x"));
    app->session().hitLimit();
    EXPECT_EQ(app->state().notice(), QStringLiteral("x"));
}

// A session refused for want of credit, or granted with no seconds in it: no listening, and the panel says why.
TEST_F(AppControllerTest, NoTimeLeftKeepsListeningOff) {
    signIn();
    writeProfile();
    for (const auto& [remaining, maxSeconds] : {std::pair{0, 1800}, std::pair{3600, 0}}) {
        SCOPED_TRACE(maxSeconds);
        peer.account().secondsRemaining = remaining;
        peer.account().maxSeconds = maxSeconds;
        app.reset();
        launch();
        app->session().begin();
        EXPECT_EQ(app->state().notice(), i18n::text("session.opening"));
        ASSERT_TRUE(waitUntil([&] { return app->state().notice() == i18n::text("session.error.noCredit"); }));
        EXPECT_FALSE(app->capture().transcriptionEnabled());
        EXPECT_FALSE(app->session().heartbeatRunning());
    }
}

// What the client's transcription client hears reaches the transcript under the client's name and the assistant as
// a question; the user's own words are theirs.
TEST_F(AppControllerTest, AClientsQuestionHeardReachesTheAssistant) {
    launch();
    app->session().begin();
    ASSERT_EQ(transcribers.size(), 2);
    FakeTranscriber* client =
        transcribers[0]->setup.label == QLatin1String("KLIENT") ? transcribers[0] : transcribers[1];
    FakeTranscriber* me = client == transcribers[0] ? transcribers[1] : transcribers[0];
    emit me->transcript(QStringLiteral("Dzień dobry."), true);
    emit client->transcript(QStringLiteral("Ile kosztuje wdrożenie?"), true);
    ASSERT_EQ(app->transcript().utterances().size(), 2);
    EXPECT_EQ(app->transcript().utterances()[0].speaker, Utterance::Speaker::Me);
    EXPECT_EQ(app->transcript().utterances()[1].speaker, Utterance::Speaker::Client);
    EXPECT_EQ(llm.count(), 1) << "a committed question is asked at once";
    // A question still being said is asked early once the client has been quiet a moment.
    emit client->transcript(QStringLiteral("A jak długo trwa wdrożenie?"), false);
    clock.advance(1s);
    EXPECT_EQ(llm.count(), 2);

    // Own keys: listening is not metered, and a call seen meanwhile does not interrupt it.
    EXPECT_FALSE(app->session().heartbeatRunning() || app->session().limitTimerRunning());
    EXPECT_EQ(app->state().elapsedText(), QStringLiteral("0:01"));
    app->meetingDetected();
    EXPECT_EQ(app->state().notice(), QString());
    app->session().stop();
    EXPECT_FALSE(app->capture().transcriptionEnabled());
    EXPECT_TRUE(peer.http().requestsTo(QStringLiteral("/api/session/end")).isEmpty());
}

TEST_F(AppControllerTest, FinishingStoresTheConversationAndStartsANewOne) {
    launch();
    app->session().finish();
    EXPECT_EQ(app->state().notice(), i18n::text("notice.noConversation"));
    EXPECT_EQ(llm.count(), 0);

    app->transcript().add(Utterance::Speaker::Me, QStringLiteral("Dzień dobry, mówi Ania z firmy Kwadrat."), true);
    clock.advance(10s);
    app->transcript().add(Utterance::Speaker::Me, QStringLiteral("Wdrożenie trwa sześć tygodni."), true);
    app->session().finish();
    EXPECT_EQ(app->state().notice(), i18n::text("notice.summarizing"));
    ASSERT_GE(llm.count(), 1);
    // Listening cannot resume into a conversation whose note is still being written.
    app->session().begin();
    EXPECT_FALSE(app->capture().transcriptionEnabled());
    llm.reply({QStringLiteral("## Podsumowanie\n"), QStringLiteral("Klient pyta o termin.")});

    ASSERT_TRUE(waitUntil([&] { return app->transcript().isEmpty(); }, 3000));
    const QStringList notes =
        QDir(home.filePath(QStringLiteral("quippet-rozmowy"))).entryList({QStringLiteral("*.md")});
    ASSERT_EQ(notes.size(), 1);
    EXPECT_EQ(app->state().notice(), i18n::format("notice.saved", notes.first()));
    const QString text = QString::fromUtf8(readFile(home.filePath(QStringLiteral("quippet-rozmowy/") + notes.first())));
    EXPECT_TRUE(text.contains(QStringLiteral("Klient pyta o termin.")));
    EXPECT_TRUE(text.contains(QStringLiteral("Wdrożenie trwa sześć tygodni.")));
    EXPECT_EQ(app->state().elapsed(), 0);
    EXPECT_FALSE(app->state().clockRunning());
}

TEST_F(AppControllerTest, ANoteThatCannotBeWrittenKeepsTheConversation) {
    launch();
    // The conversations folder cannot be created: a file stands in its place.
    QDir(home.filePath(QStringLiteral("quippet-rozmowy"))).removeRecursively();
    QFile blocker(home.filePath(QStringLiteral("quippet-rozmowy")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    app->transcript().add(Utterance::Speaker::Client, QStringLiteral("Ile kosztuje licencja?"), true);
    app->session().finish();
    ASSERT_GE(llm.count(), 1);
    llm.reply({QStringLiteral("Podsumowanie.")});
    ASSERT_TRUE(waitUntil([&] { return app->state().notice() == i18n::text("notice.saveFailed"); }, 3000));
    EXPECT_FALSE(app->session().finishing());

    // A summary that fails (no model key, offline, over quota) still keeps the whole conversation, marked as such.
    blocker.remove();
    app->session().finish();
    ASSERT_TRUE(app->session().finishing());
    llm.finish(llm.count() - 1, QStringLiteral("HTTP 500"));
    ASSERT_TRUE(waitUntil([&] { return !app->session().finishing(); }, 3000));
    EXPECT_TRUE(app->transcript().isEmpty());
    ASSERT_EQ(app->sessions().history().size(), 1);
    const SessionMeta stored = app->sessions().history().first();
    EXPECT_TRUE(stored.noSummary);
    EXPECT_EQ(app->state().notice(), i18n::format("notice.savedNoSummary", *stored.summaryFile));
    const QString text =
        QString::fromUtf8(readFile(home.filePath(QStringLiteral("quippet-rozmowy/") + *stored.summaryFile)));
    EXPECT_TRUE(text.contains(i18n::text("file.summary.missing")));
    EXPECT_TRUE(text.contains(QStringLiteral("Ile kosztuje licencja?")));
}

// Quitting mid-call asks first; either way the metered session is closed with the seconds used before the program
// ends, and a backend that does not answer delays the end only a bounded time.
TEST_F(AppControllerTest, QuittingMidCallAsksKeepsTheConversationAndClosesTheMeteredSession) {
    signIn();
    writeProfile();
    launch();
    auto listenFor = [&](std::chrono::seconds talk) {
        app->session().begin();
        ASSERT_TRUE(waitUntil([&] { return app->capture().transcriptionEnabled(); }));
        app->transcript().add(Utterance::Speaker::Client, QStringLiteral("Ile kosztuje licencja?"), true);
        clock.advance(talk);
    };
    listenFor(20s);
    app->lifecycle().quit();
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(app->capture().transcriptionEnabled());

    quitChoice = QuitChoice::FinishAndSave;
    app->lifecycle().quit();
    EXPECT_FALSE(app->capture().transcriptionEnabled());
    ASSERT_GE(llm.count(), 1);
    llm.finish(llm.count() - 1, QStringLiteral("Brak klucza."));
    ASSERT_TRUE(waitUntil([&] { return quits == 1; }));
    EXPECT_EQ(peer.sessions().last().secondsUsed, 20);
    ASSERT_EQ(app->sessions().history().size(), 1);

    peer.http().route("POST", QStringLiteral("/api/session/end"), HttpResponse{200, {}, {}, false, true});
    listenFor(7s);
    quitChoice = QuitChoice::QuitWithoutSaving;
    app->lifecycle().quit();
    ASSERT_TRUE(waitUntil([&] { return peer.http().requestsTo(QStringLiteral("/api/session/end")).size() == 2; }));
    EXPECT_EQ(quits, 1) << "waiting for the backend";
    EXPECT_TRUE(peer.http().requestsTo(QStringLiteral("/api/session/end")).last().body.contains("\"secondsUsed\":7"));
    clock.advance(ListeningSession::kCloseWait);
    EXPECT_EQ(quits, 2);
    EXPECT_EQ(app->sessions().history().size(), 1) << "dropped as asked";
}

TEST_F(AppControllerTest, FactsAndModeSetInTheManagerReachTheNextAnswer) {
    launch();
    app->windows().showManager();
    ManagerWindow* manager = app->windows().manager();
    QTest::keyClicks(manager->findChild<QLineEdit*>(QStringLiteral("companyField")), QStringLiteral("Acme"));
    manager->findChild<QRadioButton*>(QStringLiteral("modeOceniająca"))->click();
    ASSERT_TRUE(waitUntil([&] { return !app->assistant()->modeRules().isEmpty(); }, 2000));
    app->transcript().add(Utterance::Speaker::Client, QStringLiteral("Jak Pan by to wdrożył?"), true);
    app->assistant()->aiAnswer();
    ASSERT_EQ(llm.count(), 1);
    EXPECT_TRUE(llm.last().system.contains(QStringLiteral("Firma klienta: Acme")));
    EXPECT_TRUE(llm.last().system.contains(Prompts::evaluationRules()));

    // One window for the life of the process; the chosen tab stays.
    manager->setTab(ManagerWindow::History);
    manager->close();
    app->windows().showManager();
    EXPECT_EQ(app->windows().manager(), manager);
    EXPECT_EQ(manager->tab(), ManagerWindow::History);

    app->state().setReady(ReadyState::of(Kind::SetupProfile));
    app->welcome().primaryAction();
    ASSERT_NE(app->windows().profile(), nullptr);
    EXPECT_TRUE(app->windows().profile()->isVisible()) << "the welcome flow's profile step opens the profile window";
}

TEST_F(AppControllerTest, PreflightIsReachedFromBothMenusAndOfferedOnceWhenDue) {
    launch(true);
    // A call seems to start and no check was ever run: the window is offered, not run.
    app->meetingDetected();
    EXPECT_EQ(app->state().notice(), i18n::text("notice.meetingDetected"));
    ASSERT_NE(app->preflight()->window(), nullptr);
    PreflightWindow* window = app->preflight()->window();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("preflightIntro"))->text(), i18n::text("preflight.offer"));
    EXPECT_FALSE(app->preflight()->check().running());
    window->hide();
    app->meetingDetected();
    EXPECT_FALSE(window->isVisible()) << "offered once per run";

    // Both menus carry the entry; it opens the window and runs the check.
    const QList<OptionsMenu*> menus = app->panels().panel()->findChildren<OptionsMenu*>();
    ASSERT_EQ(menus.size(), 2);
    for (OptionsMenu* menu : menus) {
        menu->rebuild();
        QAction* entry = menu->findChild<QAction*>(QStringLiteral("menu.preflight"));
        ASSERT_NE(entry, nullptr);
    }
    menus.first()->findChild<QAction*>(QStringLiteral("menu.preflight"))->trigger();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(app->preflight()->check().running());

    // Nothing is decided without an answer; the deadline decides the rest.
    clock.advance(PreflightCheck::kTimeout);
    EXPECT_FALSE(app->preflight()->check().running());
    EXPECT_TRUE(window->findChild<QPushButton*>(QStringLiteral("runButton"))->isEnabled());
    // No key is stored: the model line offers the keys window, and its button opens it.
    const PreflightRow model = window->rows().at(int(PreflightLine::Item::LanguageModel));
    EXPECT_EQ(model.state, PreflightRow::State::Failed);
    EXPECT_EQ(model.fixLabel, i18n::text("preflight.fix.keys"));
    auto* fix = window->findChild<QPushButton*>(QStringLiteral("fix%1").arg(int(PreflightLine::Item::LanguageModel)));
    ASSERT_NE(fix, nullptr);
    EXPECT_EQ(fix->text(), model.fixLabel);
    fix->click();
    ASSERT_NE(app->windows().keys(), nullptr);
    EXPECT_TRUE(app->windows().keys()->isVisible());
    EXPECT_FALSE(PreflightCheck::isDue(clock.nowMs()));
    // The launcher's action runs it again.
    app->runCommand(QStringLiteral("--check"));
    EXPECT_TRUE(app->preflight()->check().running());
}

// Every command of the table reaches the object that does it, whichever way it comes; a flag naming none is not
// taken for a command (the hand-off then treats it as a URL).
TEST_F(AppControllerTest, EveryCommandIsWiredAndItsFlagRunsIt) {
    launch();
    EXPECT_FALSE(app->runCommand(QStringLiteral("--no-such-command")));
    EXPECT_FALSE(app->runCommand(QStringLiteral("answer")));
    ASSERT_FALSE(app->assistant()->hasCards());
    EXPECT_TRUE(app->runCommand(QStringLiteral("--answer")));
    EXPECT_TRUE(app->assistant()->hasCards()) << "nothing said yet: the card says so";
    EXPECT_EQ(std::pair(app->rateGate().limit(), app->rateGate().window()), std::pair(60, 60000ms)) << "one gate";
    for (const Commands::Command& command : Commands::table()) {
        SCOPED_TRACE(command.name);
        QAction* action = app->commands().action(QLatin1String(command.name));
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->text(), i18n::text(command.textKey));
        // Cutting its connections finds one: something does the command.
        EXPECT_TRUE(QObject::disconnect(action, &QAction::triggered, nullptr, nullptr));
    }
}

// The panel itself, offscreen.
TEST_F(AppControllerTest, PanelSizesAndPlacement) {
    launch(true);
    OverlayPanel* panel = app->panels().panel();
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->size(), PanelController::kWelcomeSize);
    EXPECT_TRUE(panel->windowFlags() & Qt::Tool);
    EXPECT_TRUE(panel->windowFlags() & Qt::WindowStaysOnTopHint);
    auto* root = panel->findChild<RootView*>();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->face(), RootView::Face::Welcome);

    // Collapsing keeps the top-right corner.
    const QRect before = panel->geometry();
    app->panels().toggleCollapse();
    EXPECT_EQ(panel->size(), PanelController::kCollapsedSize);
    EXPECT_EQ(panel->geometry().topRight(), before.topRight());
    app->panels().toggleCollapse();

    app->enterWorkMode();
    EXPECT_EQ(root->face(), RootView::Face::Working);
    EXPECT_EQ(panel->size(), QSize(800, app->panels().baseHeight()));

    // The first answer card grows the panel downwards, keeping its top-left corner.
    const QPoint topLeft = panel->pos();
    app->assistant()->aiAnswer();
    ASSERT_TRUE(app->assistant()->hasCards());
    EXPECT_EQ(panel->size(), QSize(800, 640));
    EXPECT_EQ(panel->pos(), topLeft);
    // Closing the answers gives the screen back.
    QTest::mouseClick(panel->findChild<QAbstractButton*>(QStringLiteral("answerClose")), Qt::LeftButton);
    EXPECT_EQ(panel->size(), QSize(800, app->panels().baseHeight()));

    app->panels().toggleVisibility();
    EXPECT_FALSE(panel->isVisible());
    app->panels().toggleVisibility();
    EXPECT_TRUE(panel->isVisible());
}

TEST_F(AppControllerTest, InstallationOfferFromOutsideAnInstalledLocation) {
    struct Row {
        bool owner;
        bool accept;
        bool asked, installed, launched;
        const char* relaunchError = ""; // the installed copy could not start (a home mounted noexec)
    };
    for (const Row& row : {Row{true, true, false, false, true}, Row{false, false, true, false, true},
                           Row{false, true, true, true, false}, Row{false, true, true, true, true, "noexec"}}) {
        relaunchError = QString::fromUtf8(row.relaunchError);
        TempHome own; // each row its own home, so nothing is installed yet
        Settings::setValue(Settings::kOwnerMode, row.owner);
        bool asked = false;
        askToInstall = [&] {
            asked = true;
            return row.accept;
        };
        relaunchedWith.clear();
        app.reset();
        launch();
        const QString installed = own.filePath(QStringLiteral(".local/bin/quippet"));
        EXPECT_EQ(asked, row.asked) << row.owner << row.accept;
        EXPECT_EQ(QFileInfo(installed).isExecutable(), row.installed);
        EXPECT_EQ(app->launched(), row.launched);
        // Only an install relaunches, and then from the installed copy.
        EXPECT_EQ(relaunchedWith, row.installed ? QStringList{installed} : QStringList{});
        if (*row.relaunchError) { // says why, and runs on from here
            EXPECT_EQ(app->state().notice(), i18n::format("notice.relaunchFailed", relaunchError));
        }
    }
}

// Without a graphical session the version and the help still answer, and anything else ends with one plain line
// rather than the toolkit's abort.
TEST(CommandLineTest, AnswersWithoutADesktop) {
    struct Case {
        QStringList args;
        int exitCode;
        const char* out; // what standard output starts with
        const char* err; // the whole of standard error
    };
    const Case cases[] = {
        {{QStringLiteral("--version")}, 0, "Quippet " QUIPPET_VERSION_TEXT "\n", ""},
        {{QStringLiteral("--help")}, 0, "Usage: quippet", ""},
        {{}, 1, "", "Quippet needs a graphical desktop session\n"},
        {{QStringLiteral("--answer")}, 1, "", "Quippet needs a graphical desktop session\n"},
    };
    TempHome home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(QUIPPET_BINARY), c.args);
        ASSERT_TRUE(process.waitForFinished(20'000));
        EXPECT_EQ(process.exitCode(), c.exitCode);
        const QByteArray out = process.readAllStandardOutput();
        EXPECT_TRUE(out.startsWith(c.out));
        EXPECT_EQ(process.readAllStandardError(), QByteArray(c.err));
        for (const Commands::Command& command : Commands::table())
            EXPECT_TRUE(c.args != QStringList{QStringLiteral("--help")} ||
                        out.contains(QByteArray("  --") + command.name + ' '))
                << command.name;
    }
}

// A relaunch starts the new process while the old one is still quitting: the new one must wait for it to be gone
// and then take over, not hand its start to the dying process and leave nothing running.
TEST(RelaunchTest, TheNewProcessTakesOverOnceTheOldOneHasGone) {
    TempHome home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUIPPET_INSTANCE"),
               QStringLiteral("quippet-relaunch-") + QUuid::createUuid().toString(QUuid::Id128));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QUIPPET_BACKEND"), QStringLiteral("http://127.0.0.1:9"));
    env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + home.filePath(QStringLiteral("no-pulse")));
    env.insert(QStringLiteral("QUIPPET_OWNER"), QStringLiteral("1")); // a build tree is offered an install otherwise
    auto start = [&](QProcess& process, const QStringList& args) {
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(QUIPPET_BINARY), args);
        return process.waitForStarted(10'000);
    };
    const QString logPath = home.filePath(QStringLiteral("quippet-debug.log"));
    auto logged = [&](const char* text) {
        QFile log(logPath);
        return log.open(QIODevice::ReadOnly) ? int(log.readAll().count(text)) : 0;
    };

    QProcess old;
    ASSERT_TRUE(start(old, {}));
    ASSERT_TRUE(waitUntil([&] { return logged("start: Quippet") == 1; }, 20'000));
    QProcess fresh;
    ASSERT_TRUE(start(fresh, {QStringLiteral("--after"), QString::number(old.processId())}));
    // While the old one runs, the new one neither hands its start over to it nor gives up.
    ASSERT_FALSE(fresh.waitForFinished(3000));
    old.terminate();
    ASSERT_TRUE(old.waitForFinished(10'000));
    ASSERT_TRUE(waitUntil([&] { return logged("start: Quippet") == 2; }, 20'000)) << "the new process took over";

    // A command-line action and a browser's URL now reach the new instance; the process that carried them ends.
    QProcess action;
    ASSERT_TRUE(start(action, {QStringLiteral("--toggle-panel"), QStringLiteral("quippet://auth?code=abc")}));
    ASSERT_TRUE(action.waitForFinished(20'000));
    EXPECT_EQ(action.exitCode(), 0);
    EXPECT_TRUE(waitUntil([&] { return logged("polecenie: --toggle-panel") == 1; }, 10'000));
    EXPECT_TRUE(waitUntil([&] { return logged("powrót z przeglądarki") == 1; }, 10'000));
    EXPECT_EQ(fresh.state(), QProcess::Running);
    fresh.terminate();
    fresh.waitForFinished(10'000);
}

// The controller with a recording hot-key backend in place of the desktop's.
class HotKeyTableTest : public AppFixture {
protected:
    FakeHotKeyBackend::Log log;
    FakeHotKeyBackend* keys = nullptr;

    void launch() {
        AppEnvironment env = environment(false);
        env.makeHotKeyBackend = [this] {
            auto backend = std::make_unique<FakeHotKeyBackend>(log);
            keys = backend.get();
            return backend;
        };
        start(std::move(env));
    }
};

TEST_F(HotKeyTableTest, LaunchRegistersTheTableOnceAndEachKeyReachesItsAction) {
    launch();
    EXPECT_EQ(log.grabs, (QList<Grab>{{1, K::kKeyReturn, K::kSuper},
                                      {2, K::kKeyReturn, K::kSuper | K::kShift},
                                      {3, K::kKeyH, K::kSuper | K::kAlt},
                                      {5, K::kKeyR, K::kSuper | K::kAlt}}));
    app->shortcuts().start({});
    EXPECT_EQ(log.grabs.size(), 4);
    EXPECT_FALSE(app->shortcuts().triggers().value(3).isEmpty());

    keys->press(3);
    QCoreApplication::processEvents();
    EXPECT_TRUE(app->state().collapsed());

    // Super+Return with nothing said yet answers with the "no transcript" card.
    ASSERT_FALSE(app->assistant()->hasCards());
    keys->press(1);
    QCoreApplication::processEvents();
    EXPECT_TRUE(app->assistant()->hasCards());

    // The controller going away with a press in flight: the action must not reach the dead controller.
    keys->press(3);
    app.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(log.ungrabs.size(), 4);
}

// Shortcuts that do not work are said once in the panel: a card whose text (what its copy button takes) is the
// commands to bind; the state per shortcut is kept for the Shortcuts… window.
TEST_F(HotKeyTableTest, ShortcutsThatDoNotWorkAreToldOnACardWithTheCommands) {
    log.heldElsewhere << std::pair{K::kKeyH, K::kSuper | K::kAlt};
    launch();
    EXPECT_TRUE(app->shortcuts().triggers().value(3).isEmpty());
    EXPECT_EQ(app->shortcuts().triggers().value(1), QStringLiteral("Super+Return"));
    ASSERT_EQ(app->assistant()->cards().size(), 1);
    EXPECT_EQ(app->assistant()->cards().first().kind, i18n::text("shortcuts.kind"));
    EXPECT_EQ(app->assistant()->cards().first().text, shortcuts::commands());
    EXPECT_TRUE(shortcuts::commands().contains(QStringLiteral("quippet --answer")));
}

} // namespace
