#pragma once

#include "audio/AudioCapture.h"
#include "support/FakeAudio.h"

#include <QCoreApplication>

#include <cmath>
#include <random>

namespace quippet::test {

// The sound server's view of a desk: what is played comes back on the output's monitor and, through the air, in
// the microphone, `leakDb` weaker (and far weaker again once echo cancellation is on).
struct Room {
    FakeAudioSystem& audio;
    AudioCapture& capture;
    double leakDb = -70;
    double cancellationDb = -35;
    bool monitorCarriesOutput = true;
    bool systemDelivers = true;
    std::optional<QString> playbackError;

    std::vector<float> playing;
    size_t at = 0;
    AudioSystem::PlayDone done;
    std::mt19937 rng{7};

    Room(FakeAudioSystem& a, AudioCapture& c) : audio(a), capture(c) {
        audio.onSound = [this](FakeAudioSystem::Sound& sound) {
            if (playbackError) {
                sound.done(playbackError);
                return;
            }
            playing = sound.samples;
            at = 0;
            done = sound.done;
        };
    }

    float noise(double dbfs) { return std::normal_distribution<float>(0.0f, float(std::pow(10.0, dbfs / 20)))(rng); }

    // 40 ms of both streams at a time (the measurement does not depend on the piece size).
    void tick() {
        const size_t n = 48000 / 25;
        std::vector<float> system(2 * n), mic(n);
        const double leak = std::pow(10.0, (leakDb + (capture.echoCancellation() ? cancellationDb : 0)) / 20);
        for (size_t i = 0; i < n; ++i) {
            const float out = at + i < playing.size() ? playing[at + i] : 0.0f;
            system[2 * i] = system[2 * i + 1] = (monitorCarriesOutput ? out : 0.0f) + noise(-80);
            mic[i] = float(leak * out) + noise(-70);
        }
        if (systemDelivers)
            audio.play(AudioChannel::System, {48000, 2, AudioFormat::SampleType::Float32, true}, system);
        audio.play(AudioChannel::Mic, {48000, 1, AudioFormat::SampleType::Float32, true}, mic);
        if (!playing.empty()) {
            at += n;
            if (at >= playing.size()) {
                playing.clear();
                if (auto finished = std::exchange(done, {}))
                    finished(std::nullopt);
            }
        }
        QCoreApplication::processEvents();
    }
};

} // namespace quippet::test
