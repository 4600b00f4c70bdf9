#include "records/DataMigration.h"

#include "support/Files.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <unistd.h>

using namespace quippet;

namespace {
void makeFolderWith(const QString& folder, const QString& file) {
    test::writeFile(QDir::home().filePath(folder + QLatin1Char('/') + file), "x");
}
bool exists(const QString& path) {
    return QFileInfo::exists(QDir::home().filePath(path));
}
} // namespace

TEST(DataMigrationTest, MovesLegacyFoldersOnlyWhereNothingIsInTheWay) {
    test::TempHome home;
    QStringList notes;
    const NoteFn note = [&](const QString& line) { notes << line; };

    makeFolderWith(QStringLiteral("chatrelo-rozmowy"), QStringLiteral("index.json"));
    DataMigration::run(note);
    EXPECT_EQ(notes, QStringList{QStringLiteral("przeniesiono ~/chatrelo-rozmowy → ~/quippet-rozmowy")});
    EXPECT_TRUE(exists(QStringLiteral("quippet-rozmowy/index.json")));
    EXPECT_FALSE(exists(QStringLiteral("chatrelo-rozmowy")));

    // A second launch has nothing to do.
    notes.clear();
    DataMigration::run(note);
    EXPECT_TRUE(notes.isEmpty());

    // Both names present: nothing moves, nothing is merged, nothing is noted.
    makeFolderWith(QStringLiteral("chatrelo-rozmowy"), QStringLiteral("old.md"));
    makeFolderWith(QStringLiteral("chatrelo-context"), QStringLiteral("o-mnie.md"));
    makeFolderWith(QStringLiteral("quippet-context"), QStringLiteral("new.md"));
    DataMigration::run(note);
    EXPECT_TRUE(notes.isEmpty());
    EXPECT_TRUE(exists(QStringLiteral("chatrelo-rozmowy/old.md")));
    EXPECT_FALSE(exists(QStringLiteral("quippet-context/o-mnie.md")));
}

TEST(DataMigrationTest, ADanglingLinkAtTheNewNameIsInTheWay) {
    test::TempHome home;
    QStringList notes;
    makeFolderWith(QStringLiteral("chatrelo-rozmowy"), QStringLiteral("index.json"));
    makeFolderWith(QStringLiteral("chatrelo-context"), QStringLiteral("o-mnie.md"));
    ASSERT_TRUE(
        QFile::link(QStringLiteral("/nonexistent-target"), QDir::home().filePath(QStringLiteral("quippet-rozmowy"))));
    DataMigration::run([&](const QString& line) { notes << line; });
    EXPECT_EQ(notes, QStringList{QStringLiteral("przeniesiono ~/chatrelo-context → ~/quippet-context")});
    EXPECT_TRUE(exists(QStringLiteral("chatrelo-rozmowy/index.json")));
    EXPECT_TRUE(exists(QStringLiteral("quippet-context/o-mnie.md")));
}

TEST(DataMigrationTest, FailureIsNotedAndTheNextRowStillRuns) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    test::TempHome home;
    QStringList notes;
    makeFolderWith(QStringLiteral("chatrelo-rozmowy"), QStringLiteral("index.json"));
    makeFolderWith(QStringLiteral("chatrelo-context"), QStringLiteral("o-mnie.md"));
    QFile::setPermissions(QDir::homePath(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    DataMigration::run([&](const QString& line) { notes << line; });
    QFile::setPermissions(QDir::homePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ASSERT_EQ(notes.size(), 2);
    EXPECT_TRUE(notes[0].startsWith(QStringLiteral("nie udało się przenieść ~/chatrelo-rozmowy: ")));
    EXPECT_GT(notes[0].size(), 45);
    EXPECT_TRUE(notes[1].startsWith(QStringLiteral("nie udało się przenieść ~/chatrelo-context: ")));
}
