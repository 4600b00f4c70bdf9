#include "audio/EchoCanceller.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace quippet {

namespace {
constexpr int kSamplesPerEnvelope = EchoCanceller::kSampleRate / 1000;

void appendEnvelope(const float* frame, std::vector<float>& to) {
    for (int i = 0; i < EchoCanceller::kFrame; i += kSamplesPerEnvelope) {
        float sum = 0;
        for (int j = 0; j < kSamplesPerEnvelope; ++j)
            sum += std::fabs(frame[i + j]);
        to.push_back(sum / kSamplesPerEnvelope);
    }
}
} // namespace

void DelayEstimator::addFrames(const float* far, const float* near) {
    appendEnvelope(far, m_far);
    appendEnvelope(near, m_near);
    if (m_far.size() > size_t(kHistory) * 2)
        m_far.erase(m_far.begin(), m_far.end() - kHistory);
    if (m_near.size() > size_t(kWindow) * 2)
        m_near.erase(m_near.begin(), m_near.end() - kWindow);
    // A new estimate every second once two seconds are there.
    if (++m_framesSinceEstimate >= 100 && m_near.size() >= size_t(kWindow) && m_far.size() >= size_t(kHistory)) {
        m_framesSinceEstimate = 0;
        estimate();
    }
}

void DelayEstimator::estimate() {
    const float* near = m_near.data() + m_near.size() - kWindow;
    // far[k] is paired with near[k]; near[t] holds the echo of far[t - delay].
    const float* far = m_far.data() + m_far.size() - kWindow;

    const double nearMean = std::accumulate(near, near + kWindow, 0.0) / kWindow;
    double nearEnergy = 0;
    m_centred.resize(kWindow);
    for (int t = 0; t < kWindow; ++t) {
        m_centred[size_t(t)] = float(near[t] - nearMean);
        nearEnergy += double(m_centred[size_t(t)]) * m_centred[size_t(t)];
    }
    if (nearEnergy < 1e-9)
        return;

    // Running sums of the far window as it slides back one lag at a time.
    double farSum = 0;
    double farSquares = 0;
    for (int t = 0; t < kWindow; ++t) {
        farSum += far[t];
        farSquares += double(far[t]) * far[t];
    }
    int bestLag = -1;
    double best = 0;
    for (int lag = 0; lag <= kMaxDelayMs; ++lag) {
        const float* f = far - lag;
        if (lag > 0) {
            const double in = f[0];
            const double out = f[kWindow];
            farSum += in - out;
            farSquares += in * in - out * out;
        }
        // The near window is centred, so the far mean drops out of the cross term.
        float cross = 0;
        for (int t = 0; t < kWindow; ++t)
            cross += m_centred[size_t(t)] * f[t];
        const double farEnergy = farSquares - farSum * farSum / kWindow;
        if (farEnergy < 1e-9)
            continue;
        const double c = cross / std::sqrt(nearEnergy * farEnergy);
        if (c > best) {
            best = c;
            bestLag = lag;
        }
    }
    // Below this the microphone is mostly other sound (the user talking, silence): keep the previous estimate.
    if (bestLag >= 0 && best >= 0.35) {
        m_delayMs = bestLag;
        m_confidence = best;
    }
}

std::unique_ptr<EchoCanceller> EchoCanceller::create() {
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    webrtc::AudioProcessing* apm = webrtc::AudioProcessing::Create(config);
    if (!apm)
        return nullptr;
    if (apm->Initialize(kSampleRate, kSampleRate, kSampleRate, webrtc::AudioProcessing::kMono,
                        webrtc::AudioProcessing::kMono, webrtc::AudioProcessing::kMono) != 0) {
        delete apm;
        return nullptr;
    }
    auto* ec = apm->echo_cancellation();
    if (ec->enable_drift_compensation(false) != 0 ||
        ec->set_suppression_level(webrtc::EchoCancellation::kModerateSuppression) != 0 || ec->Enable(true) != 0) {
        delete apm;
        return nullptr;
    }
    return std::unique_ptr<EchoCanceller>(new EchoCanceller(apm));
}

