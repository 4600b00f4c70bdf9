#pragma once

#include "ui/Glyphs.h"

#include <QAbstractButton>
#include <QLabel>

#include <optional>

namespace quippet {

// The panel's buttons paint themselves on the dark translucent panel. They are ordinary buttons underneath:
// reachable with Tab, pressed with Space, named for screen readers (an icon-only button by its help text).
class PanelButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit PanelButton(QWidget* parent = nullptr);
    // Tooltip, and the spoken name of a button without a title.
    void setHelp(const QString& help);

protected:
    bool hovered() const { return underMouse() && isEnabled(); }
    // Drawn only for focus that came from the keyboard (or an assistive tool), not from a click or activation.
    void paintFocusRing(QPainter& painter, const QRectF& shape, qreal radius) const;
    void focusInEvent(QFocusEvent* event) override;

private:
    bool m_keyboardFocus = false;
};

// A capsule with an optional glyph and a title; the help text is its tooltip.
class PillButton : public PanelButton {
    Q_OBJECT
public:
    PillButton(std::optional<Glyph> glyph, const QString& title, QWidget* parent = nullptr);
    void setGlyph(std::optional<Glyph> glyph);
    // The capsule is at least as wide as it would be with this title, so a ticking clock does not move its
    // neighbours.
    void setReservedTitle(const QString& widest);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<Glyph> m_glyph;
    QString m_reserved;
};

// A 22 × 22 icon of a permission with a small badge while it is missing.
class StatusDot : public PanelButton {
    Q_OBJECT
public:
    enum class Badge { None, Orange, Red };
    StatusDot(Glyph glyph, QWidget* parent = nullptr);
    void setBadge(Badge badge);
    Badge badge() const { return m_badge; }
    QSize sizeHint() const override { return {22, 22}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Glyph m_glyph;
    Badge m_badge = Badge::None;
};

// An icon-only square button: window chrome, the answer card's header. Disabled ones fade to 30 %.
class ChromeButton : public PanelButton {
    Q_OBJECT
public:
    ChromeButton(Glyph glyph, const QString& help, QWidget* parent = nullptr, int side = 26,
                 QColor tint = QColor(255, 255, 255, 215), QColor background = QColor(255, 255, 255, 20));
    QSize sizeHint() const override { return {m_side, m_side}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Glyph m_glyph;
    int m_side;
    QColor m_tint;
    QColor m_background;
};

// A flat row of a glyph and one line of text, left-aligned and elided; the whole row is the button.
class RowButton : public PanelButton {
    Q_OBJECT
public:
    RowButton(Glyph glyph, const QString& text, QColor ink, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return {0, sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Glyph m_glyph;
    QColor m_ink;
};

// One line of text, optionally after a glyph, elided to the width it gets (at its head for a live transcript,
// whose newest words are at the end). The full text stays the label's text, so screen readers get all of it.
class GlyphLabel : public QLabel {
    Q_OBJECT
public:
    GlyphLabel(std::optional<Glyph> glyph, Qt::TextElideMode elide, QWidget* parent = nullptr);
    void setInk(const QColor& ink);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return {0, sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<Glyph> m_glyph;
    Qt::TextElideMode m_elide;
    QColor m_ink{255, 255, 255, 230};
};

// The product's mark: a rounded square with a diagonal gradient and a small white glyph. Decoration only.
class BrandMark : public QWidget {
    Q_OBJECT
public:
    explicit BrandMark(int size, QWidget* parent = nullptr, qreal opacity = 1.0);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal m_opacity;
};

// Fills the part of a rounded rectangle that lies in `dirty`: plain rectangles away from the corners, the rounded
// path only where a corner is touched. Parts of the panel repaint many times a second (the level orb, a streaming
// answer), and rasterising the whole rounded path for each costs more than what changed.
void fillRounded(QPainter& painter, const QRegion& dirty, const QRect& shape, int radius, const QColor& fill,
                 const QColor& stroke = QColor());

// Colours shared by the panel's faces.
namespace palette {
inline const QColor kAccent{38, 207, 140};
inline const QColor kOrange{255, 159, 10};
inline const QColor kRed{255, 69, 58};
inline const QColor kPanelFill{0, 0, 0, 199};        // black at 78 %
inline const QColor kPanelStroke{255, 255, 255, 31}; // white at 12 %
} // namespace palette

} // namespace quippet
