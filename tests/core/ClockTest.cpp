#include "support/ManualClock.h"

#include <gtest/gtest.h>

#include <QObject>
#include <QTest>
#include <QThread>

#include <atomic>

using namespace quippet;
using namespace std::chrono_literals;

TEST(ManualClockTest, FiresDueTimersInOrderWithTheirOwnTime) {
    ManualClock clock;
    QObject owner;
    const qint64 start = clock.nowMs();
    QList<std::pair<QString, qint64>> fired;

    Timer* repeating = clock.createTimer(&owner);
    QObject::connect(repeating, &Timer::timeout, &owner, [&] {
        fired.append({QStringLiteral("tick"), clock.nowMs() - start});
    });
    repeating->start(1000ms);
    clock.singleShot(2500ms, &owner, [&] { fired.append({QStringLiteral("once"), clock.nowMs() - start}); });

    clock.advance(3200ms);
    const QList<std::pair<QString, qint64>> expected{{QStringLiteral("tick"), 1000},
                                                     {QStringLiteral("tick"), 2000},
                                                     {QStringLiteral("once"), 2500},
                                                     {QStringLiteral("tick"), 3000}};
    EXPECT_EQ(fired, expected);
    EXPECT_EQ(clock.nowMs() - start, 3200);
    EXPECT_EQ(clock.activeTimers(), 1) << "the one-shot is gone, the repeating timer stays";
}

TEST(ManualClockTest, RestartedAndSelfStoppedTimers) {
    ManualClock clock;
    int count = 0;
    QObject owner;
    Timer* timer = clock.createTimer(&owner);
    timer->setSingleShot(true);
    QObject::connect(timer, &Timer::timeout, &owner, [&] { ++count; });
    timer->start(1000ms);
    clock.advance(900ms);
    timer->start(1000ms); // restart measures from now
    clock.advance(900ms);
    EXPECT_EQ(count, 0);
    clock.advance(100ms);
    EXPECT_EQ(count, 1);

    // A timer that stops itself from its own timeout.
    Timer* self = clock.createTimer(&owner);
    QObject::connect(self, &Timer::timeout, &owner, [&] {
        if (++count == 3)
            self->stop();
    });
    self->start(100ms);
    clock.advance(10s);
    EXPECT_EQ(count, 3);
}

// The speech client's worker starts its timers on its own thread while the test advances the clock.
TEST(ManualClockTest, ATimerOfAnotherThreadTimesOutOnIt) {
    ManualClock clock;
    QThread worker;
    worker.start();
    QObject owner;
    owner.moveToThread(&worker);
    std::atomic<QThread*> firedOn{nullptr};
    QMetaObject::invokeMethod(
        &owner, [&] { clock.singleShot(1s, &owner, [&] { firedOn = QThread::currentThread(); }); },
        Qt::BlockingQueuedConnection);
    clock.advance(1s);
    EXPECT_TRUE(QTest::qWaitFor([&] { return firedOn.load() != nullptr; }, 5000));
    EXPECT_EQ(firedOn.load(), &worker);
    QMetaObject::invokeMethod(
        &owner, [&] { qDeleteAll(owner.children()); }, Qt::BlockingQueuedConnection);
    worker.quit();
    worker.wait();
}
