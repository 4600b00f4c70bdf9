#pragma once

#include "app/AppController.h"
#include "audio/AudioCapture.h"
#include "peers/BackendPeer.h"
#include "peers/ScriptedLlm.h"
#include "secrets/Keychain.h"
#include "support/FakeAudio.h"
#include "support/ManualClock.h"
#include "support/MemorySecretStore.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <memory>

namespace quippet::test {

// The controller with everything outside it stood in for: its own home, a manual clock, an in-memory secret store,
// the backend peer, an in-process model, a sound server and meeting monitor that do what the test says, and
// transcription clients that send nothing. Tests add what their environment needs, then launch.
class AppFixture : public ::testing::Test {
protected:
    TempHome home;
    ManualClock clock;
    MemorySecretStore secrets;
    BackendPeer peer;
    ScriptedLlm llm;
    FakeAudioSystem* audio = nullptr;
    FakeSourceMonitor* sources = nullptr;
    std::unique_ptr<AppController> app;
    // Listening with the program's own transcription clients (pointed at a local peer by the test) instead of
    // stand-ins.
    bool realTranscription = false;
    QList<FakeTranscriber*> transcribers; // as made; the capture drops them when listening stops

    void SetUp() override {
        ASSERT_TRUE(peer.start());
        qputenv("QUIPPET_BACKEND", peer.baseUrl().toString().toUtf8());
    }
    void TearDown() override {
        app.reset();
        qunsetenv("QUIPPET_BACKEND");
    }

    AppEnvironment environment(bool windows) {
        AppEnvironment env;
        env.clock = &clock;
        env.secrets = &secrets;
        env.makeAudioSystem = [this] {
            auto system = std::make_unique<FakeAudioSystem>();
            audio = system.get();
            return system;
        };
        env.makeSourceMonitor = [this] {
            auto monitor = std::make_unique<FakeSourceMonitor>();
            sources = monitor.get();
            return monitor;
        };
        env.llm = &llm;
        env.createWindows = windows;
        return env;
    }

    // A stored backend token the peer accepts.
    void signIn() {
        Keychain(secrets).write(QLatin1String(Keychain::kBackendToken), QStringLiteral("token-1"));
        peer.addToken(QStringLiteral("token-1"));
    }

    // Builds the controller; listening never reaches a real speech-to-text service.
    void start(AppEnvironment env) {
        app.reset();
        app = std::make_unique<AppController>(std::move(env));
        if (!realTranscription) {
            app->capture().setTranscriberFactory([this](TranscriberSetup setup) {
                auto made = std::make_unique<FakeTranscriber>(std::move(setup));
                transcribers << made.get();
                return made;
            });
        }
        app->launch();
    }
};

} // namespace quippet::test
