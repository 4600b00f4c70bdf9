#include "backend/ContextSync.h"

#include "core/Localization.h"
#include "peers/BackendPeer.h"
#include "support/Files.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

using namespace quippet;
using test::readFile;
using test::writeFile;

namespace {

class ContextSyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.start());
        qputenv("QUIPPET_BACKEND", peer.baseUrl().toString().toUtf8());
        peer.addToken(QStringLiteral("tok"));
        keychain.write(QLatin1String(Keychain::kBackendToken), QStringLiteral("tok"));
    }
    void TearDown() override { qunsetenv("QUIPPET_BACKEND"); }

    void pull() {
        bool done = false;
        QObject context;
        ContextSync::pull(
            keychain, [this](const QString& line) { notes << line; }, &context, [&] { done = true; });
        ASSERT_TRUE(test::waitUntil([&] { return done; }));
    }
    QString local(const QString& name) const { return ContextSync::contextFolder() + "/" + name; }
    QJsonObject manifest() const {
        return QJsonDocument::fromJson(readFile(ContextSync::manifestPath())).object().value("files").toObject();
    }
    QStringList downloads() const {
        QStringList targets;
        for (const auto& request : peer.http().requests()) {
            if (request.target.startsWith("/api/context/"))
                targets << QString::fromUtf8(request.target);
        }
        return targets;
    }

    test::TempHome home;
    test::MemorySecretStore store;
    Keychain keychain{store};
    mutable test::BackendPeer peer;
    QStringList notes;
};

TEST_F(ContextSyncTest, DownloadsEncodedNamesAndWritesTheManifest) {
    peer.putDocument(QStringLiteral("oferta.md"), "# Oferta\n", QStringLiteral("2026-01-01T10:00:00Z"));
    peer.putDocument(QStringLiteral("cennik 2026.md"), "ceny", QStringLiteral("v1"));
    peer.putDocument(QStringLiteral("Żółć źdźbło.pdf"), QByteArray("%PDF-1.4\0\x01", 10), QStringLiteral("v7"),
                     QStringLiteral("application/pdf"));
    pull();

    EXPECT_EQ(readFile(local("oferta.md")), "# Oferta\n");
    EXPECT_EQ(readFile(local("cennik 2026.md")), "ceny");
    EXPECT_EQ(readFile(local("Żółć źdźbło.pdf")), QByteArray("%PDF-1.4\0\x01", 10));
    EXPECT_TRUE(downloads().contains("/api/context/cennik%202026.md"));
    EXPECT_TRUE(downloads().contains("/api/context/%C5%BB%C3%B3%C5%82%C4%87%20%C5%BAd%C5%BAb%C5%82o.pdf"));
    EXPECT_EQ(peer.http().requestsTo("/api/context")[0].header("authorization"), "Bearer tok");
    EXPECT_EQ(
        manifest(),
        (QJsonObject{{"oferta.md", "2026-01-01T10:00:00Z"}, {"cennik 2026.md", "v1"}, {"Żółć źdźbło.pdf", "v7"}}));
    EXPECT_EQ(notes, QStringList{i18n::format("notice.contextSynced", i18n::formatNumber(3))});
}

TEST_F(ContextSyncTest, IncrementalPulls) {
    peer.putDocument(QStringLiteral("a.md"), "A1", QStringLiteral("1"));
    peer.putDocument(QStringLiteral("b.md"), "B1", QStringLiteral("1"));
    pull();
    writeFile(local("moje.md"), "ręcznie");

    // Unchanged stamps: nothing fetched, nothing noted, the manifest still rewritten.
    peer.http().clearRequests();
    notes.clear();
    writeFile(ContextSync::manifestPath(), R"({"files":{"a.md":"1","b.md":"1"}})");
    pull();
    EXPECT_TRUE(downloads().isEmpty());
    EXPECT_TRUE(notes.isEmpty());

    // A managed file deleted by hand comes back; a hand edit stays until the stamp changes.
    QFile::remove(local("a.md"));
    writeFile(local("b.md"), "edited");
    pull();
    EXPECT_EQ(downloads(), QStringList{"/api/context/a.md"});
    EXPECT_EQ(readFile(local("b.md")), "edited");
    EXPECT_EQ(notes.last(), i18n::format("notice.contextSynced", i18n::formatNumber(1)));

    peer.putDocument(QStringLiteral("b.md"), "B2", QStringLiteral("2"));
    peer.removeDocument(QStringLiteral("a.md"));
    pull();
    EXPECT_EQ(readFile(local("b.md")), "B2");
    EXPECT_FALSE(QFile::exists(local("a.md")));
    EXPECT_EQ(readFile(local("moje.md")), "ręcznie");
    EXPECT_EQ(manifest(), (QJsonObject{{"b.md", "2"}}));
    EXPECT_EQ(notes.last(), i18n::format("notice.contextSynced", i18n::formatNumber(2)));

    // A 404, a cut download or one past 16 MB leaves the file and its entry alone and is not counted.
    peer.putDocument(QStringLiteral("b.md"), "B3", QStringLiteral("3"));
    notes.clear();
    const std::function<void()> failures[] = {
        [&] { peer.setDocumentStatus(QStringLiteral("b.md"), 404); },
        [&] {
            peer.http().routeStream("GET", QStringLiteral("/api/context/b.md"), [](const auto&, test::HttpStream* s) {
                s->writeHead(200, {{"Content-Type", "text/markdown"}});
                s->write("B3 first half ");
                QTimer::singleShot(0, s, [s] { s->drop(); });
            });
        },
        [&] {
            peer.http().route("GET", QStringLiteral("/api/context/b.md"),
                              test::HttpResponse::text(200, QByteArray((16 << 20) + 1, 'x')));
        }};
    for (const auto& fail : failures) {
        fail();
        pull();
        EXPECT_EQ(readFile(local("b.md")), "B2");
        EXPECT_EQ(manifest(), (QJsonObject{{"b.md", "2"}}));
    }
    EXPECT_TRUE(notes.isEmpty());

    // A write that fails (here: a folder stands where the file goes) keeps the old entry, so a later pull retries.
    peer.putDocument(QStringLiteral("c.md"), "C", QStringLiteral("1"));
    QDir().mkpath(local("c.md"));
    pull();
    EXPECT_FALSE(manifest().contains("c.md"));
    QDir(local("c.md")).removeRecursively();
    pull();
    EXPECT_EQ(readFile(local("c.md")), "C");
    EXPECT_EQ(manifest().value("c.md").toString(), "1");
}

