#include "records/SessionStore.h"

#include "support/Files.h"
#include "support/ManualClock.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace quippet;
using test::readFile;
using test::writeFile;
using namespace std::chrono_literals;

namespace {

qint64 localMs(int y, int mo, int d, int h, int mi) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi)).toMSecsSinceEpoch();
}

QString folderFile(const QString& name) {
    return QDir(SessionStore::folderPath()).filePath(name);
}

// One index entry as another release may have written it; `more` follows the start time.
QByteArray entry(char id, const char* name, const char* startedAt, const char* more = "") {
    return QByteArray(R"({"id":")") + id + R"(F9619FF-8B86-D011-B42D-00C04FC964FF","name":")" + name +
           R"(","company":"","topic":"","mode":"Handlowa","startedAt":)" + startedAt + more + '}';
}

// Note dates follow the locale; the tests pin Polish.
struct PolishLocale {
    PolishLocale() { QLocale::setDefault(QLocale(QLocale::Polish, QLocale::Poland)); }
    ~PolishLocale() { QLocale::setDefault(QLocale::c()); }
};

} // namespace

TEST(SessionMetaTest, SlugHeaderAndTitle) {
    PolishLocale polish;
    SessionMeta meta = SessionMeta::fresh(QDateTime::fromMSecsSinceEpoch(localMs(2026, 3, 4, 9, 15)));
    EXPECT_EQ(meta.fileSlug(), QStringLiteral("rozmowa-2026-03-04_0915"));
    EXPECT_EQ(meta.displayName(), QStringLiteral("Rozmowa 4 mar 2026, 09:15"));
    EXPECT_EQ(meta.promptHeader(), QStringLiteral("Charakter rozmowy: handlowa"));

    meta.company = QStringLiteral("Acme / PL");
    meta.topic = QStringLiteral("Oferta Q2");
    EXPECT_EQ(meta.fileSlug(), QStringLiteral("2026-03-04_0915-Acme---PL-Oferta-Q2"));
    EXPECT_EQ(meta.displayName(), QStringLiteral("Acme / PL"));
    meta.mode = ConversationMode::Evaluation;
    EXPECT_EQ(meta.promptHeader(),
              QStringLiteral("Firma klienta: Acme / PL\nTemat rozmowy: Oferta Q2\nCharakter rozmowy: oceniająca"));

    // The name wins over the topic; 60 characters, never half a letter.
    meta.company.clear();
    meta.name = QStringLiteral("Żaneta Łukasiewicz-Gęślą z działu zakupów regionalnych w Poznaniu 😀 i dalej");
    EXPECT_EQ(meta.fileSlug(),
              QStringLiteral("2026-03-04_0915-Żaneta-Łukasiewicz-Gęślą-z-działu-zakupów-regionalnych-w-Poz"));
    meta.name = QString(59, QLatin1Char('a')) + QStringLiteral("😀b");
    EXPECT_EQ(meta.fileSlug(),
              QStringLiteral("2026-03-04_0915-") + QString(59, QLatin1Char('a')) + QStringLiteral("😀"));
    meta.name = QStringLiteral("😀").repeated(60); // 240 bytes: with the date, over what a file name may hold
    EXPECT_EQ(meta.fileSlug(), QStringLiteral("2026-03-04_0915-") + QStringLiteral("😀").repeated(50));
    EXPECT_EQ(meta.promptHeader(), QStringLiteral("Temat rozmowy: Oferta Q2\nCharakter rozmowy: oceniająca"));

    EXPECT_EQ(conversationMode::fromRawValue(QStringLiteral("Oceniająca")), ConversationMode::Evaluation);
    EXPECT_FALSE(conversationMode::fromRawValue(QStringLiteral("handlowa")).has_value());
}

