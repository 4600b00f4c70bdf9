#include "core/Clock.h"

#include <QTimer>

namespace quippet {

namespace {

class QtTimer final : public Timer {
public:
    explicit QtTimer(QObject* parent) : Timer(parent) {
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &Timer::timeout);
    }
    void start(std::chrono::milliseconds interval) override { m_timer.start(interval); }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }
    void setSingleShot(bool singleShot) override { m_timer.setSingleShot(singleShot); }
    bool isSingleShot() const override { return m_timer.isSingleShot(); }
    std::chrono::milliseconds interval() const override { return m_timer.intervalAsDuration(); }

private:
    QTimer m_timer;
};

} // namespace

Timer* Clock::singleShot(std::chrono::milliseconds delay, QObject* context, std::function<void()> callback) {
    Timer* timer = createTimer(context);
    timer->setSingleShot(true);
    QObject::connect(timer, &Timer::timeout, context, [timer, cb = std::move(callback)] {
        timer->deleteLater();
        cb();
    });
    timer->start(delay);
    return timer;
}

qint64 SystemClock::nowMs() const {
    return QDateTime::currentMSecsSinceEpoch();
}

std::chrono::milliseconds SystemClock::monotonic() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

Timer* SystemClock::createTimer(QObject* parent) {
    return new QtTimer(parent);
}

} // namespace quippet
