#include "ui/ProfileWindow.h"
#include "assistant/Prompts.h"
#include "core/Localization.h"
#include "support/Files.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>

using namespace quippet;
using namespace quippet::test;

namespace {

struct ProfileWindowTest : ::testing::Test {
    TempHome home;
    ProfileWindow window;
    int changes = 0;

    ProfileWindowTest() {
        QObject::connect(&window, &ProfileWindow::changed, [this] { ++changes; });
    }
    QString context(const QString& name) const { return home.filePath(QStringLiteral("quippet-context/") + name); }
    template <typename T> T* child(const char* name) { return window.findChild<T*>(QLatin1String(name)); }
};

} // namespace

TEST_F(ProfileWindowTest, TheEditorStartsFromTheTemplateAndNeverOverwritesAForeignEncoding) {
    const QByteArray cp1250 = "Jestem handlowcem \xb9\xe6\xea\n";
    struct Case {
        const char* what;
        QByteArray before; // null: no profile
        QByteArray afterSave;
    } cases[] = {
        {"no profile: the template, written only on save", {}, Prompts::profileTemplate().toUtf8()},
        {"a UTF-8 profile is edited in place", "Anna — CRM", "Anna — CRM"},
        {"a profile in another encoding is left as it is", cp1250, cp1250},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(context(QStringLiteral("o-mnie.md")));
        if (!c.before.isNull())
            writeFile(context(QStringLiteral("o-mnie.md")), c.before);
        window.hide();
        window.present();
        EXPECT_EQ(readFile(context(QStringLiteral("o-mnie.md"))), c.before.isNull() ? "<missing>" : c.before);
        child<QAbstractButton>("saveProfileButton")->click();
        EXPECT_EQ(readFile(context(QStringLiteral("o-mnie.md"))), c.afterSave);
    }
    EXPECT_FALSE(child<QAbstractButton>("saveProfileButton")->isEnabled());
    EXPECT_TRUE(child<QPlainTextEdit>("profileEditor")->isReadOnly());
    EXPECT_EQ(changes, 2);
}

TEST_F(ProfileWindowTest, AFailedSaveSaysSoInsteadOfSaved) {
    writeFile(home.filePath(QStringLiteral("quippet-context")), "a file where the folder belongs");
    window.present();
    auto* save = child<QAbstractButton>("saveProfileButton");
    save->click();
    EXPECT_EQ(save->text(), i18n::text("profile.save"));
    EXPECT_TRUE(child<QLabel>("saveError")->isVisibleTo(&window));
    EXPECT_EQ(changes, 0);
}

TEST_F(ProfileWindowTest, ADropImportsOnlyDocumentsTheAssistantReads) {
    const QString outside = home.filePath(QStringLiteral("Pulpit/"));
    QList<QUrl> urls;
    for (const char* name : {"oferta.md", "notatki.TXT", "Cennik.PDF", "zdjecie.png", "umowa.docx"}) {
        writeFile(outside + QLatin1String(name), QByteArray(1500, 'x'));
        urls << QUrl::fromLocalFile(outside + QLatin1String(name));
    }
    window.present();
    QMimeData mime;
    mime.setUrls(urls);
    QWidget* tab = child<QWidget>("docsTab");
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tab, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tab, &drop);

    EXPECT_EQ(QDir(context(QString())).entryList(QDir::Files),
              (QStringList{QStringLiteral("Cennik.pdf"), QStringLiteral("notatki.txt"), QStringLiteral("oferta.md")}));
    EXPECT_EQ(changes, 1);
    QStringList rows;
    for (auto* b : child<QWidget>("documentList")->findChildren<QAbstractButton*>(QStringLiteral("deleteButton")))
        rows << b->property("fileName").toString();
    EXPECT_EQ(rows, QDir(context(QString())).entryList(QDir::Files));
    const auto labels = child<QWidget>("documentList")->findChildren<QLabel*>();
    const QString size = QLocale().formattedDataSize(1500);
    EXPECT_EQ(std::count_if(labels.cbegin(), labels.cend(), [&](QLabel* l) { return l->text() == size; }), 3);
}
