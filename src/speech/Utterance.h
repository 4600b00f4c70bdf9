#pragma once

#include <QMetaType>
#include <QString>
#include <QUuid>

namespace quippet {

// One committed line of the transcript.
struct Utterance {
    enum class Speaker { Client, Me };

    QUuid id;
    Speaker speaker = Speaker::Client;
    QString text;    // grows when later fragments of the same speaker are joined to it
    qint64 atMs = 0; // when the first fragment was committed (ms since the epoch); joining never moves it

    bool operator==(const Utterance&) const = default;
};

// Stable identity of a speaker ("KLIENT", "TY"); also the channel label of the transcription clients.
QString speakerRawValue(Utterance::Speaker speaker);
// The speaker's label in the interface language.
QString speakerLabel(Utterance::Speaker speaker);

} // namespace quippet

Q_DECLARE_METATYPE(quippet::Utterance)
