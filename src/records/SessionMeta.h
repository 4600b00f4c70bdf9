#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QUuid>

#include <optional>

namespace quippet {

// Sales talk or an evaluation interview; the raw values are what the index stores.
enum class ConversationMode { Sales, Evaluation };

namespace conversationMode {
QList<ConversationMode> all();
QString rawValue(ConversationMode mode); // "Handlowa", "Oceniająca"
std::optional<ConversationMode> fromRawValue(const QString& raw);
QString title(ConversationMode mode);
QString hint(ConversationMode mode);
} // namespace conversationMode

// One conversation: the one being held now, or a finished one from the history.
struct SessionMeta {
    QUuid id;
    QString name;    // the person the user talks to
    QString company; // the client's company
    QString topic;
    ConversationMode mode = ConversationMode::Sales;
    QDateTime startedAt;
    std::optional<QDateTime> endedAt;
    std::optional<QString> summaryFile; // note file name inside the conversations folder
    bool rehearsal = false;             // a practice conversation, the client's side read out by Quippet
    bool noSummary = false;             // the note holds the transcript only: the summary failed or never started

    static SessionMeta fresh(const QDateTime& now);

    QString displayName() const;
    // Conversation facts for the assistant's prompts.
    QString promptHeader() const;
    // Base name of the note file, e.g. "2026-03-04_0915-Acme-Oferta-Q2".
    QString fileSlug() const;

    QJsonObject toJson() const;
    // Nothing when a required key is missing or a value does not decode.
    static std::optional<SessionMeta> fromJson(const QJsonObject& object);

    bool operator==(const SessionMeta&) const = default;
};

// The first `count` characters of text, counted in code points so a surrogate pair is never cut in half.
QString leftCharacters(const QString& text, qsizetype count);
// How many UTF-16 units those first `count` characters take.
qsizetype leftCharactersSize(QStringView text, qsizetype count);

// Dates in the index are seconds (with fraction) since 2001-01-01 00:00:00 UTC.
double secondsSinceReferenceDate(const QDateTime& at);
QDateTime dateFromReferenceSeconds(double seconds);

} // namespace quippet

Q_DECLARE_METATYPE(quippet::SessionMeta)
