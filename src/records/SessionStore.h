#pragma once

#include "records/SessionMeta.h"

#include <QList>
#include <QObject>
#include <QString>

#include <optional>

namespace quippet {

class Clock;

// The conversation held now and the history of finished ones, stored as one Markdown note per conversation plus
// "index.json" in ~/quippet-rozmowy. Main thread only.
class SessionStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(quippet::SessionMeta current READ current WRITE setCurrent NOTIFY currentChanged)
    Q_PROPERTY(QList<quippet::SessionMeta> history READ history NOTIFY historyChanged)
public:
    struct FinishResult {
        std::optional<QString> path; // the note's location, only when it was written
        bool ok = false;             // false: nothing was stored, the caller keeps the conversation
    };

    explicit SessionStore(Clock& clock, QObject* parent = nullptr);

    static QString folderPath();
    static QString indexPath();

    const SessionMeta& current() const { return m_current; }
    const QList<SessionMeta>& history() const { return m_history; }

    void setCurrent(const SessionMeta& meta);
    void setName(const QString& name);
    void setCompany(const QString& company);
    void setTopic(const QString& topic);
    void setMode(ConversationMode mode);

    void startNew();
    void loadHistory();
    // Writes the note of the current conversation and records it in the history. `current` is left as it is.
    FinishResult finish(const QString& transcript, const QString& summary);
    // Removes a finished conversation and its note.
    void remove(const SessionMeta& meta);

    // The note file's exact content.
    static QByteArray noteText(const SessionMeta& meta, const QString& transcript, const QString& summary);
    // Compact JSON array of the entries.
    static QByteArray encodeIndex(const QList<SessionMeta>& entries);
    // Nothing when the bytes are not a JSON array of valid entries.
    // Nothing when the bytes are no JSON array; otherwise every entry that reads, with `complete` false when one
    // did not.
    static std::optional<QList<SessionMeta>> decodeIndex(const QByteArray& bytes, bool* complete = nullptr);

signals:
    void currentChanged();
    void historyChanged();

private:
    bool saveIndex();
    bool moveCorruptIndexAside();
    QString freeNoteName(const QString& slug) const;

    Clock& m_clock;
    SessionMeta m_current;
    QList<SessionMeta> m_history;
    // An index that exists but does not decode is never overwritten before it has been moved aside.
    bool m_corruptIndexInPlace = false;
};

} // namespace quippet
