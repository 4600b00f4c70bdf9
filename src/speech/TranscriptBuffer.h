#pragma once

#include "audio/AudioChunk.h"
#include "speech/Utterance.h"

#include <QList>
#include <QMap>
#include <QObject>

#include <functional>
#include <optional>

namespace quippet {

class Clock;

// The running two-speaker transcript. Partials replace the speaker's previous partial; committed text drops the
// microphone's echo of the client (and takes back a user line that turns out to be one), and joins consecutive
// fragments of one speaker within the join window. Main thread only.
class TranscriptBuffer : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<quippet::Utterance> utterances READ utterances NOTIFY utterancesChanged)
    Q_PROPERTY(QString currentFinal READ currentFinal NOTIFY currentLineChanged)
    Q_PROPERTY(QString currentPending READ currentPending NOTIFY currentLineChanged)
public:
    static constexpr qint64 kJoinWindowMs = 8000;

    struct CurrentLine {
        QString final;
        QString pending;
    };

    explicit TranscriptBuffer(Clock& clock, QObject* parent = nullptr);

    void add(Utterance::Speaker speaker, const QString& text, bool isFinal);
    // A line of one side's transcription as the capture heard it: the system audio is the client, the microphone
    // the user.
    void hear(AudioChannel channel, const QString& text, bool isFinal);

    // The last `limit` utterances as "[mm:ss] Label: text" lines; minutes may exceed two digits.
    QString context(qsizetype limit) const;
    // The same with the client's partial line as if it had just been said (it counts towards the limit).
    QString context(qsizetype limit, const QString& clientPartial) const;
    CurrentLine currentLine() const;
    QString currentFinal() const { return currentLine().final; }
    QString currentPending() const { return currentLine().pending; }
    std::optional<QString> lastClientUtterance() const;
    bool isEmpty() const { return m_utterances.isEmpty() && m_pending.isEmpty(); }

    const QList<Utterance>& utterances() const { return m_utterances; }
    const QMap<Utterance::Speaker, QString>& pending() const { return m_pending; }
    qint64 startedAtMs() const { return m_startedAtMs; }

    // Empties the transcript after a finished conversation; the time base is kept.
    void clear();

    // True when `a` mostly repeats `b`: more than 60 % of a's distinct words (longer than two characters, at least
    // two of them) appear in b.
    static bool echo(const QString& a, const QString& b);

signals:
    // The full text of every committed or extended client utterance.
    void clientUtterance(const QString& text);
    // The client's line while it is still being said (it may change), as heard.
    void clientPartial(const QString& text);
    void utterancesChanged();
    void pendingChanged();
    void currentLineChanged();

private:
    bool insideWindow(const Utterance& u, qint64 now) const { return now - u.atMs < kJoinWindowMs; }
    void setPending(Utterance::Speaker speaker, const QString* text);

    Clock& m_clock;
    QList<Utterance> m_utterances;
    QMap<Utterance::Speaker, QString> m_pending;
    qint64 m_startedAtMs;
};

} // namespace quippet
