#include "ui/ManagerWindow.h"
#include "core/Localization.h"
#include "support/Files.h"
#include "support/PanelWorld.h"
#include "support/TempHome.h"
#include "ui/KeysWindow.h"
#include "ui/ProfileWindow.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTest>

using namespace quippet;
using namespace quippet::test;

namespace {

using Files = QList<std::pair<QString, QByteArray>>;

struct ManagerWindowTest : ::testing::Test {
    TempHome home;
    PanelWorld world;
    ManagerWindow window{world.sessions, world.assistant};
    QStringList choice; // what the next file chooser answers

    ManagerWindowTest() {
        window.chooseFiles = [this](QWidget*, const QString&, const QString&, bool) { return choice; };
        window.openUrl = [](const QUrl&) {};
    }
    QString context(const QString& name = {}) const { return home.filePath(QStringLiteral("quippet-context/") + name); }
    // The names on the trash buttons of a list, in order.
    QStringList rows(const char* list) const {
        QStringList names;
        for (auto* b : window.findChild<QWidget*>(QLatin1String(list))
                           ->findChildren<QAbstractButton*>(QStringLiteral("deleteButton")))
            names << b->property("fileName").toString();
        return names;
    }
};

// Paths are relative to the home folder; a chosen file without bytes is one already there.
struct ImportCase {
    const char* what;
    Files before;
    Files chosen;
    bool profile;
    Files after;
};

} // namespace

TEST_F(ManagerWindowTest, ImportsKeepEveryByteAndReplaceOnlyOnceTheNewFileIsComplete) {
    const QByteArray cp1250 = "Jestem handlowcem \xb9\xe6\xea \xff\r\n";
    const ImportCase cases[] = {
        {"a profile that is not UTF-8, into a missing folder",
         {},
         {{"Pobrane/ja.txt", cp1250}},
         true,
         {{"o-mnie.md", cp1250}}},
        {"a UTF-8 profile replaces the old one",
         {{"o-mnie.md", "stary"}},
         {{"Pobrane/profil.md", "Anna — CRM\n"}},
         true,
         {{"o-mnie.md", "Anna — CRM\n"}}},
        {"a document of the same name replaces the old one",
         {{"cennik.md", "stary"}},
         {{"Pobrane/cennik.md", "nowy"}, {"Pobrane/oferta.PDF", "%PDF"}},
         false,
         {{"cennik.md", "nowy"}, {"oferta.pdf", "%PDF"}}},
        {"a document chosen from the folder itself stays",
         {{"oferta.md", "treść"}},
         {{"quippet-context/oferta.md", {}}},
         false,
         {{"oferta.md", "treść"}}},
    };
    for (const ImportCase& c : cases) {
        SCOPED_TRACE(c.what);
        QDir(context()).removeRecursively();
        for (const auto& [name, bytes] : c.before)
            writeFile(context(name), bytes);
        choice.clear();
        for (const auto& [path, bytes] : c.chosen) {
            if (!bytes.isNull())
                writeFile(home.filePath(path), bytes);
            choice << home.filePath(path);
        }
        QTest::mouseClick(window.findChild<QAbstractButton*>(c.profile ? QStringLiteral("importProfileButton")
                                                                       : QStringLiteral("addDocumentsButton")),
                          Qt::LeftButton);
        QStringList documents;
        for (const auto& [name, bytes] : c.after) {
            EXPECT_EQ(readFile(context(name)), bytes) << name.toStdString();
            if (name != QLatin1String("o-mnie.md"))
                documents << name;
        }
        EXPECT_EQ(rows("documentList"), documents);
        EXPECT_EQ(world.assistant.hasProfile(), c.profile);
    }
}

TEST_F(ManagerWindowTest, DeletingADocumentOrAConversationRemovesItsFileAndRow) {
    writeFile(context(QStringLiteral("a.md")), "a");
    writeFile(context(QStringLiteral("b.pdf")), "b");
    world.assistant.reloadContext();
    ASSERT_EQ(rows("documentList"), (QStringList{QStringLiteral("a.md"), QStringLiteral("b.pdf")}));
    window.findChild<QWidget*>(QStringLiteral("documentList"))
        ->findChildren<QAbstractButton*>(QStringLiteral("deleteButton"))
        .first()
        ->click();
    QCoreApplication::processEvents();
    EXPECT_FALSE(QFileInfo::exists(context(QStringLiteral("a.md"))));
    EXPECT_EQ(rows("documentList"), QStringList{QStringLiteral("b.pdf")});

    QStringList notes;
    for (const char* company : {"Acme", "Beta"}) {
        world.sessions.setCompany(QLatin1String(company));
        notes << *world.sessions.finish(QStringLiteral("transkrypcja"), QStringLiteral("notatka")).path;
        world.sessions.startNew();
    }
    auto cards = [&] { return window.findChildren<QFrame*>(QStringLiteral("historyCard")); };
    ASSERT_EQ(cards().size(), 2);
    // Newest first: the first card is Beta's.
    cards().first()->findChild<QAbstractButton*>(QStringLiteral("deleteButton"))->click();
    QCoreApplication::processEvents();
    EXPECT_FALSE(QFileInfo::exists(notes[1]));
    EXPECT_TRUE(QFileInfo::exists(notes[0]));
    EXPECT_EQ(cards().size(), 1);
}

