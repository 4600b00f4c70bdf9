#include "speech/RealtimeTranscription.h"

#include "speech/ElevenLabsTranscriber.h"

namespace quippet {

TranscriberFactory realtimeTranscriberFactory(Clock& clock,
                                              std::function<std::shared_ptr<CredentialProvider>()> credentials) {
    return [&clock, credentials = std::move(credentials)](TranscriberSetup setup) -> std::unique_ptr<TranscriberPort> {
        return std::make_unique<ElevenLabsTranscriber>(setup.label, setup.language, credentials(), clock);
    };
}

} // namespace quippet
