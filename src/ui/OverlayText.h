#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace quippet::overlay {

// The model's answer as the panel shows it: no block-quote markers, no "$…$" around short inline formulas.
QString normalized(const QString& text);

struct Segment {
    QString text;
    bool isCode = false;
    bool operator==(const Segment&) const = default;
};
// normalized(text) cut at its "```" fences: prose and code alternate, a short tag line after the opening fence
// (json, cpp, …) is dropped, every piece trimmed, empty pieces left out. An unclosed fence runs to the end.
QList<Segment> segments(const QString& text);

// A piece of inline-Markdown prose with one look.
struct Run {
    enum Style { Plain = 0, Bold = 1, Italic = 2, Code = 4, Strike = 8 };
    QString text;
    int style = Plain;
    QString link; // target of [text](link) or <link>
    bool operator==(const Run&) const = default;
};
// Inline Markdown (emphasis, code spans, links, escapes) with the white space, line breaks included, kept as it
// is. Markup that is not closed stays as literal text; emphasis does not run across a line break.
QList<Run> styled(const QString& text);

// "1 godz. 5 min" / "5 min"; negative counts as 0.
QString humanDuration(qint64 seconds);
// The account line of the options menu: the free plan, the time left, or an unknown balance.
QString accountBalanceLine(const std::optional<QString>& tier, const std::optional<int>& secondsRemaining);

// One bar of the level orb, in pixels: 5 at silence, 18 from a level of 1/7 up.
double barHeight(float level);

} // namespace quippet::overlay
