#include "support/ManualClock.h"

#include <QThread>

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
        const std::lock_guard lock(m_clock->m_mutex);
        m_interval = interval;
        m_due = m_clock->monotonic() + interval;
        m_active = true;
    }
    void stop() override {
        const std::lock_guard lock(m_clock->m_mutex);
        m_active = false;
    }
    bool isActive() const override {
        const std::lock_guard lock(m_clock->m_mutex);
        return m_active;
    }
    void setSingleShot(bool singleShot) override {
        const std::lock_guard lock(m_clock->m_mutex);
        m_singleShot = singleShot;
    }
    bool isSingleShot() const override {
        const std::lock_guard lock(m_clock->m_mutex);
        return m_singleShot;
    }
    std::chrono::milliseconds interval() const override {
        const std::lock_guard lock(m_clock->m_mutex);
        return m_interval;
    }

    // Set once, before any other thread sees the timer; cleared only by the clock's destructor.
    ManualClock* m_clock;
    // Guarded by the clock's mutex.
    std::chrono::milliseconds m_interval{0};
    std::chrono::milliseconds m_due{0};
    bool m_active = false;
    bool m_singleShot = false;
};

ManualClock::ManualClock(qint64 startMs) : m_nowMs(startMs) {}

ManualClock::~ManualClock() {
    const std::lock_guard lock(m_mutex);
    for (ManualTimer* timer : m_timers)
        timer->m_clock = nullptr;
}

Timer* ManualClock::createTimer(QObject* parent) {
    auto* timer = new ManualTimer(this, parent);
    const std::lock_guard lock(m_mutex);
    m_timers.push_back(timer);
    return timer;
}

void ManualClock::remove(ManualTimer* timer) {
    const std::lock_guard lock(m_mutex);
    std::erase(m_timers, timer);
}

int ManualClock::activeTimers() const {
    const std::lock_guard lock(m_mutex);
    return int(std::count_if(m_timers.begin(), m_timers.end(), [](ManualTimer* t) { return t->m_active; }));
}

void ManualClock::advance(std::chrono::milliseconds by) {
    const auto target = monotonic() + by;
    for (;;) {
        ManualTimer* next = nullptr;
        bool here = false;
        {
            const std::lock_guard lock(m_mutex);
            for (ManualTimer* timer : m_timers) {
                if (timer->m_active && timer->m_due <= target && (!next || timer->m_due < next->m_due))
                    next = timer;
            }
            if (!next)
                break;
            const auto step = next->m_due - monotonic();
            m_monotonicMs = next->m_due.count();
            m_nowMs += step.count();
            if (next->m_singleShot)
                next->m_active = false;
            else
                next->m_due += std::max(next->m_interval, std::chrono::milliseconds(1));
            // A timer of another thread times out on that thread, as a QTimer would: the call is posted while the
            // timer cannot be deleted, and Qt drops it if the timer is gone by then.
            here = next->thread() == QThread::currentThread();
            if (!here)
                QMetaObject::invokeMethod(
                    next, [next] { emit next->timeout(); }, Qt::QueuedConnection);
        }
        if (here)
            emit next->timeout();
    }
    const std::lock_guard lock(m_mutex);
    m_nowMs += (target - monotonic()).count();
    m_monotonicMs = target.count();
}

} // namespace quippet
