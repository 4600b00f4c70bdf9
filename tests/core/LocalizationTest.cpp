#include "core/Localization.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>

using namespace quippet;

namespace {

QString sourceDir() {
    return QStringLiteral(QUIPPET_SOURCE_DIR);
}

// key -> argument count, from the contract file beside the tables.
QMap<QString, int> formatKeys() {
    QMap<QString, int> out;
    QFile f(sourceDir() + QStringLiteral("/resources/i18n/format-keys.txt"));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> cols = line.split('\t');
        if (cols.size() >= 2)
            out.insert(QString::fromUtf8(cols[0]), cols[1].toInt());
    }
    return out;
}

QSet<int> placeholders(const QString& text) {
    QSet<int> out;
    static const QRegularExpression re(QStringLiteral("%L?(\\d+)"));
    for (auto it = re.globalMatch(text); it.hasNext();)
        out.insert(it.next().captured(1).toInt());
    return out;
}

struct LanguageGuard {
    explicit LanguageGuard(const QString& lang) { i18n::overrideLanguage(lang); }
    ~LanguageGuard() { i18n::overrideLanguage(QStringLiteral("pl")); }
};

} // namespace

TEST(LocalizationTest, TablesAgreeAndFormatsTakeTheirArguments) {
    const QStringList pl = i18n::keys(QStringLiteral("pl"));
    const QStringList en = i18n::keys(QStringLiteral("en"));
    ASSERT_GT(pl.size(), 100);
    EXPECT_EQ(QSet<QString>(pl.begin(), pl.end()), QSet<QString>(en.begin(), en.end()));

    const auto formats = formatKeys();
    for (const QString& lang : {QStringLiteral("pl"), QStringLiteral("en")}) {
        LanguageGuard guard(lang);
        for (const QString& key : pl) {
            const QString text = i18n::text(key);
            EXPECT_FALSE(text.trimmed().isEmpty()) << lang.toStdString() << " " << key.toStdString();
            QSet<int> expected;
            for (int i = 1; i <= formats.value(key, 0); ++i)
                expected.insert(i);
            EXPECT_EQ(placeholders(text), expected) << lang.toStdString() << " " << key.toStdString();
        }
    }
}

TEST(LocalizationTest, EveryKeyTheCodeUsesExists) {
    static const QRegularExpression keyRe(QStringLiteral(
        "\"((?:menu|panel|welcome|card|notice|session|manager|profile|settings|mode|file|zone|install|login|perm|"
        "speaker|chrome|docs|duration|status)\\.[A-Za-z0-9.]+)\""));
    const QStringList known = i18n::keys(QStringLiteral("pl"));
    const QSet<QString> table(known.begin(), known.end());
    int found = 0;
    QDirIterator it(sourceDir() + QStringLiteral("/src"), {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QString source = QString::fromUtf8(f.readAll());
        for (auto m = keyRe.globalMatch(source); m.hasNext();) {
            const QString key = m.next().captured(1);
            if (key.endsWith(QLatin1String(".json")) || key.endsWith(QLatin1String(".md")))
                continue;
            ++found;
            EXPECT_TRUE(table.contains(key)) << key.toStdString() << " used in " << path.toStdString();
        }
    }
    EXPECT_GT(found, 0);
    EXPECT_EQ(i18n::text("no.such.key"), QStringLiteral("no.such.key"));
}

TEST(LocalizationTest, LanguageChoice) {
    const QStringList available{QStringLiteral("en"), QStringLiteral("pl")};
    EXPECT_EQ(i18n::chooseLanguage(available, {QStringLiteral("de-DE"), QStringLiteral("pl_PL")}),
              QStringLiteral("pl"));
    EXPECT_EQ(i18n::chooseLanguage(available, {QStringLiteral("en-GB"), QStringLiteral("pl")}), QStringLiteral("en"));
    EXPECT_EQ(i18n::chooseLanguage(available, {QStringLiteral("de"), QStringLiteral("fr")}), QStringLiteral("en"));
    EXPECT_EQ(i18n::chooseLanguage(available, {}), QStringLiteral("en"));
    {
        LanguageGuard guard(QStringLiteral("en"));
        EXPECT_TRUE(i18n::uiLanguageIsEnglish());
        EXPECT_NE(i18n::text("speaker.client"), QStringLiteral("speaker.client"));
    }
    EXPECT_FALSE(i18n::uiLanguageIsEnglish());
}

TEST(LocalizationTest, LocaleReportOnlyWhenAskedFor) {
    const auto captureStderr = [](void (*fn)()) {
        testing::internal::CaptureStderr();
        fn();
        return QString::fromStdString(testing::internal::GetCapturedStderr());
    };
    qunsetenv("QUIPPET_DEBUG_LOCALE");
    EXPECT_EQ(captureStderr(i18n::logLocaleChoice), QString());
    qputenv("QUIPPET_DEBUG_LOCALE", "true");
    EXPECT_EQ(captureStderr(i18n::logLocaleChoice), QString());
    qputenv("QUIPPET_DEBUG_LOCALE", "1");
    const QString report = captureStderr(i18n::logLocaleChoice);
    qunsetenv("QUIPPET_DEBUG_LOCALE");
    const QStringList lines = report.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 5) << report.toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("[locale] dostępne:   [\"en\", \"pl\"]"));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("[locale] systemowe:  [")));
    EXPECT_EQ(lines[2], QStringLiteral("[locale] wybrane:    pl.json"));
    EXPECT_EQ(lines[3], QStringLiteral("[locale] próbka:     ") + i18n::text("welcome.action.ready"));
    EXPECT_EQ(lines[4], QString());
}
