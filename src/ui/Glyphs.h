#pragma once

#include <QColor>
#include <QRectF>

class QPainter;

namespace quippet {

// The panel's small pictures, drawn as vectors so they look the same on every desktop and icon theme.
enum class Glyph {
    Sparkles,
    Window,
    StopCircle,
    Play,
    Stop,
    Ellipsis,
    ChevronUp,
    ChevronLeft,
    ChevronRight,
    Copy,
    Trash,
    Close,
    Laptop,
    Mic,
    Warning,
    Speaker,
    PlayCircle,
    Collapse,
    Move,
    Bubble,
};

// Draws `glyph` centred in the largest square that fits `box`.
void paintGlyph(QPainter& painter, Glyph glyph, const QRectF& box, const QColor& color);

} // namespace quippet
