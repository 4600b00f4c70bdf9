// The panel's faces offscreen, driven through their controls' object names as a user (or a screen reader) would.
#include "ui/OverlayView.h"
#include "core/Localization.h"
#include "support/PanelWorld.h"
#include "ui/AnswerPanel.h"
#include "ui/LevelOrb.h"
#include "ui/OptionsMenu.h"
#include "ui/OverlayPanel.h"
#include "ui/RootView.h"

#include <gtest/gtest.h>

#include "platform/Commands.h"
#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QScrollBar>
#include <QTest>

#include <QTextCursor>
#include <QTextDocument>

using namespace quippet;
using namespace std::chrono_literals;

namespace {

class OverlayViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        PanelContext context;
        context.commands = &commands;
        QObject::connect(commands.action(u"toggle-listening"), &QAction::triggered, [this] { ++toggles; });
        context.openUrl = [this](const QUrl& url) { opened << url; };
        context.hasBackendToken = [] { return true; };
        root = new RootView(std::move(context), world.models());
        panel = std::make_unique<OverlayPanel>(root);
        world.state.setShowingWelcome(false);
        panel->setContentSize(QSize(800, 640));
        panel->show();
    }
    template <typename T = QAbstractButton> T* find(const char* name) {
        T* found = root->findChild<T*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    void click(const char* name) {
        QTest::mouseClick(find(name), Qt::LeftButton);
        QApplication::processEvents();
    }
    static QString longText(int paragraphs) {
        QString text;
        for (int i = 0; i < paragraphs; ++i)
            text += QStringLiteral("Akapit %1 o wdrożeniu, kosztach i terminach.\n\n").arg(i);
        return text;
    }

    Commands commands;
    test::PanelWorld world;
    RootView* root = nullptr;
    std::unique_ptr<OverlayPanel> panel;
    int toggles = 0;
    QList<QUrl> opened;
};

TEST_F(OverlayViewTest, AReaderKeepsTheirPlaceWhileTheStreamFollowsTheEnd) {
    world.answer({longText(60)});
    QApplication::processEvents();
    QScrollBar* bar = find<AnswerBody>("answerBody")->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 200);
    bar->setValue(bar->maximum() / 2);
    const int place = bar->value();

    // Ticks of the clock, a partial transcript and a notice change other parts of the panel only.
    for (int second = 0; second < 5; ++second) {
        world.state.setElapsed(second);
        world.transcript.add(Utterance::Speaker::Client, QStringLiteral("czy to %1").arg(second), false);
        world.clock.advance(1s);
    }
    world.state.flash(QStringLiteral("uwaga"));
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), place);

    // A new answer streams: the view stays at its end until the reader scrolls up, then stays where they are,
    // also once the stream has ended.
    world.answer({longText(30)}, false);
    const int request = world.llm.count() - 1;
    auto* body = find<AnswerBody>("answerBody");
    QApplication::processEvents();
    EXPECT_TRUE(body->showsEnd());
    world.llm.chunk(request, longText(10));
    QApplication::processEvents();
    EXPECT_TRUE(body->showsEnd());
    world.llm.chunk(request, QStringLiteral("Ostatni akapit"));
    EXPECT_EQ(body->lastRenderedUnits(), 2) << "only the new lines are laid out";
    bar->setValue(40);
    world.llm.chunk(request, longText(10));
    world.llm.finish(request);
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), 40);
    EXPECT_FALSE(body->showsEnd());
}

// At the end when the text first outgrows the view, the reader stays at the end as the answer grows on.
TEST_F(OverlayViewTest, TheCardFollowsFromTheFragmentThatFirstMakesItScroll) {
    // As in the program: the panel is a strip until the first card makes it grow.
    panel->setContentSize(QSize(800, 116));
    QApplication::processEvents();
    QObject::connect(&world.assistant, &Assistant::cardsChanged, panel.get(),
                     [this] { panel->setContentSize(QSize(800, 640)); });
    world.answer({QStringLiteral("Krótko.")}, false);
    const int request = world.llm.count() - 1;
    auto* body = find<AnswerBody>("answerBody");
    QScrollBar* bar = body->verticalScrollBar();
    QApplication::processEvents();
    ASSERT_EQ(bar->maximum(), 0);
    for (int line = 0; line < 40; ++line) {
        world.llm.chunk(request,
                        (line % 3 == 0 ? QStringLiteral("\n\n") : QStringLiteral(" ")) +
                            QStringLiteral("Zdanie %1 o wdrożeniu, kosztach i terminach, ").arg(line).repeated(3));
        QApplication::processEvents();
        // What the reader sees: the last line's bottom inside the view.
        QTextCursor end(body->document());
        end.movePosition(QTextCursor::End);
        ASSERT_LE(body->cursorRect(end).bottom(), body->viewport()->height())
            << "line " << line << ": " << bar->value() << "/" << bar->maximum();
    }
    EXPECT_GT(bar->maximum(), 0);
}

