#include "ui/LevelOrb.h"

#include "audio/AudioCapture.h"
#include "core/Localization.h"
#include "ui/OverlayText.h"

#include <QPainter>
#include <QTimer>

#include <cmath>

namespace quippet {

namespace {

// The longest a move takes, with the left bar's delay.
constexpr int kSettleMs = int(LevelOrb::kAnimationMs) + 25;
// Height changes smaller than a pixel are not worth a frame (the capture's decaying levels creep towards zero).
constexpr double kVisibleStep = 1.0;

} // namespace

double LevelOrb::Bar::heightAt(qint64 nowMs) const {
    const double t = std::clamp(double(nowMs - startMs - delayMs) / double(kAnimationMs), 0.0, 1.0);
    const double eased = 1.0 - std::pow(1.0 - t, 3.0);
    return from + (to - from) * eased;
}

LevelOrb::LevelOrb(QWidget* parent) : QWidget(parent) {
    setFixedSize(kSide, kSide);
    setAccessibleName(i18n::text("panel.levels"));
    m_bars[0].delayMs = 20;
    m_bars[2].delayMs = 10;
    m_time.start();
    m_settle = new QTimer(this);
    m_settle->setSingleShot(true);
    m_settle->setInterval(kSettleMs);
    connect(m_settle, &QTimer::timeout, this, [this] {
        const qint64 now = m_time.elapsed();
        for (size_t i = 0; i < m_bars.size(); ++i)
            if (m_bars[i].heightAt(now) != m_painted[i])
                update();
    });
}

void LevelOrb::follow(AudioCapture& capture) {
    auto apply = [this, &capture] { setLevels(capture.clientLevel(), capture.myLevel()); };
    connect(&capture, &AudioCapture::clientLevelChanged, this, apply);
    connect(&capture, &AudioCapture::myLevelChanged, this, apply);
    apply();
}

void LevelOrb::setLevels(float client, float mine) {
    const std::array<double, 3> targets{overlay::barHeight(mine), overlay::barHeight(std::max(client, mine)),
                                        overlay::barHeight(client)};
    const qint64 now = m_time.elapsed();
    bool moved = false;
    for (size_t i = 0; i < m_bars.size(); ++i) {
        Bar& bar = m_bars[i];
        if (std::abs(targets[i] - bar.to) < kVisibleStep)
            continue;
        bar.from = bar.heightAt(now);
        bar.to = targets[i];
        bar.startMs = now;
        moved = true;
    }
    if (!isVisible())
        return;
    // The frames of the easing are painted as the levels arrive (every 100 ms while someone speaks), in the wake-up
    // the level timer causes anyway, and only when a bar has moved by a pixel: each frame is a repaint of a
    // translucent window, the main cost of a listening panel. Once the levels rest, one last frame shows where the
    // bars ended.
    bool visible = false;
    for (size_t i = 0; i < m_bars.size(); ++i)
        visible = visible || std::abs(m_bars[i].heightAt(now) - m_painted[i]) >= kVisibleStep;
    if (visible)
        update();
    if (moved)
        m_settle->start();
}

std::array<double, 3> LevelOrb::targets() const {
    return {m_bars[0].to, m_bars[1].to, m_bars[2].to};
}

void LevelOrb::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 140));
    p.drawEllipse(QRectF(rect()));
    p.setBrush(QColor(palette::kAccent.red(), palette::kAccent.green(), palette::kAccent.blue(), 230));
    const qreal barWidth = 3, gap = 2.5;
    const qreal left = (width() - 3 * barWidth - 2 * gap) / 2;
    const qint64 now = m_time.elapsed();
    for (size_t i = 0; i < m_bars.size(); ++i) {
        const qreal h = m_bars[i].heightAt(now);
        m_painted[i] = h;
        p.drawRoundedRect(QRectF(left + qreal(i) * (barWidth + gap), (height() - h) / 2, barWidth, h), 1.5, 1.5);
    }
}

CollapsedOrb::CollapsedOrb(AudioCapture& capture, QWidget* parent) : PanelButton(parent), m_capture(capture) {
    setObjectName(QStringLiteral("collapsedOrb"));
    setFixedSize(44, 44);
    setHelp(i18n::text("chrome.expand"));
    auto* orb = new LevelOrb(this);
    orb->setObjectName(QStringLiteral("collapsedLevels"));
    orb->setAttribute(Qt::WA_TransparentForMouseEvents);
    orb->move(7, 7);
    orb->follow(capture);
    connect(&capture, &AudioCapture::outputRouteChanged, this, qOverload<>(&QWidget::update));
    connect(&capture, &AudioCapture::echoCancellationChanged, this, qOverload<>(&QWidget::update));
}

bool CollapsedOrb::badgeShown() const {
    return m_capture.outputRoute().kind == OutputRoute::Kind::Speakers && !m_capture.echoCancellation();
}

void CollapsedOrb::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (badgeShown()) {
        p.setPen(Qt::NoPen);
        p.setBrush(palette::kOrange);
        p.drawEllipse(QPointF(width() - 6.5, 6.5), 3.5, 3.5);
    }
    paintFocusRing(p, QRectF(rect()), 12);
}

} // namespace quippet
