#include "ui/OverlayText.h"

#include "core/Localization.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace quippet::overlay {

QString normalized(const QString& text) {
    // Only spaces and tabs around the marker: a line break there would glue the quote to the line before.
    static const QRegularExpression quote(QStringLiteral("^[ \\t]*>[ \\t]?"), QRegularExpression::MultilineOption);
    static const QRegularExpression formula(QStringLiteral("\\$([^$\\s][^$\\n]{0,30}?)\\$"));
    QString out = text;
    if (out.contains(QLatin1Char('>')))
        out.replace(quote, QString());
    if (out.contains(QLatin1Char('$')))
        out.replace(formula, QStringLiteral("\\1"));
    return out;
}

QList<Segment> segments(const QString& text) {
    QList<Segment> out;
    const QString source = normalized(text);
    const QString fence = QStringLiteral("```");
    qsizetype from = 0;
    for (int piece = 0;; ++piece) {
        const qsizetype at = source.indexOf(fence, from);
        QString part = source.mid(from, at < 0 ? -1 : at - from);
        const bool isCode = piece % 2 == 1;
        if (isCode) {
            const qsizetype lineEnd = part.indexOf(QLatin1Char('\n'));
            if (lineEnd >= 0 && lineEnd < 15 && !QStringView(part).left(lineEnd).contains(QLatin1Char(' ')))
                part.remove(0, lineEnd + 1);
        }
        part = part.trimmed();
        if (!part.isEmpty())
            out.append({part, isCode});
        if (at < 0)
            break;
        from = at + fence.size();
    }
    return out;
}

namespace {

class InlineParser {
public:
    explicit InlineParser(QList<Run>& out) : m_out(out) {}

    void parse(QStringView s, int style, const QString& link) {
        QString plain;
        auto flush = [&] {
            if (!plain.isEmpty())
                emitRun(plain, style, link);
            plain.clear();
        };
        qsizetype i = 0;
        while (i < s.size()) {
            const QChar c = s[i];
            if (c == QLatin1Char('\\') && i + 1 < s.size() && s[i + 1].isPunct()) {
                plain += s[i + 1];
                i += 2;
                continue;
            }
            if (c == QLatin1Char('`')) {
                const qsizetype n = runLength(s, i);
                const qsizetype close = findRun(s, i + n, c, n, false);
                if (close >= 0) {
                    flush();
                    QStringView code = s.mid(i + n, close - i - n);
                    if (code.size() > 2 && code.front() == QLatin1Char(' ') && code.back() == QLatin1Char(' '))
                        code = code.mid(1, code.size() - 2);
                    emitRun(code.toString(), style | Run::Code, link);
                    i = close + n;
                } else {
                    plain += s.mid(i, n);
                    i += n;
                }
                continue;
            }
            if (c == QLatin1Char('*') || c == QLatin1Char('_') || c == QLatin1Char('~')) {
                const qsizetype n = runLength(s, i);
                const qsizetype used = c == QLatin1Char('~') ? (n == 2 ? 2 : 0) : std::min<qsizetype>(n, 3);
                const bool opens = used > 0 && n == used && i + n < s.size() && !s[i + n].isSpace() &&
                                   !(c == QLatin1Char('_') && i > 0 && s[i - 1].isLetterOrNumber());
                const qsizetype close = opens ? findRun(s, i + n, c, used, true) : -1;
                if (close >= 0) {
                    flush();
                    const int added = c == QLatin1Char('~') ? Run::Strike
                                      : used == 1           ? Run::Italic
                                      : used == 2           ? Run::Bold
                                                            : Run::Bold | Run::Italic;
                    parse(s.mid(i + n, close - i - n), style | added, link);
                    i = close + used;
                } else {
                    plain += s.mid(i, n);
                    i += n;
                }
                continue;
            }
            if (c == QLatin1Char('[') && link.isEmpty()) {
                const qsizetype textEnd = s.indexOf(QLatin1Char(']'), i + 1);
                if (textEnd > i + 1 && textEnd + 1 < s.size() && s[textEnd + 1] == QLatin1Char('(')) {
                    const qsizetype targetEnd = s.indexOf(QLatin1Char(')'), textEnd + 2);
                    const QStringView target =
                        targetEnd > 0 ? s.mid(textEnd + 2, targetEnd - textEnd - 2) : QStringView();
                    if (!target.isEmpty() && !target.contains(QLatin1Char(' '))) {
                        flush();
                        parse(s.mid(i + 1, textEnd - i - 1), style, target.toString());
                        i = targetEnd + 1;
                        continue;
                    }
                }
            }
            if (c == QLatin1Char('<') && link.isEmpty()) {
                const qsizetype end = s.indexOf(QLatin1Char('>'), i + 1);
                const QStringView target = end > 0 ? s.mid(i + 1, end - i - 1) : QStringView();
                if ((target.startsWith(QLatin1String("http://")) || target.startsWith(QLatin1String("https://")) ||
                     target.startsWith(QLatin1String("mailto:"))) &&
                    !target.contains(QLatin1Char(' '))) {
                    flush();
                    emitRun(target.toString(), style, target.toString());
                    i = end + 1;
                    continue;
                }
            }
            plain += c;
            ++i;
        }
        flush();
    }

private:
    static qsizetype runLength(QStringView s, qsizetype at) {
        qsizetype n = 0;
        while (at + n < s.size() && s[at + n] == s[at])
            ++n;
        return n;
    }

