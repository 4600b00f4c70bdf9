#include "assistant/RateGate.h"

namespace quippet {

void RateGate::prune(std::chrono::milliseconds now) {
    // A stamp exactly one window old still counts.
    while (!m_stamps.empty() && m_stamps.front() < now - m_window)
        m_stamps.pop_front();
}

std::optional<std::chrono::milliseconds> RateGate::waitTime(std::chrono::milliseconds now) {
    prune(now);
    if (int(m_stamps.size()) < m_limit)
        return std::nullopt;
    return m_window - (now - m_stamps.front());
}

void RateGate::record(std::chrono::milliseconds now) {
    prune(now);
    m_stamps.push_back(now);
}

} // namespace quippet
