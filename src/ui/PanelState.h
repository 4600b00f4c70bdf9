#pragma once

#include "ui/ReadyState.h"

#include <QObject>
#include <QPointer>

namespace quippet {

class Clock;
class Timer;

// What the panel's views show: collapsed or not, the listening clock, the one-line notice, the welcome step.
// Main thread only.
class PanelState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool collapsed READ collapsed WRITE setCollapsed NOTIFY collapsedChanged)
    Q_PROPERTY(double elapsed READ elapsed WRITE setElapsed NOTIFY elapsedChanged)
    Q_PROPERTY(QString elapsedText READ elapsedText NOTIFY elapsedChanged)
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)
    Q_PROPERTY(bool showingWelcome READ showingWelcome WRITE setShowingWelcome NOTIFY showingWelcomeChanged)
    Q_PROPERTY(quippet::ReadyState ready READ ready WRITE setReady NOTIFY readyChanged)
public:
    static constexpr int kNoticeMs = 4000;

    explicit PanelState(Clock& clock, QObject* parent = nullptr);

    bool collapsed() const { return m_collapsed; }
    void setCollapsed(bool v);
    double elapsed() const { return m_elapsed; }
    void setElapsed(double seconds);
    QString elapsedText() const; // "m:ss", minutes unbounded
    QString notice() const { return m_notice; }
    bool showingWelcome() const { return m_showingWelcome; }
    void setShowingWelcome(bool v);
    ReadyState ready() const { return m_ready; }
    void setReady(const ReadyState& r);

    // Shows text for four seconds after the latest flash.
    void flash(const QString& text);
    // (Re)starts the one-second elapsed clock without resetting it.
    void resume();
    // Stops the elapsed clock; elapsed keeps its value.
    void stopClock();
    bool clockRunning() const;

signals:
    void collapsedChanged();
    void elapsedChanged();
    void noticeChanged();
    void showingWelcomeChanged();
    void readyChanged();

private:
    Clock& m_clock;
    bool m_collapsed = false;
    double m_elapsed = 0;
    QString m_notice;
    bool m_showingWelcome = true;
    ReadyState m_ready;
    QPointer<Timer> m_timer;
    QPointer<Timer> m_noticeClear;
};

} // namespace quippet
