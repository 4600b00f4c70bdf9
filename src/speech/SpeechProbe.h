#pragma once

#include "audio/TranscriberPort.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

namespace quippet {

class Clock;
class Timer;

// What one attempt to reach the speech service showed, in the user's words, and whose fault a failure is.
struct SpeechVerdict {
    enum Outcome { Passed, Credentials, Other };
    Outcome outcome = Other;
    QString text;
};

// One short connection to the speech service with the credentials its factory chooses, held only until the service
// starts the session or says why not, or the wait runs out. Used to prove a key before a call. Main thread only.
class SpeechProbe : public QObject {
    Q_OBJECT
public:
    explicit SpeechProbe(Clock& clock, QObject* parent = nullptr);
    ~SpeechProbe() override;

    // Starts afresh (an attempt under way is dropped); `finished` follows exactly once, unless cancelled.
    void start(const TranscriberFactory& factory, const QString& language, std::chrono::milliseconds wait);
    void cancel();
    bool running() const { return m_client != nullptr; }

    // A status line of the speech client read as a verdict.
    static SpeechVerdict verdict(const QString& status);

signals:
    void finished(const quippet::SpeechVerdict& verdict);

private:
    void finish(const SpeechVerdict& verdict);

    Timer* m_timer;
    std::unique_ptr<TranscriberPort> m_client;
    quint64 m_attempt = 0;
};

} // namespace quippet

Q_DECLARE_METATYPE(quippet::SpeechVerdict)
