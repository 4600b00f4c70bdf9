#pragma once

#include <chrono>
#include <deque>
#include <optional>

namespace quippet {

// Admits at most `limit` requests in any `window`. Times are monotonic and passed in, so the gate itself holds
// no clock. Used on the main thread only; every model request of the process goes through one gate.
class RateGate {
public:
    explicit RateGate(int limit = 60, std::chrono::milliseconds window = std::chrono::seconds(60))
        : m_limit(limit), m_window(window) {}

    // How long to wait before the next request may go out; nothing when it may go at once.
    std::optional<std::chrono::milliseconds> waitTime(std::chrono::milliseconds now);
    void record(std::chrono::milliseconds now);

    int limit() const { return m_limit; }
    std::chrono::milliseconds window() const { return m_window; }
    int stamps() const { return int(m_stamps.size()); }

private:
    void prune(std::chrono::milliseconds now);

    int m_limit;
    std::chrono::milliseconds m_window;
    std::deque<std::chrono::milliseconds> m_stamps; // oldest first
};

} // namespace quippet