EchoCanceller::EchoCanceller(webrtc::AudioProcessing* apm) : m_apm(apm), m_farFrame(size_t(kFrame), 0.0f) {
    m_far.reserve(size_t(kFrame) * (kMaxFarBacklogFrames + 4));
    m_near.reserve(size_t(kFrame) * 2 * kMaxNearWaitFrames); // a full wait and a fragment arriving on it
}

EchoCanceller::~EchoCanceller() = default;

void EchoCanceller::addFar(const float* mono, qsizetype frames) {
    m_far.insert(m_far.end(), mono, mono + frames);
    // With the microphone stalled nothing takes far-end frames away: keep the queue bounded here too (loosely
    // enough that a late burst still pairs its first frame with the waiting microphone).
    if (m_far.size() > size_t(kFrame) * kMaxFarQueueFrames)
        m_far.erase(m_far.begin(), m_far.end() - kFrame * kMaxFarBacklogFrames);
}

void EchoCanceller::addNear(const float* mono, qsizetype frames) {
    m_near.insert(m_near.end(), mono, mono + frames);
}

void EchoCanceller::processNear(const float* mono, qsizetype frames, std::vector<float>& out) {
    addNear(mono, frames);
    takeProcessed(out);
}

void EchoCanceller::takeProcessed(std::vector<float>& out) {
    size_t used = 0;
    for (;;) {
        const size_t nearFrames = (m_near.size() - used) / size_t(kFrame);
        if (nearFrames == 0)
            break;
        if (m_far.size() < size_t(kFrame) && nearFrames <= size_t(kMaxNearWaitFrames))
            break; // the far end is probably on its way
        float* frame = m_near.data() + used;
        processFrame(frame);
        out.insert(out.end(), frame, frame + kFrame);
        used += size_t(kFrame);
    }
    m_near.erase(m_near.begin(), m_near.begin() + qsizetype(used));
}

void EchoCanceller::processFrame(float* near) {
    // The far end that goes with this near-end frame; silence when the system audio delivered nothing.
    if (m_far.size() >= size_t(kFrame)) {
        std::copy_n(m_far.begin(), kFrame, m_farFrame.begin());
        m_far.erase(m_far.begin(), m_far.begin() + kFrame);
        if (m_far.size() > size_t(kFrame) * kMaxFarBacklogFrames)
            m_far.erase(m_far.begin(), m_far.end() - 2 * kFrame);
    } else {
        std::fill(m_farFrame.begin(), m_farFrame.end(), 0.0f);
    }

    m_estimator.addFrames(m_farFrame.data(), near);
    if (m_estimator.delayMs() >= 0)
        m_delayMs = m_estimator.delayMs();

    const float* farChannels[] = {m_farFrame.data()};
    m_apm->AnalyzeReverseStream(farChannels, size_t(kFrame), kSampleRate, webrtc::AudioProcessing::kMono);
    m_apm->set_stream_delay_ms(m_delayMs);
    const float* src[] = {near};
    float* dest[] = {near};
    m_apm->ProcessStream(src, size_t(kFrame), kSampleRate, webrtc::AudioProcessing::kMono, kSampleRate,
                         webrtc::AudioProcessing::kMono, dest);
}

void downmixToMono(const float* interleaved, qsizetype frames, int channels, std::vector<float>& out) {
    out.resize(size_t(frames));
    if (channels <= 1) {
        std::copy_n(interleaved, frames, out.begin());
        return;
    }
    const float scale = 1.0f / float(channels);
    for (qsizetype f = 0; f < frames; ++f) {
        float sum = 0;
        for (int c = 0; c < channels; ++c)
            sum += interleaved[f * channels + c];
        out[size_t(f)] = sum * scale;
    }
}

} // namespace quippet
