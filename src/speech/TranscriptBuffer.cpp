#include "speech/TranscriptBuffer.h"

#include "core/Clock.h"
#include "core/Localization.h"

#include <QSet>

#include <algorithm>

namespace quippet {

QString speakerRawValue(Utterance::Speaker speaker) {
    return speaker == Utterance::Speaker::Client ? QStringLiteral("KLIENT") : QStringLiteral("TY");
}

QString speakerLabel(Utterance::Speaker speaker) {
    return i18n::text(speaker == Utterance::Speaker::Client ? "speaker.client" : "speaker.me");
}

namespace {

bool isWordChar(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
    case QChar::Number_DecimalDigit:
    case QChar::Number_Letter:
    case QChar::Number_Other:
        return true;
    default:
        return false;
    }
}

bool isMark(char32_t c) {
    const auto cat = QChar::category(c);
    return cat == QChar::Mark_NonSpacing || cat == QChar::Mark_SpacingCombining || cat == QChar::Mark_Enclosing;
}

// Distinct lower-case words longer than two user-perceived characters. A combining mark belongs to the character
// before it, so "zaz\u0307o\u0301\u0142c" counts like its precomposed form.
QSet<QString> wordSet(const QString& text) {
    QSet<QString> words;
    const QString lower = text.toLower();
    QString word;
    int perceived = 0;
    auto flush = [&] {
        if (perceived > 2)
            words.insert(word);
        word.clear();
        perceived = 0;
    };
    const auto ucs4 = lower.toUcs4();
    for (char32_t c : ucs4) {
        if (!isWordChar(c)) {
            flush();
            continue;
        }
        word.append(QString::fromUcs4(&c, 1));
        if (!isMark(c) || perceived == 0)
            ++perceived;
    }
    flush();
    return words;
}

QString twoDigits(qint64 n) {
    return n < 10 ? QLatin1Char('0') + QString::number(n) : QString::number(n);
}

} // namespace

TranscriptBuffer::TranscriptBuffer(Clock& clock, QObject* parent)
    : QObject(parent), m_clock(clock), m_startedAtMs(clock.nowMs()) {}

bool TranscriptBuffer::echo(const QString& a, const QString& b) {
    const QSet<QString> wa = wordSet(a);
    if (wa.size() < 2)
        return false;
    const QSet<QString> wb = wordSet(b);
    if (wb.isEmpty())
        return false;
    qsizetype shared = 0;
    for (const QString& w : wa)
        shared += wb.contains(w) ? 1 : 0;
    return double(shared) / double(wa.size()) > 0.6;
}

void TranscriptBuffer::setPending(Utterance::Speaker speaker, const QString* text) {
    if (text) {
        auto it = m_pending.find(speaker);
        if (it != m_pending.end() && *it == *text)
            return;
        m_pending.insert(speaker, *text);
    } else if (m_pending.remove(speaker) == 0) {
        return;
    }
    emit pendingChanged();
    emit currentLineChanged();
}

void TranscriptBuffer::hear(AudioChannel channel, const QString& text, bool isFinal) {
    const bool client = channel == AudioChannel::System;
    add(client ? Utterance::Speaker::Client : Utterance::Speaker::Me, text, isFinal);
    if (client && !isFinal)
        emit clientPartial(text);
}

void TranscriptBuffer::add(Utterance::Speaker speaker, const QString& rawText, bool isFinal) {
    const QString text = rawText.trimmed();
    if (text.isEmpty())
        return;
    if (!isFinal) {
        setPending(speaker, &text);
        return;
    }
    setPending(speaker, nullptr);

    using S = Utterance::Speaker;
    if (speaker == S::Me) {
        // The client's voice picked up by the microphone from the loudspeakers.
        const auto lastClient = std::find_if(m_utterances.crbegin(), m_utterances.crend(),
                                             [](const Utterance& u) { return u.speaker == S::Client; });
        if (lastClient != m_utterances.crend() && insideWindow(*lastClient, m_clock.nowMs()) &&
            echo(text, lastClient->text))
            return;
        const auto clientPartial = m_pending.constFind(S::Client);
        if (clientPartial != m_pending.constEnd() && echo(text, *clientPartial))
            return;
    } else if (!m_utterances.isEmpty()) {
        // The user's line came first but was the client's words after all.
        const Utterance& last = m_utterances.constLast();
        if (last.speaker == S::Me && insideWindow(last, m_clock.nowMs()) && echo(last.text, text))
            m_utterances.removeLast();
    }

    if (!m_utterances.isEmpty() && m_utterances.constLast().speaker == speaker &&
        insideWindow(m_utterances.constLast(), m_clock.nowMs())) {
        Utterance& last = m_utterances.last();
        last.text += QLatin1Char(' ') + text;
    } else {
        m_utterances.append(Utterance{QUuid::createUuid(), speaker, text, m_clock.nowMs()});
    }
    emit utterancesChanged();
    emit currentLineChanged();

    if (speaker == S::Client)
        emit clientUtterance(m_utterances.constLast().text);
}

QString TranscriptBuffer::context(qsizetype limit) const {
    return context(limit, QString());
}

QString TranscriptBuffer::context(qsizetype limit, const QString& clientPartial) const {
    const bool partial = !clientPartial.isEmpty() && limit > 0;
    const qsizetype count = std::min(std::max<qsizetype>(limit - (partial ? 1 : 0), 0), m_utterances.size());
    const QString labels[] = {speakerLabel(Utterance::Speaker::Client), speakerLabel(Utterance::Speaker::Me)};
    QString out;
    const auto line = [&](qint64 atMs, const QString& label, const QString& text) {
        const qint64 s = (atMs - m_startedAtMs) / 1000;
        if (!out.isEmpty())
            out += QLatin1Char('\n');
        out += QLatin1Char('[') + twoDigits(s / 60) + QLatin1Char(':') + twoDigits(s % 60) + QStringLiteral("] ") +
               label + QStringLiteral(": ") + text;
    };
    for (qsizetype i = m_utterances.size() - count; i < m_utterances.size(); ++i) {
        const Utterance& u = m_utterances.at(i);
        line(u.atMs, labels[u.speaker == Utterance::Speaker::Client ? 0 : 1], u.text);
    }
    if (partial)
        line(m_clock.nowMs(), labels[0], clientPartial.trimmed());
    return out;
}

TranscriptBuffer::CurrentLine TranscriptBuffer::currentLine() const {
    CurrentLine line;
    if (!m_utterances.isEmpty()) {
        const Utterance& last = m_utterances.constLast();
        line.final = speakerLabel(last.speaker) + QStringLiteral(": ") + last.text;
    }
    if (!m_pending.isEmpty()) {
        QStringList parts;
        for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it)
            parts << speakerLabel(it.key()) + QStringLiteral(": ") + it.value();
        parts.sort();
        line.pending = QStringLiteral("  ") + parts.join(QStringLiteral("  "));
    }
    return line;
}

std::optional<QString> TranscriptBuffer::lastClientUtterance() const {
    for (auto it = m_utterances.crbegin(); it != m_utterances.crend(); ++it) {
        if (it->speaker == Utterance::Speaker::Client)
            return it->text;
    }
    return std::nullopt;
}

void TranscriptBuffer::clear() {
    m_utterances.clear();
    m_pending.clear();
    emit utterancesChanged();
    emit pendingChanged();
    emit currentLineChanged();
}

} // namespace quippet