TEST(SessionStoreTest, NoteBytes) {
    PolishLocale polish;
    test::TempHome home;
    ManualClock clock(localMs(2026, 3, 4, 9, 15));
    SessionStore store(clock);
    store.setCompany(QStringLiteral("Acme"));
    store.setTopic(QStringLiteral("Wdrożenie CRM"));
    clock.advance(42min);
    const auto result = store.finish(QStringLiteral("[00:01] Klient: Dzień dobry\n[00:05] Ja: Witam"),
                                     QStringLiteral("**Podsumowanie** — ustalono demo."));
    ASSERT_TRUE(result.ok);
    ASSERT_EQ(result.path, folderFile(QStringLiteral("2026-03-04_0915-Acme-Wdrożenie-CRM.md")));
    EXPECT_EQ(
        readFile(*result.path),
        QStringLiteral("# Acme  \n**Firma:** Acme  \n**Temat:** Wdrożenie CRM  \n**Rozpoczęto:** 4.03.2026 09:15  \n"
                       "**Zakończono:** 4.03.2026 09:57\n\n## Podsumowanie\n\n**Podsumowanie** — ustalono demo."
                       "\n\n## Transkrypcja\n\n```\n[00:01] Klient: Dzień dobry\n[00:05] Ja: Witam\n```")
            .toUtf8());

    // No company or topic lines when empty; an empty summary gets the placeholder.
    store.startNew();
    const auto bare = store.finish(QStringLiteral("[00:01] Klient: Halo"), QString());
    ASSERT_TRUE(bare.ok);
    EXPECT_EQ(readFile(*bare.path),
              QStringLiteral("# Rozmowa 4 mar 2026, 09:57  \n**Rozpoczęto:** 4.03.2026 09:57  \n**Zakończono:** "
                             "4.03.2026 09:57\n\n## Podsumowanie\n\n_Brak podsumowania._\n\n## Transkrypcja\n\n```\n"
                             "[00:01] Klient: Halo\n```")
                  .toUtf8());
}

