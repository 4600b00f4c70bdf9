#pragma once

#include <QDateTime>
#include <QObject>

#include <chrono>
#include <functional>

namespace quippet {

// A timer created by a Clock. Real clocks back it with QTimer; the manual clock fires it when a test advances time.
class Timer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Timer() override = default;

    virtual void start(std::chrono::milliseconds interval) = 0; // (re)starts from now
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
    virtual void setSingleShot(bool singleShot) = 0;
    virtual bool isSingleShot() const = 0;
    virtual std::chrono::milliseconds interval() const = 0;

signals:
    void timeout();
};

// The one source of time for every time-driven rule, so that tests can drive it without sleeping.
class Clock {
public:
    virtual ~Clock() = default;

    // Wall-clock time, milliseconds since the Unix epoch.
    virtual qint64 nowMs() const = 0;
    // Monotonic time for intervals (polling, back-off); never jumps.
    virtual std::chrono::milliseconds monotonic() const = 0;
    // A new stopped timer owned by parent.
    virtual Timer* createTimer(QObject* parent) = 0;

    QDateTime now() const { return QDateTime::fromMSecsSinceEpoch(nowMs()); }

    // A one-shot call after delay, dropped when context is destroyed first. Returns the timer (owned by context),
    // which may be stopped to cancel the call.
    Timer* singleShot(std::chrono::milliseconds delay, QObject* context, std::function<void()> callback);
};

class SystemClock final : public Clock {
public:
    qint64 nowMs() const override;
    std::chrono::milliseconds monotonic() const override;
    Timer* createTimer(QObject* parent) override;
};

} // namespace quippet
