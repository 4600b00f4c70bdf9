#pragma once

#include "core/Clock.h"

#include <vector>

namespace quippet {

class ManualTimer;

// A clock that moves only when told to. advance() fires every due timer in time order, with now() reading the
// moment each one was due, so code under test sees exactly the sequence it would see in real time.
class ManualClock final : public Clock {
public:
    explicit ManualClock(qint64 startMs = 1'767'225'600'000 /* 2026-01-01 00:00 UTC */);
    ~ManualClock() override;

    qint64 nowMs() const override { return m_nowMs; }
    std::chrono::milliseconds monotonic() const override { return m_monotonic; }
    Timer* createTimer(QObject* parent) override;

    void advance(std::chrono::milliseconds by);
    int activeTimers() const;

private:
    friend class ManualTimer;
    void remove(ManualTimer* timer);

    qint64 m_nowMs;
    std::chrono::milliseconds m_monotonic{1'000'000};
    std::vector<ManualTimer*> m_timers;
};

} // namespace quippet
