#include "ui/PanelState.h"

#include "core/Clock.h"

namespace quippet {

using namespace std::chrono_literals;

PanelState::PanelState(Clock& clock, QObject* parent) : QObject(parent), m_clock(clock) {}

void PanelState::setCollapsed(bool v) {
    if (m_collapsed == v)
        return;
    m_collapsed = v;
    emit collapsedChanged();
}

void PanelState::setElapsed(double seconds) {
    if (m_elapsed == seconds)
        return;
    m_elapsed = seconds;
    emit elapsedChanged();
}

QString PanelState::elapsedText() const {
    const qint64 whole = qint64(m_elapsed);
    const qint64 seconds = whole % 60;
    return QString::number(whole / 60) + QLatin1Char(':') + (seconds < 10 ? QStringLiteral("0") : QString()) +
           QString::number(seconds);
}

void PanelState::setShowingWelcome(bool v) {
    if (m_showingWelcome == v)
        return;
    m_showingWelcome = v;
    emit showingWelcomeChanged();
}

void PanelState::setReady(const ReadyState& r) {
    if (m_ready == r)
        return;
    m_ready = r;
    emit readyChanged();
}

void PanelState::flash(const QString& text) {
    m_notice = text;
    emit noticeChanged();
    delete m_noticeClear;
    m_noticeClear = m_clock.singleShot(std::chrono::milliseconds(kNoticeMs), this, [this] {
        m_notice.clear();
        emit noticeChanged();
    });
}

void PanelState::resume() {
    delete m_timer;
    m_timer = m_clock.createTimer(this);
    connect(m_timer, &Timer::timeout, this, [this] { setElapsed(m_elapsed + 1); });
    m_timer->start(1s);
}

void PanelState::stopClock() {
    delete m_timer;
}

bool PanelState::clockRunning() const {
    return m_timer && m_timer->isActive();
}

} // namespace quippet