TEST_F(ManagerWindowTest, TheNoteFileNameFollowsEveryEditAndANewConversationEmptiesTheFields) {
    const QString date = world.sessions.current().startedAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd_HHmm"));
    struct Case {
        const char *name, *company, *topic, *file;
    } cases[] = {
        {"Jan", "Acme", "Oferta", "%1-Acme-Jan.md"},
        {"", "", "Oferta", "%1-Oferta.md"},
        {"", "", "", "rozmowa-%1.md"},
    };
    auto* label = window.findChild<QLabel*>(QStringLiteral("fileNameLabel"));
    for (const Case& c : cases) {
        for (auto [field, text] :
             {std::pair{"nameField", c.name}, std::pair{"companyField", c.company}, std::pair{"topicField", c.topic}}) {
            auto* edit = window.findChild<QLineEdit*>(QLatin1String(field));
            edit->clear();
            QTest::keyClicks(edit, QString::fromUtf8(text));
        }
        EXPECT_EQ(label->text(), QString::fromUtf8(c.file).arg(date)) << c.company;
        EXPECT_EQ(world.sessions.current().company, QString::fromUtf8(c.company));
    }
    window.findChild<QRadioButton*>(QStringLiteral("modeOceniająca"))->click();
    EXPECT_EQ(world.sessions.current().mode, ConversationMode::Evaluation);

    world.sessions.startNew();
    EXPECT_EQ(window.findChild<QLineEdit*>(QStringLiteral("companyField"))->text(), QString());
    EXPECT_TRUE(window.findChild<QRadioButton*>(QStringLiteral("modeHandlowa"))->isChecked());
}

TEST_F(ManagerWindowTest, EveryControlOfTheManagerProfileAndKeysWindowsHasASpokenName) {
    writeFile(context(QStringLiteral("a.md")), "a");
    world.sessions.finish(QStringLiteral("t"), QStringLiteral("s"));
    world.assistant.reloadContext();
    ProfileWindow profile;
    profile.present();
    KeysWindow keys(world.keychain, {});
    for (QWidget* top :
         {static_cast<QWidget*>(&window), static_cast<QWidget*>(&profile), static_cast<QWidget*>(&keys)}) {
        for (QWidget* w : top->findChildren<QWidget*>()) {
            const bool control =
                qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) || qobject_cast<QPlainTextEdit*>(w);
            if (!control || !w->isVisibleTo(top))
                continue;
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            EXPECT_FALSE(a->text(QAccessible::Name).trimmed().isEmpty()) << w->objectName().toStdString();
            EXPECT_NE(w->focusPolicy() & Qt::TabFocus, 0) << w->objectName().toStdString();
        }
    }
}

TEST_F(ManagerWindowTest, APracticeConversationIsMarkedInTheHistoryAndInItsSpokenNames) {
    for (bool rehearsal : {true, false}) {
        SessionMeta meta = world.sessions.current();
        meta.company = rehearsal ? QStringLiteral("Próba") : QStringLiteral("Acme");
        meta.rehearsal = rehearsal;
        world.sessions.setCurrent(meta);
        // The real one without a summary: that is marked too.
        world.sessions.finish(QStringLiteral("t"), rehearsal ? QStringLiteral("s") : QString());
        world.sessions.startNew();
    }
    const auto cards = window.findChildren<QFrame*>(QStringLiteral("historyCard"));
    ASSERT_EQ(cards.size(), 2);
    EXPECT_NE(cards[0]->findChild<QLabel*>(QStringLiteral("noSummaryMark")), nullptr);
    EXPECT_EQ(cards[1]->findChild<QLabel*>(QStringLiteral("noSummaryMark")), nullptr);
    // Newest first: the real conversation, then the practice.
    for (int i : {0, 1}) {
        const bool rehearsal = i == 1;
        const QString company = rehearsal ? QStringLiteral("Próba") : QStringLiteral("Acme");
        auto* mark = cards[i]->findChild<QLabel*>(QStringLiteral("rehearsalMark"));
        EXPECT_EQ(mark != nullptr, rehearsal) << i;
        if (mark) {
            EXPECT_TRUE(mark->isVisibleTo(cards[i]));
        }
        const QString spoken = rehearsal ? i18n::format("manager.history.rehearsalNamed", company) : company;
        EXPECT_EQ(cards[i]->findChild<QAbstractButton*>(QStringLiteral("openButton"))->accessibleName(),
                  i18n::format("manager.openNote", spoken));
        EXPECT_EQ(
            QAccessible::queryAccessibleInterface(cards[i]->findChild<QAbstractButton*>(QStringLiteral("deleteButton")))
                ->text(QAccessible::Name),
            i18n::format("manager.deleteConversation", spoken));
    }
}
