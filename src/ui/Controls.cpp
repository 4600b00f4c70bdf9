#include "ui/Controls.h"

#include <QFocusEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>

namespace quippet {

namespace {

QFont pixelFont(const QFont& base, qreal pixels, QFont::Weight weight) {
    QFont font = base;
    font.setPixelSize(qRound(pixels));
    font.setWeight(weight);
    return font;
}

} // namespace

PanelButton::PanelButton(QWidget* parent) : QAbstractButton(parent) {
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
}

void PanelButton::setHelp(const QString& help) {
    setToolTip(help);
    if (text().isEmpty())
        setAccessibleName(help);
    else
        setAccessibleDescription(help);
}

void PanelButton::focusInEvent(QFocusEvent* event) {
    const Qt::FocusReason reason = event->reason();
    m_keyboardFocus = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                      reason == Qt::ShortcutFocusReason || reason == Qt::OtherFocusReason;
    QAbstractButton::focusInEvent(event);
}

void PanelButton::paintFocusRing(QPainter& painter, const QRectF& shape, qreal radius) const {
    if (!hasFocus() || !m_keyboardFocus)
        return;
    painter.setPen(QPen(palette::kAccent, 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(shape.adjusted(0.75, 0.75, -0.75, -0.75), radius, radius);
}

PillButton::PillButton(std::optional<Glyph> glyph, const QString& title, QWidget* parent)
    : PanelButton(parent), m_glyph(glyph) {
    setText(title);
    setFont(pixelFont(font(), 12.5, QFont::Medium));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void PillButton::setGlyph(std::optional<Glyph> glyph) {
    if (glyph == m_glyph)
        return;
    m_glyph = glyph;
    update();
}

void PillButton::setReservedTitle(const QString& widest) {
    m_reserved = widest;
    updateGeometry();
}

QSize PillButton::sizeHint() const {
    const QFontMetrics metrics(font());
    const int textWidth = std::max(metrics.horizontalAdvance(text()), metrics.horizontalAdvance(m_reserved));
    const int glyphWidth = m_glyph ? 11 + (text().isEmpty() ? 0 : 5) : 0;
    return {24 + glyphWidth + textWidth, std::max(metrics.height(), 13) + 10};
}

void PillButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled())
        p.setOpacity(0.45);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = r.height() / 2;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, hovered() || isDown() ? 41 : 20));
    p.drawRoundedRect(r, radius, radius);
    const QFontMetrics metrics(font());
    const int glyphWidth = m_glyph ? 11 + (text().isEmpty() ? 0 : 5) : 0;
    const int contentWidth = glyphWidth + metrics.horizontalAdvance(text());
    qreal x = (width() - contentWidth) / 2.0;
    const QColor ink(255, 255, 255, 235);
    if (m_glyph) {
        paintGlyph(p, *m_glyph, QRectF(x, (height() - 11) / 2.0, 11, 11), ink);
        x += glyphWidth;
    }
    p.setPen(ink);
    p.setFont(font());
    p.drawText(QRectF(x, 0, width() - x, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
    p.setOpacity(1);
    paintFocusRing(p, r, radius);
}

StatusDot::StatusDot(Glyph glyph, QWidget* parent) : PanelButton(parent), m_glyph(glyph) {
    setFixedSize(22, 22);
}

void StatusDot::setBadge(Badge badge) {
    if (badge == m_badge)
        return;
    m_badge = badge;
    update();
}

void StatusDot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(rect());
    if (hovered()) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 36));
        p.drawRoundedRect(r, 6, 6);
    }
    paintGlyph(p, m_glyph, r.adjusted(4.5, 4.5, -4.5, -4.5),
               m_badge == Badge::None ? QColor(255, 255, 255, 225) : QColor(255, 255, 255, 140));
    if (m_badge != Badge::None) {
        p.setPen(QPen(QColor(0, 0, 0, 160), 1));
        p.setBrush(m_badge == Badge::Red ? palette::kRed : palette::kOrange);
        p.drawEllipse(QPointF(r.right() - 4.5, r.top() + 4.5), 3, 3);
    }
    paintFocusRing(p, r, 6);
}

ChromeButton::ChromeButton(Glyph glyph, const QString& help, QWidget* parent, int side, QColor tint, QColor background)
    : PanelButton(parent), m_glyph(glyph), m_side(side), m_tint(tint), m_background(background) {
    setFixedSize(side, side);
    setHelp(help);
}

void ChromeButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled())
        p.setOpacity(0.3);
    const QRectF r(rect());
    const qreal radius = m_side * 0.3;
    QColor background = m_background;
    if (hovered() || isDown())
        background.setAlpha(std::min(255, background.alpha() + 36));
    p.setPen(Qt::NoPen);
    p.setBrush(background);
    p.drawRoundedRect(r, radius, radius);
    const qreal inset = m_side * 0.29;
    paintGlyph(p, m_glyph, r.adjusted(inset, inset, -inset, -inset), m_tint);
    p.setOpacity(1);
    paintFocusRing(p, r, radius);
}

void fillRounded(QPainter& p, const QRegion& dirty, const QRect& shape, int radius, const QColor& fill,
                 const QColor& stroke) {
    // Inside this region no corner and no border line is near.
    const int edge = stroke.isValid() ? 1 : 0;
    const QRegion inner =
        QRegion(shape.adjusted(radius, edge, -radius, -edge)) + QRegion(shape.adjusted(edge, radius, -edge, -radius));
    for (const QRect& r : dirty& inner)
        p.fillRect(r, fill);
    const QRegion rest = (dirty & shape) - inner;
    if (rest.isEmpty())
        return;
    p.save();
    p.setClipRegion(rest);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(shape).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    p.fillPath(path, fill);
    if (stroke.isValid()) {
        p.setPen(QPen(stroke, 1));
        p.drawPath(path);
    }
    p.restore();
}

RowButton::RowButton(Glyph glyph, const QString& text, QColor ink, QWidget* parent)
    : PanelButton(parent), m_glyph(glyph), m_ink(ink) {
    setText(text);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

QSize RowButton::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 26, std::max(metrics.height(), 14) + 2};
}

void RowButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor ink = m_ink;
    if (hovered())
        ink = ink.lighter(125);
    const qreal side = std::min<qreal>(font().pixelSize() > 0 ? font().pixelSize() + 1 : 14, height());
    paintGlyph(p, m_glyph, QRectF(2, (height() - side) / 2, side, side), ink);
    const QRect textRect = rect().adjusted(int(side) + 8, 0, -2, 0);
    p.setPen(ink);
    p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
               fontMetrics().elidedText(text(), Qt::ElideRight, textRect.width()));
    paintFocusRing(p, QRectF(rect()), 5);
}

GlyphLabel::GlyphLabel(std::optional<Glyph> glyph, Qt::TextElideMode elide, QWidget* parent)
    : QLabel(parent), m_glyph(glyph), m_elide(elide) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void GlyphLabel::setInk(const QColor& ink) {
    if (ink == m_ink)
        return;
    m_ink = ink;
    update();
}

// The width never depends on the text: a new partial transcript must not lay the panel out again.
QSize GlyphLabel::sizeHint() const {
    return {0, fontMetrics().height() + 2};
}

void GlyphLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QRect textRect = contentsRect();
    if (m_glyph) {
        p.setRenderHint(QPainter::Antialiasing);
        const qreal side = fontMetrics().height() - 2;
        paintGlyph(p, *m_glyph, QRectF(textRect.left(), (height() - side) / 2, side, side), m_ink);
        textRect.setLeft(textRect.left() + int(side) + 6);
    }
    p.setPen(m_ink);
    p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, fontMetrics().elidedText(text(), m_elide, textRect.width()));
}

BrandMark::BrandMark(int size, QWidget* parent, qreal opacity) : QWidget(parent), m_opacity(opacity) {
    setFixedSize(size, size);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void BrandMark::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(m_opacity);
    QLinearGradient gradient(0, 0, width(), height());
    gradient.setColorAt(0, palette::kAccent);
    gradient.setColorAt(1, QColor(40, 110, 230));
    p.setBrush(gradient);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(rect(), width() * 0.28, height() * 0.28);
    // A speech bubble with a spark: what the program does, in one picture.
    p.setBrush(Qt::white);
    const qreal s = width();
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(s * 0.22, s * 0.26, s * 0.56, s * 0.38), s * 0.12, s * 0.12);
    bubble.moveTo(s * 0.34, s * 0.6);
    bubble.lineTo(s * 0.3, s * 0.78);
    bubble.lineTo(s * 0.5, s * 0.62);
    bubble.closeSubpath();
    p.drawPath(bubble.simplified());
    p.setBrush(QColor(40, 150, 190));
    for (qreal x : {0.38, 0.5, 0.62})
        p.drawEllipse(QPointF(s * x, s * 0.45), s * 0.045, s * 0.045);
}

} // namespace quippet
