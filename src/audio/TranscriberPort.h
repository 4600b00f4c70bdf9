#pragma once

#include "audio/AudioChunk.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace quippet {

// One transcription client as the capture uses it (the realtime speech-to-text client in production, a recorder
// in tests). Its signals come on the main thread; append is called on the thread that captured the audio and must
// return at once (copy and queue).
class TranscriberPort : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void append(const AudioChunk& chunk) = 0;

signals:
    // A line of what was said: a partial one (`isFinal` false) may still change.
    void transcript(const QString& text, bool isFinal);
    // A line for the diagnostics log: connecting, connected, refused, ...
    void statusLine(const QString& line);
};

struct TranscriberSetup {
    QString label; // "KLIENT" or "TY"
    QString language;
};
using TranscriberFactory = std::function<std::unique_ptr<TranscriberPort>(TranscriberSetup setup)>;

} // namespace quippet
