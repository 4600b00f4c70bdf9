#include "assistant/ContextDocuments.h"
#include "assistant/Assistant.h"
#include "assistant/Prompts.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "peers/ScriptedLlm.h"
#include "speech/TranscriptBuffer.h"
#include "support/Files.h"
#include "support/ManualClock.h"
#include "support/PdfWriter.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QSignalSpy>
#include <QTest>

using namespace quippet;

namespace {

QString inFolder(const QString& name = {}) {
    return QDir(ContextDocuments::folderPath()).filePath(name);
}

void writeFile(const QString& name, const QByteArray& bytes) {
    test::writeFile(inFolder(name), bytes);
}

QByteArray readFile(const QString& name) {
    return test::readFile(inFolder(name));
}

// A one-page PDF with Helvetica text (ASCII), or with no text layer at all (like a scan) when text is empty.
QByteArray makePdf(const QByteArray& text) {
    return test::pdfFromPages(
        {text.isEmpty() ? QByteArray("0 0 m 10 10 l S") : "BT /F1 12 Tf 72 720 Td (" + text + ") Tj ET"});
}

void setModified(const QString& name, const QDateTime& at) {
    QFile file(inFolder(name));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(at, QFileDevice::FileModificationTime));
}

} // namespace

TEST(ContextDocumentsTest, ScanPicksDocumentsAndPublishesThem) {
    test::TempHome home;
    writeFile(QStringLiteral("o-mnie.md"), QByteArray());
    writeFile(QStringLiteral("b.md"), "b");
    writeFile(QStringLiteral("a.pdf"), makePdf("A"));
    writeFile(QStringLiteral("notes.TXT"), "upper-case suffix does not count");
    writeFile(QStringLiteral(".quippet-sync.json"), "{}");
    writeFile(QStringLiteral("Z.txt"), "z");
    QDir().mkpath(inFolder(QStringLiteral("folder.md")));
    writeFile(QStringLiteral("sub/inner.md"), "not searched");

    const auto scan = ContextDocuments::scan();
    EXPECT_EQ(scan.files, (QStringList{QStringLiteral("Z.txt"), QStringLiteral("a.pdf"), QStringLiteral("b.md")}));
    EXPECT_TRUE(scan.hasProfile);

    ManualClock clock;
    TranscriptBuffer transcript(clock);
    test::ScriptedLlm llm;
    Assistant assistant(transcript, llm, clock, {});

    // Additions and removals need a reload; each published change is announced.
    QSignalSpy filesSpy(&assistant, &Assistant::contextFilesChanged);
    QSignalSpy profileSpy(&assistant, &Assistant::hasProfileChanged);
    QFile::remove(inFolder(QStringLiteral("o-mnie.md")));
    writeFile(QStringLiteral("c.txt"), "c");
    assistant.reloadContext();
    EXPECT_EQ(assistant.contextFiles().size(), 4);
    EXPECT_FALSE(assistant.hasProfile());
    EXPECT_EQ(filesSpy.count(), 1);
    EXPECT_EQ(profileSpy.count(), 1);
    assistant.reloadContext();
    EXPECT_EQ(filesSpy.count(), 1);

    // A missing folder is created by the scan.
    QDir(inFolder()).removeRecursively();
    EXPECT_TRUE(ContextDocuments::scan().files.isEmpty());
    EXPECT_TRUE(QDir(inFolder()).exists());
}

TEST(ContextDocumentsTest, LimitsCountCharactersAndSkipUnreadableFiles) {
    test::TempHome home;
    // 5999 letters and an emoji (two UTF-16 units) make exactly 6000 characters; one more letter pushes the
    // emoji out whole instead of cutting it in half.
    const QString emoji = QStringLiteral("😀");
    writeFile(QStringLiteral("o-mnie.md"), (QString(5999, QLatin1Char('a')) + emoji + QStringLiteral("ż")).toUtf8());
    EXPECT_EQ(ContextDocuments::profileText(), QString(5999, QLatin1Char('a')) + emoji);
    writeFile(QStringLiteral("o-mnie.md"), (QString(6000, QLatin1Char('a')) + emoji).toUtf8());
    EXPECT_EQ(ContextDocuments::profileText(), QString(6000, QLatin1Char('a')));
    writeFile(QStringLiteral("o-mnie.md"), QByteArray());
    EXPECT_TRUE(ContextDocuments::profileText().isEmpty());

    const QString longDoc = QString(7999, QLatin1Char('x')) + QStringLiteral("ąę") + QString(2000, QLatin1Char('y'));
    writeFile(QStringLiteral("long.md"), longDoc.toUtf8());
    writeFile(QStringLiteral("short.txt"), "Pakiet S: 99 zł");
    writeFile(QStringLiteral("broken.txt"), QByteArray("\xff\xfe") + "nie UTF-8");
    ContextDocuments docs;
    const QStringList files = {"broken.txt", "long.md", "missing.md", "short.txt"};
    EXPECT_EQ(docs.contextText(files, ContextDocuments::kDocumentLimit),
              QStringLiteral("--- long.md ---\n") + QString(7999, QLatin1Char('x')) + QStringLiteral("ą") +
                  QStringLiteral("\n\n--- short.txt ---\nPakiet S: 99 zł"));

    // Text files are read at every build, so an edit counts without a reload.
    writeFile(QStringLiteral("short.txt"), "Pakiet S: 109 zł");
    EXPECT_TRUE(docs.contextText({QStringLiteral("short.txt")}, 8000).endsWith(QStringLiteral("109 zł")));

    // A FIFO named like a document is neither listed nor opened (opening it would block until a writer comes).
    const QString fifo = QDir(ContextDocuments::folderPath()).filePath(QStringLiteral("rura.md"));
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    EXPECT_TRUE(test::returnsWithoutOpening(fifo, [&] {
        EXPECT_FALSE(ContextDocuments::scan().files.contains(QStringLiteral("rura.md")));
        EXPECT_TRUE(docs.contextText({QStringLiteral("rura.md")}, 8000).isEmpty());
    }));

    // A document far larger than a prompt uses: its start, cut at a whole character.
    writeFile(QStringLiteral("huge.md"), QString(4'000'000, QChar(0x0105)).toUtf8());
    EXPECT_EQ(docs.contextText({QStringLiteral("huge.md")}, 8000),
              QStringLiteral("--- huge.md ---\n") + QString(8000, QChar(0x0105)));
}

