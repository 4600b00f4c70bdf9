#pragma once

#include "core/Clock.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace quippet {

class ManualTimer;

// A clock that moves only when told to. advance() fires every due timer in time order, with now() reading the
// moment each one was due, so code under test sees exactly the sequence it would see in real time.
// Safe across threads: the test thread advances it while a worker (the speech client's) reads the time and starts or
// stops its own timers. A timer that lives on another thread times out on that thread, as a QTimer would.
class ManualClock final : public Clock {
public:
    explicit ManualClock(qint64 startMs = 1'767'225'600'000 /* 2026-01-01 00:00 UTC */);
    ~ManualClock() override;

    qint64 nowMs() const override { return m_nowMs.load(); }
    std::chrono::milliseconds monotonic() const override { return std::chrono::milliseconds(m_monotonicMs.load()); }
    Timer* createTimer(QObject* parent) override;

    void advance(std::chrono::milliseconds by);
    int activeTimers() const;

private:
    friend class ManualTimer;
    void remove(ManualTimer* timer);

    mutable std::mutex m_mutex; // guards the timer list and every timer's state; never held while a timeout runs
    std::atomic<qint64> m_nowMs;
    std::atomic<qint64> m_monotonicMs{1'000'000};
    std::vector<ManualTimer*> m_timers;
};

} // namespace quippet
