#include "platform/Installation.h"
#include "platform/Autostart.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

using namespace quippet;
using namespace quippet::installation;

namespace {

QByteArray read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString execLine(const QByteArray& entry) {
    for (const QByteArray& line : entry.split('\n'))
        if (line.startsWith("Exec="))
            return QString::fromUtf8(line.mid(5));
    return {};
}

bool validates(const QString& tool, const QStringList& args) {
    QProcess p;
    p.start(tool, args);
    return p.waitForFinished(30'000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

TEST(InstallationTest, InstalledLocationsAndTheCommandAnEntryNames) {
    const QString home = QStringLiteral("/home/ania");
    struct Row {
        const char* binary;
        bool installed;
    };
    for (const Row& row : {Row{"/usr/bin/quippet", true}, Row{"/usr/local/bin/quippet", true},
                           Row{"/home/ania/.local/bin/quippet", true}, Row{"/home/ania/Pobrane/quippet", false},
                           Row{"/home/ania/src/quippet/build/dev/src/quippet", false},
                           // Only a prefix counts.
                           Row{"/tmp/usr/bin/quippet", false}, Row{"/home/ania/.local/bin/quippet-old", false}})
        EXPECT_EQ(isInstalledLocation(QString::fromLatin1(row.binary), home), row.installed) << row.binary;

    test::TempHome temp;
    const QString build = temp.filePath(QStringLiteral("build/quippet"));
    const QString fakeSystem = temp.filePath(QStringLiteral("system/quippet"));
    EXPECT_EQ(installedCommand(QStringLiteral("/usr/bin/quippet"), temp.path(), {}), QStringLiteral("quippet"));
    EXPECT_EQ(installedCommand(QStringLiteral("/usr/local/bin/quippet"), temp.path(), {}),
              QStringLiteral("/usr/local/bin/quippet"));
    EXPECT_EQ(installedCommand(build, temp.path(), {fakeSystem}), QString()) << "never a build tree";

    QDir().mkpath(QFileInfo(fakeSystem).path());
    QFile system(fakeSystem);
    ASSERT_TRUE(system.open(QIODevice::WriteOnly));
    system.setPermissions(system.permissions() | QFileDevice::ExeOwner);
    system.close();
    EXPECT_EQ(installedCommand(build, temp.path(), {fakeSystem}), fakeSystem);

    // A home and a ~/.local/bin reached through links: the running binary's path is the resolved one.
    const QString real = temp.filePath(QStringLiteral("real")), elsewhere = temp.filePath(QStringLiteral("elsewhere"));
    QDir().mkpath(real + QStringLiteral("/.local"));
    QDir().mkpath(elsewhere);
    ASSERT_TRUE(QFile::link(real, temp.filePath(QStringLiteral("linked-home"))));
    ASSERT_TRUE(QFile::link(elsewhere, real + QStringLiteral("/.local/bin")));
    ASSERT_TRUE(QFile::copy(fakeSystem, elsewhere + QStringLiteral("/quippet")));
    EXPECT_TRUE(isInstalledLocation(QFileInfo(elsewhere + QStringLiteral("/quippet")).canonicalFilePath(),
                                    temp.filePath(QStringLiteral("linked-home"))));
}

TEST(InstallationTest, APerUserInstallPutsEverythingInPlaceAndTheAutostartEntryNamesIt) {
    test::TempHome home;
    const QString binary = home.filePath(QStringLiteral("Pobrane/quippet"));
    QDir().mkpath(QFileInfo(binary).path());
    QFile source(binary);
    ASSERT_TRUE(source.open(QIODevice::WriteOnly));
    source.write(QByteArray(200'000, '\x7f'));
    source.close();

    QStringList notes;
    const QString installed = installForUser(binary, home.path(), [&](const QString& line) { notes << line; });
    ASSERT_EQ(installed, home.filePath(QStringLiteral(".local/bin/quippet")));
    EXPECT_EQ(read(installed), read(binary));
    EXPECT_EQ(notes, QStringList{QStringLiteral("instalacja: zainstalowano w ") + installed});

    const QString share = home.filePath(QStringLiteral(".local/share"));
    const QString entry = share + QStringLiteral("/applications/app.quippet.Quippet.desktop");
    EXPECT_EQ(execLine(read(entry)), installed + QStringLiteral(" %u"));
    EXPECT_TRUE(read(entry).contains("MimeType=x-scheme-handler/quippet;"));
    for (const char* icon :
         {"icons/hicolor/scalable/apps/app.quippet.Quippet.svg", "icons/hicolor/16x16/apps/app.quippet.Quippet.png",
          "icons/hicolor/256x256/apps/app.quippet.Quippet.png", "metainfo/app.quippet.Quippet.metainfo.xml"})
        EXPECT_FALSE(read(share + QLatin1Char('/') + QLatin1String(icon)).isEmpty()) << icon;
    const QString validate = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (!validate.isEmpty()) {
        EXPECT_TRUE(validates(validate, {entry}));
    }
    // The browser hands quippet:// links to the installed entry.
    const QString mimeapps = home.filePath(QStringLiteral(".config/mimeapps.list"));
    if (!QStandardPaths::findExecutable(QStringLiteral("xdg-mime")).isEmpty()) {
        EXPECT_TRUE(read(mimeapps).contains("x-scheme-handler/quippet=app.quippet.Quippet.desktop"));
    }

    // The autostart entry names the installed binary, never the build tree the tests run from.
    ASSERT_TRUE(LaunchAtLogin::set(true));
    EXPECT_EQ(execLine(read(LaunchAtLogin::entryPath())), installed);
    ASSERT_TRUE(LaunchAtLogin::set(false));
    EXPECT_FALSE(LaunchAtLogin::isEnabled());

    // Exec lines follow the desktop-entry rules: a blank quotes, "%" is doubled, and a backslash or "$" inside
    // quotes is escaped for the quoting and again for the string.
    EXPECT_EQ(execLine(desktopEntry(QStringLiteral("/home/a b/.local/bin/quippet"))),
              QStringLiteral("\"/home/a b/.local/bin/quippet\" %u"));
    EXPECT_EQ(execLine(desktopEntry(QStringLiteral("/opt/100%/quippet"))), QStringLiteral("/opt/100%%/quippet %u"));
    EXPECT_EQ(execLine(desktopEntry(QStringLiteral("/home/a b/q\\x$"))),
              QStringLiteral("\"/home/a b/q\\\\\\\\x\\\\$\" %u"));
}

TEST(InstallationTest, NothingInstalledMeansNoAutostartEntryAndTheReasonIsNoted) {
    if (QFileInfo::exists(QStringLiteral("/usr/bin/quippet")) ||
        QFileInfo::exists(QStringLiteral("/usr/local/bin/quippet")))
        GTEST_SKIP() << "Quippet is installed on this machine";
    test::TempHome home;
    QStringList notes;
    LaunchAtLogin::seedOnFirstLaunch([&](const QString& line) { notes << line; });
    EXPECT_FALSE(LaunchAtLogin::isEnabled());
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes[0].startsWith(QStringLiteral("autostart: niedostępny — "))) << notes[0].toStdString();
    // Seeded once: a later launch does not try again.
    LaunchAtLogin::seedOnFirstLaunch([&](const QString& line) { notes << line; });
    EXPECT_EQ(notes.size(), 1);
}

} // namespace
