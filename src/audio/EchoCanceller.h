#pragma once

#include "audio/AudioChunk.h"

#include <QtGlobal>

#include <memory>
#include <vector>

namespace webrtc {
class AudioProcessing;
}

namespace quippet {

// Finds how far the microphone's echo lags behind the far-end reference, by cross-correlating the two signals'
// 1 kHz envelopes over the last two seconds. Fed with frames in the same pairing the canceller uses.
class DelayEstimator {
public:
    static constexpr int kMaxDelayMs = 480;

    // One 10 ms frame (480 samples at 48 kHz) of each signal, processed at the same step.
    void addFrames(const float* far, const float* near);
    // The latest confident estimate in ms, or -1 before there is one.
    int delayMs() const { return m_delayMs; }
    // Normalised correlation at the chosen delay (0..1); 0 before there is an estimate.
    double confidence() const { return m_confidence; }

private:
    void estimate();

    static constexpr int kEnvelopeRate = 1000;             // one value per ms
    static constexpr int kWindow = 2 * kEnvelopeRate;      // two seconds of near-end envelope
    static constexpr int kHistory = kWindow + kMaxDelayMs; // far-end envelope reaching back by the longest delay
    std::vector<float> m_far;
    std::vector<float> m_near;
    std::vector<float> m_centred;
    int m_framesSinceEstimate = 0;
    int m_delayMs = -1;
    double m_confidence = 0;
};

// WebRTC's acoustic echo canceller on 48 kHz mono float audio. The system audio is the far end (what the
// loudspeakers play), the microphone the near end. Audio thread only; not thread-safe.
//
// The two streams are paired frame by frame (one 10 ms far-end frame per near-end frame), so that the bulk delay
// between them is a stable quantity the estimator can measure and the canceller needs, whatever order the sound
// server delivers them in. A near-end frame waits briefly for its far-end partner; only when the system audio has
// stalled for longer does it go on against silence.
class EchoCanceller {
public:
    static constexpr int kSampleRate = 48000;
    static constexpr int kFrame = kSampleRate / 100;

    // Nothing when the processing library cannot be set up.
    static std::unique_ptr<EchoCanceller> create();
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    void addFar(const float* mono, qsizetype frames);
    void addNear(const float* mono, qsizetype frames);
    // Appends the echo-cancelled samples of every near-end frame that can be processed now to `out`.
    void takeProcessed(std::vector<float>& out);
    // addNear, then takeProcessed.
    void processNear(const float* mono, qsizetype frames, std::vector<float>& out);

    // The bulk delay handed to the canceller, as measured.
    int delayMs() const { return m_delayMs; }
    const DelayEstimator& estimator() const { return m_estimator; }
    qsizetype queuedFarSamples() const { return qsizetype(m_far.size()); }

private:
    explicit EchoCanceller(webrtc::AudioProcessing* apm);
    void processFrame(float* near);

    // Far-end frames waiting beyond this are stale (the microphone stalled): they are dropped down to two frames.
    static constexpr int kMaxFarBacklogFrames = 50;
    // The most far end kept while no microphone audio arrives at all (two seconds).
    static constexpr int kMaxFarQueueFrames = 200;
    // How long near-end audio waits for the far end before it is processed against silence: the two streams come
    // in capture fragments at their own offsets, so a whole fragment and 60 ms more, in 10 ms frames.
    static constexpr int kMaxNearWaitFrames =
        int((kCaptureFragment + std::chrono::milliseconds(60)) / std::chrono::milliseconds(10));

    std::unique_ptr<webrtc::AudioProcessing> m_apm;
    std::vector<float> m_far;  // queued far-end samples
    std::vector<float> m_near; // near-end samples short of a whole frame
    std::vector<float> m_farFrame;
    DelayEstimator m_estimator;
    int m_delayMs = 0;
};

// Average of the channels of interleaved float samples.
void downmixToMono(const float* interleaved, qsizetype frames, int channels, std::vector<float>& out);

} // namespace quippet