TEST(ContextDocumentsTest, PdfTextIsExtractedAsideAndCachedByNameAndModificationDate) {
    test::TempHome home;
    const QDateTime first = QDateTime::currentDateTimeUtc().addDays(-2);
    writeFile(QStringLiteral("cennik.pdf"), makePdf("Pakiet Pro 120 PLN"));
    setModified(QStringLiteral("cennik.pdf"), first);
    ContextDocuments docs;
    const QStringList files = {QStringLiteral("cennik.pdf")};
    auto settled = [&] { return QTest::qWaitFor([&] { return docs.pdfExtractionsRunning() == 0; }); };

    // While its text is extracted on a worker, a prompt goes without it instead of waiting.
    EXPECT_TRUE(docs.contextText(files, 8000).isEmpty());
    ASSERT_TRUE(settled());
    const QString text = docs.contextText(files, 8000);
    EXPECT_TRUE(text.startsWith(QStringLiteral("--- cennik.pdf ---\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Pakiet Pro 120 PLN"))) << text.toStdString();
    EXPECT_EQ(docs.pdfExtractions(), 1);

    // A newer version is extracted again.
    writeFile(QStringLiteral("cennik.pdf"), makePdf("Pakiet Pro 150 PLN"));
    setModified(QStringLiteral("cennik.pdf"), first.addSecs(3600));
    docs.prefetch(files);
    ASSERT_TRUE(settled());
    EXPECT_TRUE(docs.contextText(files, 8000).contains(QStringLiteral("150 PLN")));
    EXPECT_EQ(docs.pdfExtractions(), 2);

    // A scan without a text layer and a file that is no PDF contribute nothing, and are not tried again.
    writeFile(QStringLiteral("skan.pdf"), makePdf(QByteArray()));
    writeFile(QStringLiteral("zepsuty.pdf"), "to nie jest PDF");
    const QStringList bad = {QStringLiteral("skan.pdf"), QStringLiteral("zepsuty.pdf")};
    docs.prefetch(bad);
    ASSERT_TRUE(settled());
    EXPECT_TRUE(docs.contextText(bad, 8000).isEmpty());
    EXPECT_EQ(docs.pdfExtractions(), 4);
    EXPECT_EQ(docs.cachedPdfs(), 2) << "the text of a PDF no longer among the documents is dropped";
}

TEST(ContextDocumentsTest, OnboardingTemplates) {
    test::TempHome home;
    EXPECT_TRUE(Onboarding::needed());
    Settings::setValue(Settings::kOnboardingSkipped, true);
    EXPECT_FALSE(Onboarding::needed());
    Settings::setValue(Settings::kOnboardingSkipped, false);

    Onboarding::createTemplates();
    EXPECT_EQ(readFile(QStringLiteral("o-mnie.md")), Prompts::profileTemplate().toUtf8());
    EXPECT_EQ(readFile(QStringLiteral("oferta.md")), Prompts::offerTemplate().toUtf8());
    EXPECT_FALSE(Onboarding::needed());

    // An existing profile is never overwritten; only the missing offer is written, in the interface language.
    writeFile(QStringLiteral("o-mnie.md"), "Mój profil");
    QFile::remove(inFolder(QStringLiteral("oferta.md")));
    i18n::overrideLanguage(QStringLiteral("en"));
    Onboarding::createTemplates();
    i18n::overrideLanguage(QStringLiteral("pl"));
    EXPECT_EQ(readFile(QStringLiteral("o-mnie.md")), QByteArray("Mój profil"));
    EXPECT_TRUE(readFile(QStringLiteral("oferta.md")).startsWith("# Offer and price list\n\n"));
}
