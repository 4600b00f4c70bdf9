#include "speech/RealtimeTranscription.h"

#include "speech/ElevenLabsTranscriber.h"

namespace quippet {

namespace {

class ElevenLabsPort final : public TranscriberPort {
public:
    ElevenLabsPort(const TranscriberSetup& setup, std::shared_ptr<CredentialProvider> credentials, Clock& clock)
        : m_transcriber(setup.label, setup.language, std::move(credentials), clock) {
        QObject::connect(&m_transcriber, &ElevenLabsTranscriber::transcript, &m_transcriber,
                         [onText = setup.onText](const QString& text, bool isFinal) { onText(text, isFinal); });
        QObject::connect(&m_transcriber, &ElevenLabsTranscriber::statusLine, &m_transcriber,
                         [onStatus = setup.onStatus](const QString& line) { onStatus(line); });
    }
    void start() override { m_transcriber.start(); }
    void stop() override { m_transcriber.stop(); }
    void append(const AudioChunk& chunk) override { m_transcriber.append(chunk); }

private:
    ElevenLabsTranscriber m_transcriber;
};

} // namespace

TranscriberFactory realtimeTranscriberFactory(Clock& clock,
                                              std::function<std::shared_ptr<CredentialProvider>()> credentials) {
    return [&clock, credentials = std::move(credentials)](TranscriberSetup setup) -> std::unique_ptr<TranscriberPort> {
        return std::make_unique<ElevenLabsPort>(setup, credentials(), clock);
    };
}

} // namespace quippet
