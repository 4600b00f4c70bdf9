#include "ui/OverlayText.h"
#include "core/Localization.h"

#include <gtest/gtest.h>

#include <limits>

using namespace quippet;
using namespace quippet::overlay;

namespace {

// "[c]" marks a code segment: "prose|[c]code|prose".
QString describe(const QList<Segment>& list) {
    QStringList out;
    for (const Segment& s : list)
        out << (s.isCode ? QStringLiteral("[c]") : QString()) + s.text;
    return out.join(QLatin1Char('|'));
}

// Runs as "text" with style marks: *bold* /italic/ `code` ~strike~ and {link}.
QString describe(const QList<Run>& list) {
    QString out;
    for (const Run& r : list) {
        QString t = r.text;
        if (r.style & Run::Code)
            t = QLatin1Char('`') + t + QLatin1Char('`');
        if (r.style & Run::Italic)
            t = QLatin1Char('/') + t + QLatin1Char('/');
        if (r.style & Run::Bold)
            t = QLatin1Char('*') + t + QLatin1Char('*');
        if (r.style & Run::Strike)
            t = QLatin1Char('~') + t + QLatin1Char('~');
        if (!r.link.isEmpty())
            t += QLatin1Char('{') + r.link + QLatin1Char('}');
        out += t;
    }
    return out;
}

} // namespace

TEST(OverlayTextTest, NormalizedAndSegments) {
    const struct {
        const char* in;
        const char* segments;
    } cases[] = {
        // Formula delimiters around short text go; a space after "$", a line break or more than 31 characters
        // keep them.
        {"Price $5 and $10", "Price 5 and 10"},
        {"a $ b $", "a $ b $"},
        {"$x\ny$", "$x\ny$"},
        {"$abcdefghijklmnopqrstuvwxyzabcdefg$", "$abcdefghijklmnopqrstuvwxyzabcdefg$"},
        // Quote markers with and without a space lose only the marker; a blank line between quotes stays.
        {"> one\n>two\n>\n  > three", "one\ntwo\n\nthree"},
        {"a > b", "a > b"},
        // A short tag line is dropped; one with a space or of 15 characters stays as code.
        {"Intro\n```json\n{\"a\": 1}\n```\nOutro", "Intro|[c]{\"a\": 1}|Outro"},
        {"```not a tag\nx\n```", "[c]not a tag\nx"},
        {"```abcdefghijklmno\nx```", "[c]abcdefghijklmno\nx"},
        {"```\ncode\n```", "[c]code"},
        // An unclosed fence runs to the end; empty pieces are left out.
        {"Look:\n```py\nprint(1)", "Look:|[c]print(1)"},
        {"```a``````b```", "[c]a|[c]b"},
        {"  \n ", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describe(segments(QString::fromUtf8(c.in))), QString::fromUtf8(c.segments)) << c.in;
}

TEST(OverlayTextTest, StyledInlineMarkdown) {
    const struct {
        const char* in;
        const char* runs;
    } cases[] = {
        {"**bold** and *it* and _it_", "*bold* and /it/ and /it/"},
        {"***both*** ~~gone~~", "*/both/* ~gone~"},
        {"`a*b*c` and ``x ` y``", "`a*b*c` and `x ` y`"},
        {"[umowa](https://x.pl/sla) or <https://x.pl>", "umowa{https://x.pl/sla} or https://x.pl{https://x.pl}"},
        {"**[bold link](u)**", "*bold link*{u}"},
        // Unclosed or spaced markers, intraword underscores and escapes stay literal.
        {"2 * 3 * 4, **open, snake_case_name, \\*star\\*", "2 * 3 * 4, **open, snake_case_name, *star*"},
        {"[not a link] (x)", "[not a link] (x)"},
        // Line breaks are kept and emphasis does not cross them.
        {"*a\nb*\n\n**c**", "*a\nb*\n\n*c*"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describe(styled(QString::fromUtf8(c.in))), QString::fromUtf8(c.runs)) << c.in;
}

TEST(OverlayTextTest, DurationsBalanceAndBars) {
    const struct {
        qint64 seconds;
        QString text;
    } durations[] = {
        {3600, i18n::format("duration.hoursMinutes", QStringLiteral("1"), QStringLiteral("0"))},
        {3599, i18n::format("duration.minutes", QStringLiteral("59"))},
        {-5, i18n::format("duration.minutes", QStringLiteral("0"))},
        {7325, i18n::format("duration.hoursMinutes", QStringLiteral("2"), QStringLiteral("2"))},
    };
    for (const auto& d : durations)
        EXPECT_EQ(humanDuration(d.seconds), d.text) << d.seconds;

    const QString free = QStringLiteral("free");
    EXPECT_EQ(accountBalanceLine(free, 600), i18n::text("menu.freeTier"));
    EXPECT_EQ(accountBalanceLine(QStringLiteral("pro"), 600), i18n::format("menu.balance", humanDuration(600)));
    EXPECT_EQ(accountBalanceLine(std::nullopt, 90), i18n::format("menu.balance", humanDuration(90)));
    EXPECT_EQ(accountBalanceLine(QStringLiteral("Free"), std::nullopt), i18n::text("menu.balanceUnknown"));

    for (const auto& [level, height] : {std::pair{0.0f, 5.0},
                                        {1.0f / 7.0f, 18.0},
                                        {0.5f, 18.0},
                                        {1.0f / 14.0f, 11.5},
                                        {-1.0f, 5.0},
                                        {std::numeric_limits<float>::quiet_NaN(), 5.0}})
        EXPECT_NEAR(barHeight(level), height, 1e-4) << level;
}
