#pragma once

// The models the panel's views read, wired as the controller wires them, with a manual clock, an in-memory
// keychain, a fake sound server and a scripted language model. Header-only: users link quippet_ui.
#include "assistant/Assistant.h"
#include "audio/AudioCapture.h"
#include "backend/Backend.h"
#include "core/DiagnosticsLog.h"
#include "peers/ScriptedLlm.h"
#include "records/SessionStore.h"
#include "secrets/Keychain.h"
#include "speech/TranscriptBuffer.h"
#include "speech/UsageMeter.h"
#include "support/FakeAudio.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "ui/PanelContext.h"
#include "ui/PanelState.h"

namespace quippet::test {

struct PanelWorld {
    ManualClock clock;
    MemorySecretStore secrets;
    Keychain keychain{secrets};
    DiagnosticsLog log{clock};
    FakeAudioSystem* audio = new FakeAudioSystem; // owned by the capture
    AudioCapture capture{clock, log, std::unique_ptr<AudioSystem>(audio)};
    PanelState state{clock};
    TranscriptBuffer transcript{clock};
    ScriptedLlm llm;
    Assistant assistant{transcript, llm, clock, {}};
    UsageMeter usage{keychain, clock};
    SessionStore sessions{clock};
    Backend backend{keychain, clock, {}};

    PanelModels models() { return {state, capture, transcript, assistant, usage, sessions, backend}; }

    // A card streamed from the scripted model: asked for after the client spoke, then each fragment in turn.
    void answer(const QStringList& fragments, bool finish = true) {
        if (transcript.isEmpty())
            transcript.add(Utterance::Speaker::Client, QStringLiteral("Ile to kosztuje?"), true);
        assistant.aiAnswer();
        for (const QString& fragment : fragments)
            llm.chunk(llm.count() - 1, fragment);
        if (finish)
            llm.finish(llm.count() - 1);
    }
};

} // namespace quippet::test
