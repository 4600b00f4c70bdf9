#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <functional>

namespace quippet::test {

// Runs the event loop until `condition` holds or `timeoutMs` passes (for real sockets and threads; never a
// stand-in for a timer of the code under test, which tests drive with ManualClock).
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

} // namespace quippet::test
