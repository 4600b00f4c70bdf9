#include "support/ManualClock.h"

#include <algorithm>

namespace quippet {

class ManualTimer final : public Timer {
public:
    ManualTimer(ManualClock* clock, QObject* parent) : Timer(parent), m_clock(clock) {}
    ~ManualTimer() override {
        if (m_clock)
            m_clock->remove(this);
    }

    void start(std::chrono::milliseconds interval) override {
        m_interval = interval;
        m_due = m_clock->monotonic() + interval;
        m_active = true;
    }
    void stop() override { m_active = false; }
    bool isActive() const override { return m_active; }
    void setSingleShot(bool singleShot) override { m_singleShot = singleShot; }
    bool isSingleShot() const override { return m_singleShot; }
    std::chrono::milliseconds interval() const override { return m_interval; }

    ManualClock* m_clock;
    std::chrono::milliseconds m_interval{0};
    std::chrono::milliseconds m_due{0};
    bool m_active = false;
    bool m_singleShot = false;
};

ManualClock::ManualClock(qint64 startMs) : m_nowMs(startMs) {}

ManualClock::~ManualClock() {
    for (ManualTimer* timer : m_timers)
        timer->m_clock = nullptr;
}

Timer* ManualClock::createTimer(QObject* parent) {
    auto* timer = new ManualTimer(this, parent);
    m_timers.push_back(timer);
    return timer;
}

void ManualClock::remove(ManualTimer* timer) {
    std::erase(m_timers, timer);
}

int ManualClock::activeTimers() const {
    return int(std::count_if(m_timers.begin(), m_timers.end(), [](ManualTimer* t) { return t->m_active; }));
}

void ManualClock::advance(std::chrono::milliseconds by) {
    const auto target = m_monotonic + by;
    for (;;) {
        ManualTimer* next = nullptr;
        for (ManualTimer* timer : m_timers) {
            if (timer->m_active && timer->m_due <= target && (!next || timer->m_due < next->m_due))
                next = timer;
        }
        if (!next)
            break;
        const auto step = next->m_due - m_monotonic;
        m_monotonic = next->m_due;
        m_nowMs += step.count();
        if (next->m_singleShot)
            next->m_active = false;
        else
            next->m_due += std::max(next->m_interval, std::chrono::milliseconds(1));
        emit next->timeout();
    }
    m_nowMs += (target - m_monotonic).count();
    m_monotonic = target;
}

} // namespace quippet
