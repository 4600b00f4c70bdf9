#pragma once

#include "ui/Controls.h"

#include <QElapsedTimer>
#include <QWidget>

#include <array>

class QTimer;

namespace quippet {

class AudioCapture;

// Three green bars in a dark circle: the user's level on the left, the client's on the right, the louder of the
// two in the middle. Each bar eases to a new height over 0.12 s, drawn at the cadence the levels arrive; a frame is
// painted only when a bar has moved by at least one pixel since the last one.
class LevelOrb : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSide = 30;
    static constexpr qint64 kAnimationMs = 120;

    explicit LevelOrb(QWidget* parent = nullptr);
    // Follows the capture's levels (published every 100 ms).
    void follow(AudioCapture& capture);
    void setLevels(float client, float mine);
    // The heights the bars are heading for: left, middle, right.
    std::array<double, 3> targets() const;
    QSize sizeHint() const override { return {kSide, kSide}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Bar {
        double from = 5, to = 5;
        qint64 startMs = 0;
        qint64 delayMs = 0;
        double heightAt(qint64 nowMs) const;
        bool settledAt(qint64 nowMs) const { return nowMs >= startMs + delayMs + kAnimationMs; }
    };
    std::array<Bar, 3> m_bars;
    std::array<double, 3> m_painted{5, 5, 5}; // the heights the last frame drew
    QElapsedTimer m_time;
    QTimer* m_settle;
};

// The panel collapsed to a 44 × 44 live level meter; pressing it expands the panel. An orange badge says that the
// sound comes from loudspeakers without echo cancellation.
class CollapsedOrb : public PanelButton {
    Q_OBJECT
public:
    CollapsedOrb(AudioCapture& capture, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {44, 44}; }
    bool badgeShown() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    AudioCapture& m_capture;
};

} // namespace quippet
