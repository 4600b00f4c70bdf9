#include "records/SessionMeta.h"

#include "core/Localization.h"

#include <QJsonValue>
#include <QLocale>
#include <QStringList>

#include <cmath>

namespace quippet {

namespace {
constexpr qint64 kReferenceDateMs = 978'307'200'000; // 2001-01-01 00:00:00 UTC
}

namespace conversationMode {
QList<ConversationMode> all() {
    return {ConversationMode::Sales, ConversationMode::Evaluation};
}

QString rawValue(ConversationMode mode) {
    return mode == ConversationMode::Sales ? QStringLiteral("Handlowa") : QStringLiteral("Oceniająca");
}

std::optional<ConversationMode> fromRawValue(const QString& raw) {
    for (ConversationMode mode : all()) {
        if (rawValue(mode) == raw)
            return mode;
    }
    return std::nullopt;
}

QString title(ConversationMode mode) {
    return i18n::text(mode == ConversationMode::Sales ? "mode.sales" : "mode.evaluation");
}

QString hint(ConversationMode mode) {
    return i18n::text(mode == ConversationMode::Sales ? "mode.sales.hint" : "mode.evaluation.hint");
}
} // namespace conversationMode

qsizetype leftCharactersSize(QStringView text, qsizetype count) {
    if (text.size() <= count)
        return text.size();
    qsizetype units = 0;
    for (qsizetype chars = 0; chars < count && units < text.size(); ++chars) {
        const bool pair =
            text.at(units).isHighSurrogate() && units + 1 < text.size() && text.at(units + 1).isLowSurrogate();
        units += pair ? 2 : 1;
    }
    return units;
}

QString leftCharacters(const QString& text, qsizetype count) {
    return text.left(leftCharactersSize(text, count));
}

double secondsSinceReferenceDate(const QDateTime& at) {
    return double(at.toMSecsSinceEpoch() - kReferenceDateMs) / 1000.0;
}

QDateTime dateFromReferenceSeconds(double seconds) {
    // UTC, not local time: a local QDateTime asks the C library for the zone on every use, which dominates the
    // loading of a long history.
    return QDateTime::fromMSecsSinceEpoch(kReferenceDateMs + std::llround(seconds * 1000.0), Qt::UTC);
}

SessionMeta SessionMeta::fresh(const QDateTime& now) {
    SessionMeta meta;
    meta.id = QUuid::createUuid();
    meta.startedAt = now.toUTC();
    return meta;
}

QString SessionMeta::displayName() const {
    if (!name.isEmpty())
        return name;
    if (!company.isEmpty())
        return company;
    const QLocale locale;
    const QDateTime local = startedAt.toLocalTime();
    const QString when = locale.toString(local.date(), QStringLiteral("d MMM yyyy")) + QStringLiteral(", ") +
                         locale.toString(local.time(), QLocale::ShortFormat);
    return i18n::format("file.untitled", when);
}

QString SessionMeta::promptHeader() const {
    QStringList lines;
    if (!company.isEmpty())
        lines << QStringLiteral("Firma klienta: ") + company;
    if (!topic.isEmpty())
        lines << QStringLiteral("Temat rozmowy: ") + topic;
    lines << QStringLiteral("Charakter rozmowy: ") + conversationMode::rawValue(mode).toLower();
    return lines.join(QLatin1Char('\n'));
}

QString SessionMeta::fileSlug() const {
    const QString datePart = startedAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd_HHmm"));
    QStringList pieces;
    for (const QString& piece : {company, name.isEmpty() ? topic : name}) {
        if (!piece.isEmpty())
            pieces << piece;
    }
    QString namePart = pieces.join(QLatin1Char('-'));
    namePart.replace(QLatin1Char('/'), QLatin1Char('-')).replace(QLatin1Char(' '), QLatin1Char('-'));
    namePart = leftCharacters(namePart, 60);
    // File names are capped in bytes (255), and an emoji takes four: with the date, a "-2" and ".md" it must fit.
    constexpr qsizetype kMaxNameBytes = 200;
    while (namePart.toUtf8().size() > kMaxNameBytes)
        namePart.chop(namePart.size() >= 2 && namePart.back().isLowSurrogate() ? 2 : 1);
    if (namePart.isEmpty())
        return QStringLiteral("rozmowa-") + datePart;
    return datePart + QLatin1Char('-') + namePart;
}

QJsonObject SessionMeta::toJson() const {
    QJsonObject o;
    o.insert(QStringLiteral("id"), id.toString(QUuid::WithoutBraces).toUpper());
    o.insert(QStringLiteral("name"), name);
    o.insert(QStringLiteral("company"), company);
    o.insert(QStringLiteral("topic"), topic);
    o.insert(QStringLiteral("mode"), conversationMode::rawValue(mode));
    o.insert(QStringLiteral("startedAt"), secondsSinceReferenceDate(startedAt));
    if (endedAt)
        o.insert(QStringLiteral("endedAt"), secondsSinceReferenceDate(*endedAt));
    if (summaryFile)
        o.insert(QStringLiteral("summaryFile"), *summaryFile);
    // Only when set, so the entries of real conversations read the same as those of older releases.
    if (rehearsal)
        o.insert(QStringLiteral("rehearsal"), true);
    if (noSummary)
        o.insert(QStringLiteral("noSummary"), true);
    return o;
}

std::optional<SessionMeta> SessionMeta::fromJson(const QJsonObject& o) {
    const QJsonValue id = o.value(QStringLiteral("id"));
    const QJsonValue name = o.value(QStringLiteral("name"));
    const QJsonValue company = o.value(QStringLiteral("company"));
    const QJsonValue topic = o.value(QStringLiteral("topic"));
    const QJsonValue mode = o.value(QStringLiteral("mode"));
    const QJsonValue started = o.value(QStringLiteral("startedAt"));
    if (!id.isString() || !name.isString() || !company.isString() || !topic.isString() || !mode.isString() ||
        !started.isDouble())
        return std::nullopt;
    SessionMeta meta;
    meta.id = QUuid::fromString(id.toString());
    const auto parsedMode = conversationMode::fromRawValue(mode.toString());
    if (meta.id.isNull() || !parsedMode)
        return std::nullopt;
    meta.mode = *parsedMode;
    meta.name = name.toString();
    meta.company = company.toString();
    meta.topic = topic.toString();
    meta.startedAt = dateFromReferenceSeconds(started.toDouble());
    // A field written as null reads as absent.
    if (o.contains(QStringLiteral("endedAt")) && !o.value(QStringLiteral("endedAt")).isNull()) {
        const QJsonValue ended = o.value(QStringLiteral("endedAt"));
        if (!ended.isDouble())
            return std::nullopt;
        meta.endedAt = dateFromReferenceSeconds(ended.toDouble());
    }
    if (o.contains(QStringLiteral("summaryFile")) && !o.value(QStringLiteral("summaryFile")).isNull()) {
        const QJsonValue file = o.value(QStringLiteral("summaryFile"));
        if (!file.isString())
            return std::nullopt;
        meta.summaryFile = file.toString();
    }
    if (o.contains(QStringLiteral("rehearsal")) && !o.value(QStringLiteral("rehearsal")).isNull()) {
        const QJsonValue rehearsal = o.value(QStringLiteral("rehearsal"));
        if (!rehearsal.isBool())
            return std::nullopt;
        meta.rehearsal = rehearsal.toBool();
    }
    // Optional flags: absent, null or not a boolean reads as unset.
    meta.noSummary = o.value(QStringLiteral("noSummary")).toBool(false);
    return meta;
}

} // namespace quippet