    // The next run of exactly `length` delimiters at or after `from`; an emphasis closer follows a non-space (and,
    // for "_", is not followed by a letter or digit).
    static qsizetype findRun(QStringView s, qsizetype from, QChar delimiter, qsizetype length, bool emphasis) {
        for (qsizetype i = from; i < s.size();) {
            if (s[i] == QLatin1Char('\\')) {
                i += 2;
                continue;
            }
            if (s[i] != delimiter) {
                ++i;
                continue;
            }
            qsizetype n = 0;
            while (i + n < s.size() && s[i + n] == delimiter)
                ++n;
            const bool fits = n == length && (!emphasis || (i > from && !s[i - 1].isSpace())) &&
                              !(delimiter == QLatin1Char('_') && i + n < s.size() && s[i + n].isLetterOrNumber());
            if (fits)
                return i;
            i += n;
        }
        return -1;
    }

    void emitRun(const QString& text, int style, const QString& link) {
        if (!m_out.isEmpty() && m_out.last().style == style && m_out.last().link == link)
            m_out.last().text += text;
        else
            m_out.append({text, style, link});
    }

    QList<Run>& m_out;
};

} // namespace

QList<Run> styled(const QString& text) {
    QList<Run> out;
    InlineParser parser(out);
    qsizetype from = 0;
    while (from <= text.size()) {
        const qsizetype end = text.indexOf(QLatin1Char('\n'), from);
        parser.parse(QStringView(text).mid(from, end < 0 ? -1 : end - from), Run::Plain, QString());
        if (end < 0)
            break;
        if (!out.isEmpty() && out.last().style == Run::Plain && out.last().link.isEmpty())
            out.last().text += QLatin1Char('\n');
        else
            out.append({QStringLiteral("\n"), Run::Plain, QString()});
        from = end + 1;
    }
    return out;
}

QString humanDuration(qint64 seconds) {
    seconds = std::max<qint64>(seconds, 0);
    if (seconds > 3599)
        return i18n::format("duration.hoursMinutes", i18n::formatNumber(seconds / 3600),
                            i18n::formatNumber(seconds % 3600 / 60));
    return i18n::format("duration.minutes", i18n::formatNumber(seconds / 60));
}

QString accountBalanceLine(const std::optional<QString>& tier, const std::optional<int>& secondsRemaining) {
    if (tier == QStringLiteral("free"))
        return i18n::text("menu.freeTier");
    if (secondsRemaining)
        return i18n::format("menu.balance", humanDuration(*secondsRemaining));
    return i18n::text("menu.balanceUnknown");
}

double barHeight(float level) {
    const double scaled = std::isfinite(level) ? std::clamp(double(level) * 7.0, 0.0, 1.0) : 0.0;
    return scaled * 13.0 + 5.0;
}

} // namespace quippet::overlay
