#pragma once

#include "audio/TranscriberPort.h"

#include <functional>
#include <memory>

namespace quippet {

class Clock;
class CredentialProvider;

// The capture's transcription clients in production: one realtime speech-to-text connection per channel, each
// with the credential provider `credentials` answers when listening starts (own key or backend token).
TranscriberFactory realtimeTranscriberFactory(Clock& clock,
                                              std::function<std::shared_ptr<CredentialProvider>()> credentials);

} // namespace quippet