// The answer's text can be steered by the other party: its links open only through the https rule, and the view
// itself never follows one (a file: link would load the file into the panel).
TEST_F(OverlayViewTest, AnAnswersLinksOpenOnlyHttpsAndNeverLoadIntoThePanel) {
    world.answer({QStringLiteral("[plik](file:///etc/hostname) [udział](smb://host/x) [gra](steam://run/1) "
                                 "[strona](https://example.com/a)")});
    QApplication::processEvents();
    auto* body = find<AnswerBody>("answerBody");
    for (const char* word : {"plik", "udział", "gra", "strona"}) {
        QTextCursor cursor = body->document()->find(QString::fromUtf8(word));
        ASSERT_FALSE(cursor.isNull()) << word;
        cursor.setPosition(cursor.selectionStart() + 1);
        ASSERT_FALSE(body->anchorAt(body->cursorRect(cursor).center()).isEmpty()) << word;
        QTest::mouseClick(body->viewport(), Qt::LeftButton, {}, body->cursorRect(cursor).center());
    }
    EXPECT_EQ(opened, QList<QUrl>{QUrl(QStringLiteral("https://example.com/a"))});
    EXPECT_TRUE(body->source().isEmpty());
}

TEST_F(OverlayViewTest, CardHeaderNavigatesCopiesDeletesAndCloses) {
    world.answer({QStringLiteral("Pierwsza **odpowiedź**.")});
    world.answer({QStringLiteral("Druga odpowiedź.")});
    auto* counter = find<QLabel>("answerCounter");
    EXPECT_EQ(counter->text(), QStringLiteral("2/2"));
    EXPECT_FALSE(find("answerForward")->isEnabled());

    click("answerBack");
    EXPECT_EQ(counter->text(), QStringLiteral("1/2"));
    EXPECT_FALSE(find("answerBack")->isEnabled());
    EXPECT_TRUE(find<AnswerBody>("answerBody")->toPlainText().contains(QStringLiteral("Pierwsza odpowiedź.")));

    click("answerCopy");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("Pierwsza **odpowiedź**."));
    EXPECT_EQ(world.state.notice(), i18n::text("notice.copied"));

    click("answerDelete");
    ASSERT_EQ(world.assistant.cards().size(), 1);
    EXPECT_EQ(world.assistant.current()->text, QStringLiteral("Druga odpowiedź."));
    EXPECT_EQ(counter->text(), QStringLiteral("1/1"));

    click("answerClose");
    EXPECT_FALSE(world.assistant.hasCards());
    EXPECT_FALSE(find<AnswerPanel>("answerPanel")->isVisible());
}

// Every control of every face has a name a screen reader can speak and can be reached with Tab; the options
// menu's entries too.
TEST_F(OverlayViewTest, EveryControlIsNamedAndReachable) {
    auto speakable = [](const QString& name) {
        return std::count_if(name.begin(), name.end(), [](QChar c) { return c.isLetter(); }) >= 2;
    };
    world.answer({QStringLiteral("Odpowiedź.")});
    world.audio->route.kind = OutputRoute::Kind::Speakers;
    world.capture.start();
    world.clock.advance(2s);
    for (auto face : {RootView::Face::Welcome, RootView::Face::Working, RootView::Face::Collapsed}) {
        world.state.setShowingWelcome(face == RootView::Face::Welcome);
        world.state.setCollapsed(face == RootView::Face::Collapsed);
        ASSERT_EQ(root->face(), face);
        QApplication::processEvents();
        int controls = 0;
        for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
            if (!button->isVisibleTo(root))
                continue;
            ++controls;
            const QString name = QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name);
            EXPECT_TRUE(speakable(name)) << button->objectName().toStdString() << ": \"" << name.toStdString() << '"';
            EXPECT_TRUE(button->focusPolicy() & Qt::TabFocus) << button->objectName().toStdString();
        }
        EXPECT_GE(controls, face == RootView::Face::Collapsed ? 1 : 5);
    }
    EXPECT_TRUE(speakable(QAccessible::queryAccessibleInterface(find<LevelOrb>("levelOrb"))->text(QAccessible::Name)));

    OptionsMenu* menu = root->overlayView()->optionsMenu();
    menu->rebuild();
    int entries = 0;
    for (QAction* action : menu->actions()) {
        if (action->isSeparator())
            continue;
        ++entries;
        EXPECT_TRUE(speakable(action->text())) << action->objectName().toStdString();
    }
    EXPECT_GE(entries, 28);
}

TEST_F(OverlayViewTest, MenuAndLoudspeakerWarningAct) {
    world.audio->route.kind = OutputRoute::Kind::Speakers;
    world.capture.start();
    world.clock.advance(2s);
    QApplication::processEvents();

    // The warning turns echo cancellation on.
    ASSERT_TRUE(find("speakerWarning")->isVisible());
    click("speakerWarning");
    EXPECT_TRUE(world.capture.echoCancellation());
    EXPECT_EQ(world.state.notice(), i18n::text("notice.echoOn"));
    EXPECT_FALSE(find("speakerWarning")->isVisible());

    OptionsMenu* menu = root->overlayView()->optionsMenu();
    menu->rebuild();
    auto action = [&](const char* name) { return menu->findChild<QAction*>(QLatin1String(name)); };
    action("menu.language.de")->trigger();
    EXPECT_EQ(world.capture.language(), QStringLiteral("de"));
    menu->rebuild();
    EXPECT_TRUE(action("menu.language.de")->isChecked());
    EXPECT_FALSE(action("menu.language.pl")->isChecked());

    // Listening is switched through the controller (which opens and meters the session), never behind its back.
    action("menu.transcription")->trigger();
    EXPECT_EQ(toggles, 1);
    EXPECT_FALSE(world.capture.transcriptionEnabled());
}

} // namespace
