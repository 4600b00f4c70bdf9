#pragma once

#include "audio/AudioChunk.h"

#include <QString>

#include <functional>
#include <memory>

namespace quippet {

// One transcription client as the capture uses it (the realtime speech-to-text client in production, a recorder
// in tests). Callbacks arrive on the main thread; append is called on the thread that captured the audio and must
// return at once (copy and queue).
class TranscriberPort {
public:
    virtual ~TranscriberPort() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void append(const AudioChunk& chunk) = 0;
};

struct TranscriberSetup {
    QString label; // "KLIENT" or "TY"
    QString language;
    std::function<void(const QString& text, bool isFinal)> onText;
    std::function<void(const QString& line)> onStatus;
};
using TranscriberFactory = std::function<std::unique_ptr<TranscriberPort>(TranscriberSetup setup)>;

} // namespace quippet
