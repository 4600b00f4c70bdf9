#include "audio/LevelStore.h"

#include <QMutexLocker>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace quippet {

void LevelStore::Meter::add(float l, std::chrono::microseconds lasts) {
    level = std::max(level, l);
    arrived += lasts;
    grace = std::min(lasts / 2, kMaxGrace);
}

LevelStore::Meter::Reading LevelStore::Meter::take(std::chrono::microseconds tick) {
    Reading r;
    if (arrived.count() > 0) {
        taken = level;
        ahead = std::min(std::max(ahead, std::chrono::microseconds(0)) + arrived - tick, kMaxHold);
        r = {taken, taken};
    } else if (ahead.count() > 0) {
        ahead -= tick;
        r = {taken, taken};
    } else if (ahead + grace > std::chrono::microseconds(0)) {
        ahead -= tick;
        r = {taken, 0};
    } else {
        taken = 0;
    }
    level = 0;
    arrived = std::chrono::microseconds(0);
    return r;
}

void LevelStore::addClient(float level, const AudioFormat& format, std::chrono::microseconds lasts) {
    QMutexLocker lock(&m_lock);
    ++m_clientBuffers;
    if (!m_clientFormat)
        m_clientFormat = describeFormat(format);
    m_client.add(level, lasts);
    m_clientPeakEver = std::max(m_clientPeakEver, level);
}

void LevelStore::addMe(float level, std::chrono::microseconds lasts) {
    QMutexLocker lock(&m_lock);
    m_me.add(level, lasts);
}

LevelStore::Snapshot LevelStore::take(std::chrono::microseconds tick) {
    QMutexLocker lock(&m_lock);
    const Meter::Reading client = m_client.take(tick);
    Snapshot s;
    s.client = client.shown;
    s.me = m_me.take(tick).shown;
    s.clientCovered = client.covered;
    s.clientBuffers = m_clientBuffers;
    s.clientFormat = m_clientFormat;
    s.clientPeakEver = m_clientPeakEver;
    return s;
}

std::chrono::microseconds playingTime(const AudioFormat& format, qsizetype bytes) {
    const qint64 frameBytes = qint64(format.bytesPerSample()) * std::max(1, format.channels);
    if (format.sampleRate <= 0 || bytes <= 0)
        return std::chrono::microseconds(0);
    return std::chrono::microseconds(bytes / frameBytes * 1000000 / format.sampleRate);
}

QString describeFormat(const AudioFormat& format) {
    return QStringLiteral("%1Hz %2ch %3bit %4 %5")
        .arg(format.sampleRate)
        .arg(format.channels)
        .arg(format.bytesPerSample() * 8)
        .arg(format.sampleType == AudioFormat::SampleType::Float32 ? QStringLiteral("float") : QStringLiteral("int"))
        .arg(format.interleaved ? QStringLiteral("interleaved") : QStringLiteral("planar"));
}

double sampleAt(const AudioFormat& format, const char* data, qsizetype index) {
    switch (format.sampleType) {
    case AudioFormat::SampleType::Float32: {
        float v;
        std::memcpy(&v, data + index * 4, 4);
        return v;
    }
    case AudioFormat::SampleType::Int32: {
        qint32 v;
        std::memcpy(&v, data + index * 4, 4);
        return v / 2147483648.0;
    }
    case AudioFormat::SampleType::Int16: {
        qint16 v;
        std::memcpy(&v, data + index * 2, 2);
        return v / 32768.0;
    }
    }
    return 0;
}

void appendMono(const AudioFormat& format, const char* data, qint64 frames, std::vector<float>& out) {
    const int channels = std::max(1, format.channels);
    // Grows by doubling: measurements append every buffer of a call to one vector, and an exact reserve would copy
    // all of it again for each buffer.
    const size_t needed = out.size() + size_t(std::max<qint64>(frames, 0));
    if (needed > out.capacity())
        out.reserve(std::max(needed, out.capacity() * 2));
    for (qint64 f = 0; f < frames; ++f) {
        double sum = 0;
        for (int c = 0; c < channels; ++c)
            sum += sampleAt(format, data, format.interleaved ? f * channels + c : c * frames + f);
        out.push_back(float(sum / channels));
    }
}

namespace {

// Sum of squares per channel in one pass over the buffer.
std::vector<double> channelSquares(const AudioFormat& format, const char* data, qsizetype bytes, qint64& frames) {
    const int channels = std::max(1, format.channels);
    frames = bytes / (format.bytesPerSample() * channels);
    std::vector<double> sums(size_t(channels), 0.0);
    const qint64 samples = frames * channels;
    for (qint64 i = 0; i < samples; ++i) {
        const int ch = format.interleaved ? int(i % channels) : int(i / frames);
        const double v = sampleAt(format, data, i);
        sums[size_t(ch)] += v * v;
    }
    return sums;
}

} // namespace

float loudestChannelRms(const AudioFormat& format, const char* data, qsizetype bytes) {
    qint64 frames = 0;
    const auto sums = channelSquares(format, data, bytes, frames);
    if (frames == 0)
        return 0;
    double best = 0;
    for (double s : sums)
        best = std::max(best, s);
    return float(std::sqrt(best / double(frames)));
}

float firstChannelRms(const AudioFormat& format, const char* data, qsizetype bytes) {
    const int channels = std::max(1, format.channels);
    const qint64 frames = bytes / (format.bytesPerSample() * channels);
    if (frames == 0)
        return 0;
    double sum = 0;
    for (qint64 f = 0; f < frames; ++f) {
        const double v = sampleAt(format, data, format.interleaved ? f * channels : f);
        sum += v * v;
    }
    return float(std::sqrt(sum / double(frames)));
}

} // namespace quippet
