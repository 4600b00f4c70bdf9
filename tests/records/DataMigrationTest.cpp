#include "records/DataMigration.h"

#include "support/Files.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <unistd.h>

using namespace quippet;

namespace {

class DataMigrationTest : public ::testing::Test {
protected:
    // Runs the migration; answers the lines it noted.
    static QStringList migrate() {
        QStringList notes;
        DataMigration::run([&](const QString& line) { notes << line; });
        return notes;
    }
    static void makeFolderWith(const QString& folder, const QString& file) {
        test::writeFile(QDir::home().filePath(folder + QLatin1Char('/') + file), "x");
    }
    static bool exists(const QString& path) { return QFileInfo::exists(QDir::home().filePath(path)); }

    test::TempHome home;
};

TEST_F(DataMigrationTest, MovesLegacyFoldersOnlyWhereNothingIsInTheWay) {
    makeFolderWith("chatrelo-rozmowy", "index.json");
    EXPECT_EQ(migrate(), QStringList{"przeniesiono ~/chatrelo-rozmowy → ~/quippet-rozmowy"});
    EXPECT_TRUE(exists("quippet-rozmowy/index.json"));
    EXPECT_FALSE(exists("chatrelo-rozmowy"));
    EXPECT_TRUE(migrate().isEmpty()) << "a second launch has nothing to do";

    // Both names present: nothing moves, nothing is merged, nothing is noted.
    makeFolderWith("chatrelo-rozmowy", "old.md");
    makeFolderWith("chatrelo-context", "o-mnie.md");
    makeFolderWith("quippet-context", "new.md");
    EXPECT_TRUE(migrate().isEmpty());
    EXPECT_TRUE(exists("chatrelo-rozmowy/old.md"));
    EXPECT_FALSE(exists("quippet-context/o-mnie.md"));
}

TEST_F(DataMigrationTest, ADanglingLinkAtTheNewNameIsInTheWay) {
    makeFolderWith("chatrelo-rozmowy", "index.json");
    makeFolderWith("chatrelo-context", "o-mnie.md");
    ASSERT_TRUE(QFile::link("/nonexistent-target", QDir::home().filePath("quippet-rozmowy")));
    EXPECT_EQ(migrate(), QStringList{"przeniesiono ~/chatrelo-context → ~/quippet-context"});
    EXPECT_TRUE(exists("chatrelo-rozmowy/index.json"));
    EXPECT_TRUE(exists("quippet-context/o-mnie.md"));
}

TEST_F(DataMigrationTest, FailureIsNotedAndTheNextRowStillRuns) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    makeFolderWith("chatrelo-rozmowy", "index.json");
    makeFolderWith("chatrelo-context", "o-mnie.md");
    QFile::setPermissions(QDir::homePath(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QStringList notes = migrate();
    QFile::setPermissions(QDir::homePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ASSERT_EQ(notes.size(), 2);
    EXPECT_TRUE(notes[0].startsWith("nie udało się przenieść ~/chatrelo-rozmowy: "));
    EXPECT_GT(notes[0].size(), 45);
    EXPECT_TRUE(notes[1].startsWith("nie udało się przenieść ~/chatrelo-context: "));
}

} // namespace