TEST_F(ContextSyncTest, ListingThatDoesNotDecodeChangesNothing) {
    const QList<std::pair<int, QByteArray>> answers = {
        {200, R"({"documents":[{"name":"a.md","size":1,"updatedAt":"1"}]})"}, // no "mime"
        {200, R"({"documents":[{"name":"a.md","mime":"x","size":1,"updatedAt":"1"}],"extra":5})"},
        {200, R"({"documents":[{"name":"a.md","mime":"x","size":"1","updatedAt":"1"}]})"},
        {200, R"({"other":[]})"},
        {200, R"([])"},
        {500, R"({"documents":[]})"},
        // well-formed, but past a megabyte
        {200,
         R"({"documents":[{"name":"a.md","mime":")" + QByteArray(1 << 20, 'x') + R"(","size":1,"updatedAt":"1"}]})"},
    };
    for (const auto& [status, body] : answers) {
        peer.http().route("GET", QStringLiteral("/api/context"), test::HttpResponse::json(status, body));
        pull();
        EXPECT_FALSE(QDir(ContextSync::contextFolder()).exists()) << body.left(100).constData();
    }
    EXPECT_TRUE(notes.isEmpty());

    // Empty listing: only the listing request, an empty manifest, no line.
    peer.http().route("GET", QStringLiteral("/api/context"), test::HttpResponse::json(200, R"({"documents":[]})"));
    peer.http().clearRequests();
    pull();
    EXPECT_EQ(peer.http().requests().size(), 1);
    EXPECT_EQ(readFile(ContextSync::manifestPath()), R"({"files":{}})");
    EXPECT_TRUE(notes.isEmpty());

    // No token: no request at all.
    keychain.remove(QLatin1String(Keychain::kBackendToken));
    peer.http().clearRequests();
    pull();
    EXPECT_TRUE(peer.http().requests().isEmpty());
}

TEST_F(ContextSyncTest, HostileNamesAreNeverWrittenNorDeleted) {
    const QString home = QDir::homePath();
    writeFile(home + "/outside.txt", "keep me too");
    QDir().mkpath(ContextSync::contextFolder());
    QFile::link(home + "/outside.txt", local("link.md"));
    writeFile(local("old.md"), "old");
    // The user's own profile is neither removed nor replaced, even when an old manifest claims it.
    writeFile(local("o-mnie.md"), "mój profil");
    // Nor is any other file of the user's own that a server document happens to share its name with.
    writeFile(local("pytania.md"), "moje pytania");
    peer.putDocument(QStringLiteral("pytania.md"), "obce pytania", QStringLiteral("1"));
    // An earlier, tampered manifest names files outside the folder.
    writeFile(ContextSync::manifestPath(),
              R"({"files":{"../outside.txt":"1","/etc/hostname":"1","old.md":"1","o-mnie.md":"1"}})");

    const QStringList hostile = {"../evil.md",         "sub/x.md", "..",      ".",      "",
                                 ".quippet-sync.json", ".bashrc",  "a\\b.md", "link.md"};
    for (const QString& name : hostile)
        peer.putDocument(name, "pwned", QStringLiteral("9"));
    peer.putDocument(QStringLiteral("dobry.md"), "ok", QStringLiteral("1"));
    pull();

    EXPECT_EQ(readFile(home + "/outside.txt"), "keep me too");
    EXPECT_EQ(readFile(local("dobry.md")), "ok");
    EXPECT_FALSE(QFile::exists(local("old.md")));
    EXPECT_EQ(manifest(), (QJsonObject{{"dobry.md", "1"}}));
    EXPECT_EQ(downloads(), QStringList{"/api/context/dobry.md"});
    // One line for all refused names, whatever they were.
    EXPECT_EQ(notes.filter("niedozwolonych").size(), 1);
    EXPECT_EQ(readFile(local("pytania.md")), "moje pytania");
    EXPECT_EQ(notes.filter("twoje pliki").size(), 1);

    peer.putDocument(QStringLiteral("o-mnie.md"), "obcy profil", QStringLiteral("2"));
    pull();
    EXPECT_EQ(readFile(local("o-mnie.md")), "mój profil");
}

} // namespace