TEST(SessionStoreTest, IndexRoundTripAndFormat) {
    test::TempHome home;
    ManualClock clock(localMs(2026, 3, 4, 9, 15) + 250);
    SessionStore store(clock);
    EXPECT_TRUE(store.history().isEmpty());
    EXPECT_TRUE(QDir(SessionStore::folderPath()).exists());
    QSignalSpy historySpy(&store, &SessionStore::historyChanged);

    store.setName(QStringLiteral("Jan"));
    store.setMode(ConversationMode::Evaluation);
    clock.advance(10min);
    ASSERT_TRUE(store.finish(QStringLiteral("t1"), QStringLiteral("s1")).ok);
    const QByteArray raw = readFile(SessionStore::indexPath());
    EXPECT_FALSE(raw.contains(' ') || raw.contains('\n'));
    const QJsonArray array = QJsonDocument::fromJson(raw).array();
    ASSERT_EQ(array.size(), 1);
    const QJsonObject first = array.at(0).toObject();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"))
                    .match(first.value(QStringLiteral("id")).toString())
                    .hasMatch());
    EXPECT_EQ(first.value(QStringLiteral("mode")).toString(), QStringLiteral("Oceniająca"));
    const double started = first.value(QStringLiteral("startedAt")).toDouble();
    EXPECT_DOUBLE_EQ(started, double(localMs(2026, 3, 4, 9, 15) - 978'307'200'000) / 1000.0 + 0.25);
    EXPECT_DOUBLE_EQ(first.value(QStringLiteral("endedAt")).toDouble(), started + 600.0);
    EXPECT_EQ(first.value(QStringLiteral("summaryFile")).toString(), QStringLiteral("2026-03-04_0915-Jan.md"));

    store.startNew();
    store.setCompany(QStringLiteral("Beta"));
    clock.advance(5min);
    ASSERT_TRUE(store.finish(QStringLiteral("t2"), QStringLiteral("s2")).ok);
    EXPECT_EQ(historySpy.count(), 2);

    SessionStore reloaded(clock);
    ASSERT_EQ(reloaded.history().size(), 2);
    EXPECT_EQ(reloaded.history(), store.history());
    EXPECT_EQ(reloaded.history().first().company, QStringLiteral("Beta"));

    // Written by another release: missing optional keys, the newest first whatever the file order.
    const QByteArray legacy = '[' + entry('6', "A", "100") + ',' + entry('7', "B", "200.5", R"(,"endedAt":300)") + ',' +
                              entry('8', "C", "100") + ']';
    writeFile(SessionStore::indexPath(), legacy);
    SessionStore fromLegacy(clock);
    ASSERT_EQ(fromLegacy.history().size(), 3);
    EXPECT_EQ(fromLegacy.history().at(0).name, QStringLiteral("B"));
    EXPECT_EQ(fromLegacy.history().at(1).name, QStringLiteral("A")); // equal times keep file order
    EXPECT_EQ(fromLegacy.history().at(2).name, QStringLiteral("C"));
    EXPECT_FALSE(fromLegacy.history().at(1).endedAt.has_value());
    EXPECT_FALSE(fromLegacy.history().at(1).summaryFile.has_value());
    EXPECT_EQ(fromLegacy.history().at(0).startedAt, QDateTime::fromMSecsSinceEpoch(978'307'200'000 + 200'500));

    // One odd entry costs only itself; a null field reads as absent.
    for (const auto& [from, to] : {std::pair{"\"Handlowa\",\"startedAt\":100}]", "\"Sprzedaż\",\"startedAt\":100}]"},
                                   {"\"name\":\"A\",", ""},
                                   {"6F9619FF", "nie-uuid"},
                                   {"\"startedAt\":100}]", "\"startedAt\":100},7]"}}) {
        bool complete = true;
        const auto entries = SessionStore::decodeIndex(QByteArray(legacy).replace(from, to), &complete);
        ASSERT_TRUE(entries) << from;
        EXPECT_FALSE(complete) << from;
        EXPECT_GE(entries->size(), 2) << from;
    }
    bool complete = false;
    const auto nulls = SessionStore::decodeIndex(
        QByteArray(legacy).replace("\"endedAt\":300", "\"endedAt\":null,\"summaryFile\":null"), &complete);
    ASSERT_TRUE(nulls && complete);
    EXPECT_EQ(nulls->size(), 3);
    EXPECT_FALSE(SessionStore::decodeIndex("{}"));
}

TEST(SessionStoreTest, WriteFailuresAndCorruptIndexLoseNothing) {
    test::TempHome home;
    ManualClock clock(localMs(2026, 3, 4, 9, 15));
    {
        SessionStore store(clock);
        ASSERT_TRUE(store.finish(QStringLiteral("t"), QStringLiteral("s")).ok);
    }
    const auto aside = [] {
        return QDir(SessionStore::folderPath()).entryList({QStringLiteral("index.json.corrupt-*")}, QDir::Files);
    };
    // An index with one odd entry keeps the others, and the original survives the next save.
    {
        const QByteArray index = readFile(SessionStore::indexPath());
        writeFile(SessionStore::indexPath(), QByteArray(index).replace("[", "[{\"id\":7},"));
        SessionStore partial(clock);
        EXPECT_EQ(partial.history().size(), 1);
        ASSERT_TRUE(partial.finish(QStringLiteral("t1"), QStringLiteral("s1")).ok);
        EXPECT_EQ(partial.history().size(), 2);
        ASSERT_EQ(aside().size(), 1);
        EXPECT_TRUE(readFile(folderFile(aside().first())).startsWith("[{\"id\":7},"));
        QFile::remove(folderFile(aside().first()));
        QFile::remove(folderFile(*partial.history().first().summaryFile));
        writeFile(SessionStore::indexPath(), index);
    }
    // A damaged index is moved aside, not overwritten by the next save.
    const QByteArray damaged = "[{\"id\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\",\"name\":";
    writeFile(SessionStore::indexPath(), damaged);
    SessionStore store(clock);
    EXPECT_TRUE(store.history().isEmpty());
    ASSERT_EQ(aside().size(), 1);
    EXPECT_EQ(readFile(folderFile(aside().first())), damaged);
    ASSERT_TRUE(store.finish(QStringLiteral("t2"), QStringLiteral("s2")).ok);
    EXPECT_EQ(SessionStore::decodeIndex(readFile(SessionStore::indexPath()))->size(), 1);

    // Same names in the same minute: a second file, never an overwrite.
    ASSERT_TRUE(store.finish(QStringLiteral("t3"), QStringLiteral("s3")).ok);
    ASSERT_EQ(store.history().size(), 2);
    const QString firstFile = *store.history().at(1).summaryFile;
    const QString secondFile = *store.history().at(0).summaryFile;
    EXPECT_EQ(firstFile, QStringLiteral("rozmowa-2026-03-04_0915-2.md")); // the one from before the damage is -1
    EXPECT_EQ(secondFile, QStringLiteral("rozmowa-2026-03-04_0915-3.md"));
    EXPECT_TRUE(readFile(folderFile(QStringLiteral("rozmowa-2026-03-04_0915.md"))).contains("\nt\n"));
    EXPECT_TRUE(readFile(folderFile(firstFile)).contains("\nt2\n"));

    // The folder cannot take the note: failure is reported and nothing changes.
    const auto before = store.history();
    const QString folder = SessionStore::folderPath();
    ASSERT_TRUE(QDir(folder).rename(folder, folder + QStringLiteral(".moved")));
    writeFile(folder, "a file where the folder should be");
    const auto failed = store.finish(QStringLiteral("t4"), QStringLiteral("s4"));
    EXPECT_FALSE(failed.ok);
    EXPECT_FALSE(failed.path.has_value());
    EXPECT_EQ(store.history(), before);
    QFile::remove(folder);
    ASSERT_TRUE(QDir().rename(folder + QStringLiteral(".moved"), folder));
    EXPECT_EQ(SessionStore::decodeIndex(readFile(SessionStore::indexPath()))->size(), 2);
}

TEST(SessionStoreTest, DeleteRemovesEntryAndOnlyItsOwnFile) {
    test::TempHome home;
    ManualClock clock(localMs(2026, 3, 4, 9, 15));
    SessionStore store(clock);
    store.setName(QStringLiteral("Ola"));
    ASSERT_TRUE(store.finish(QStringLiteral("t"), QStringLiteral("s")).ok);
    const SessionMeta finished = store.history().first();
    store.remove(finished);
    EXPECT_TRUE(store.history().isEmpty());
    EXPECT_FALSE(QFile::exists(folderFile(*finished.summaryFile)));
    EXPECT_EQ(readFile(SessionStore::indexPath()), QByteArray("[]"));

    // Entries from a hand-edited or older index: a path outside the folder, a file two entries share, no file.
    writeFile(home.filePath(QStringLiteral("outside.md")), "keep me");
    writeFile(folderFile(QStringLiteral("shared.md")), "shared");
    const QByteArray index = '[' + entry('6', "A", "3", R"(,"summaryFile":"../outside.md")") + ',' +
                             entry('7', "B", "2", R"(,"summaryFile":"shared.md")") + ',' +
                             entry('8', "C", "1", R"(,"summaryFile":"shared.md")") + ',' + entry('9', "D", "0") + ']';
    writeFile(SessionStore::indexPath(), index);
    SessionStore loaded(clock);
    ASSERT_EQ(loaded.history().size(), 4);
    loaded.remove(loaded.history().at(0));
    EXPECT_EQ(readFile(home.filePath(QStringLiteral("outside.md"))), QByteArray("keep me"));
    loaded.remove(loaded.history().at(0));
    EXPECT_TRUE(QFile::exists(folderFile(QStringLiteral("shared.md"))));
    loaded.remove(loaded.history().at(0));
    EXPECT_FALSE(QFile::exists(folderFile(QStringLiteral("shared.md"))));
    loaded.remove(loaded.history().at(0));
    EXPECT_TRUE(loaded.history().isEmpty());
    EXPECT_EQ(readFile(SessionStore::indexPath()), QByteArray("[]"));
}

TEST(SessionStoreTest, APracticeAndAMissingSummaryAreMarkedInTheNoteAndIndexOnly) {
    PolishLocale polish;
    test::TempHome home;
    ManualClock clock(localMs(2026, 3, 4, 9, 15));
    SessionStore store(clock);
    SessionMeta meta = store.current();
    meta.rehearsal = true;
    store.setCurrent(meta);
    store.setCompany(QStringLiteral("Acme")); // later edits keep the mark
    const auto practice = store.finish(QStringLiteral("[00:01] Klient: Ile to kosztuje?"), QStringLiteral("s"));
    ASSERT_TRUE(practice.ok);
    EXPECT_TRUE(readFile(*practice.path)
                    .startsWith(QStringLiteral("# Acme  \n**Próba rozmowy** — pytania klienta czytał Quippet  \n"
                                               "**Firma:** Acme  \n")
                                    .toUtf8()));

    store.startNew();
    EXPECT_FALSE(store.current().rehearsal) << "the next conversation starts unmarked";
    // No summary (the model failed): the transcript is kept all the same, and the history says what is missing.
    const auto real = store.finish(QStringLiteral("t"), QString());
    ASSERT_TRUE(real.ok);
    EXPECT_FALSE(readFile(*real.path).contains("Próba rozmowy"));

    // The key is written for the practice only, and both read back as they were.
    const QJsonArray index = QJsonDocument::fromJson(readFile(SessionStore::indexPath())).array();
    ASSERT_EQ(index.size(), 2);
    EXPECT_FALSE(index.at(0).toObject().contains(QStringLiteral("rehearsal")));
    EXPECT_EQ(index.at(1).toObject().value(QStringLiteral("rehearsal")), QJsonValue(true));
    EXPECT_EQ(index.at(0).toObject().value(QStringLiteral("noSummary")), QJsonValue(true));
    EXPECT_FALSE(index.at(1).toObject().contains(QStringLiteral("noSummary")));
    EXPECT_EQ(SessionStore(clock).history(), store.history());

    // How other writers may spell it: absent, false and null read as a real conversation; a value of another
    // type makes the entry unreadable like any other bad field.
    const struct {
        const char* extra;
        std::optional<bool> rehearsal; // nothing: the entry does not read
    } cases[] = {{"", false},
                 {R"(,"rehearsal":false)", false},
                 {R"(,"rehearsal":null)", false},
                 {R"(,"rehearsal":true)", true},
                 {R"(,"rehearsal":"true")", std::nullopt},
                 {R"(,"rehearsal":1)", std::nullopt}};
    for (const auto& c : cases) {
        const auto meta = SessionMeta::fromJson(QJsonDocument::fromJson(entry('6', "A", "100", c.extra)).object());
        EXPECT_EQ(meta ? std::optional(meta->rehearsal) : std::nullopt, c.rehearsal) << c.extra;
    }
}
