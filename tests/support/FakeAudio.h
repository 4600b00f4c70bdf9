#pragma once

#include "audio/AudioCapture.h"
#include "audio/AudioSystem.h"
#include "audio/EchoCanceller.h"
#include "audio/SourceMonitor.h"

#include <QList>

#include <vector>

namespace quippet::test {

// A sound server that answers what the test says and records what it was asked.
class FakeAudioSystem final : public AudioSystem {
public:
    PermissionState input = PermissionState::Granted;
    OutputRoute route;
    int starts = 0;
    QList<bool> micStarts; // each with an echo canceller or not
    int rechecks = 0;
    AudioFn handler;
    struct Sound {
        std::vector<float> samples;
        int sampleRate = 0;
        PlayDone done;
    };
    QList<Sound> sounds; // asked to be played, oldest first; a sound's number is its place here, from 1
    int stops = 0;
    // Called for every sound asked for; unset, sounds wait in `sounds` until the test ends them.
    std::function<void(Sound&)> onSound;

    void setAudioHandler(AudioFn h) override { handler = std::move(h); }
    void start() override { ++starts; }
    void startMic(std::unique_ptr<EchoCanceller> canceller) override { micStarts << (canceller != nullptr); }
    void recheck() override {
        ++rechecks;
        emit inputAvailabilityChanged();
    }
    quint64 playSound(std::vector<float> samples, int sampleRate, PlayDone done) override {
        sounds.append(Sound{std::move(samples), sampleRate, std::move(done)});
        if (onSound)
            onSound(sounds.back());
        return quint64(sounds.size());
    }
    void stopSound(quint64 id) override {
        ++stops;
        if (id >= 1 && id <= quint64(sounds.size()))
            if (auto done = std::exchange(sounds[qsizetype(id - 1)].done, {}))
                done(QStringLiteral("stopped"));
    }
    PermissionState inputAvailability() const override { return input; }
    OutputRoute outputRoute() const override { return route; }

    void setInput(PermissionState state) {
        input = state;
        emit inputAvailabilityChanged();
    }
    // One buffer from the sound server's thread (here: the caller's).
    void play(AudioChannel channel, const AudioFormat& format, const std::vector<float>& samples) {
        handler(channel, format, reinterpret_cast<const char*>(samples.data()), qsizetype(samples.size() * 4),
                std::chrono::steady_clock::now());
    }
};

// The default input's users, as the test says.
class FakeSourceMonitor final : public SourceMonitor {
public:
    int starts = 0;
    void start() override { ++starts; }
    void report(const QString& source, bool inUseByOthers) { emit sourceState(source, inUseByOthers); }
};

// A transcription client that sends nothing anywhere; the test speaks through its signals.
class FakeTranscriber final : public TranscriberPort {
public:
    explicit FakeTranscriber(TranscriberSetup s) : setup(std::move(s)) {}
    TranscriberSetup setup;
    void start() override {}
    void stop() override {}
    void append(const AudioChunk&) override {}
};

} // namespace quippet::test
