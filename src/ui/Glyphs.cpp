#include "ui/Glyphs.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace quippet {

namespace {

// A four-pointed star centred at c with radius r.
QPainterPath star(QPointF c, qreal r) {
    QPainterPath path;
    const qreal w = r * 0.28;
    path.moveTo(c.x(), c.y() - r);
    path.quadTo(c.x() + w, c.y() - w, c.x() + r, c.y());
    path.quadTo(c.x() + w, c.y() + w, c.x(), c.y() + r);
    path.quadTo(c.x() - w, c.y() + w, c.x() - r, c.y());
    path.quadTo(c.x() - w, c.y() - w, c.x(), c.y() - r);
    return path;
}

QPainterPath triangle(QPointF a, QPointF b, QPointF c) {
    QPainterPath path;
    path.moveTo(a);
    path.lineTo(b);
    path.lineTo(c);
    path.closeSubpath();
    return path;
}

QPainterPath arrowHead(QPointF tip, QPointF from, qreal size) {
    const QLineF back(tip, from);
    QLineF a = back, b = back;
    a.setLength(size);
    b.setLength(size);
    a.setAngle(back.angle() + 40);
    b.setAngle(back.angle() - 40);
    QPainterPath path;
    path.moveTo(a.p2());
    path.lineTo(tip);
    path.lineTo(b.p2());
    return path;
}

} // namespace

// Every picture is drawn on a 16 × 16 grid, scaled to the box.
void paintGlyph(QPainter& p, Glyph glyph, const QRectF& box, const QColor& color) {
    const qreal side = std::min(box.width(), box.height());
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(box.center().x() - side / 2, box.center().y() - side / 2);
    p.scale(side / 16.0, side / 16.0);
    QPen pen(color, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    auto fill = [&] {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
    };
    switch (glyph) {
    case Glyph::Sparkles:
        fill();
        p.drawPath(star(QPointF(6.5, 9), 6));
        p.drawPath(star(QPointF(12.5, 3.5), 3));
        break;
    case Glyph::Window:
        p.drawRoundedRect(QRectF(1.5, 2.5, 13, 11), 2, 2);
        p.drawLine(QPointF(1.5, 5.8), QPointF(14.5, 5.8));
        fill();
        for (qreal x : {3.6, 5.4, 7.2})
            p.drawEllipse(QPointF(x, 4.2), 0.6, 0.6);
        break;
    case Glyph::StopCircle:
        p.drawEllipse(QPointF(8, 8), 6.5, 6.5);
        fill();
        p.drawRoundedRect(QRectF(5.5, 5.5, 5, 5), 1, 1);
        break;
    case Glyph::Play: {
        fill();
        p.drawPath(triangle({4.5, 2.5}, {13.5, 8}, {4.5, 13.5}));
        break;
    }
    case Glyph::Stop:
        fill();
        p.drawRoundedRect(QRectF(4, 4, 8, 8), 1.5, 1.5);
        break;
    case Glyph::Ellipsis:
        fill();
        for (qreal x : {3.0, 8.0, 13.0})
            p.drawEllipse(QPointF(x, 8), 1.4, 1.4);
        break;
    case Glyph::ChevronUp:
        p.drawPolyline(QPolygonF({QPointF(3.5, 10.5), QPointF(8, 6), QPointF(12.5, 10.5)}));
        break;
    case Glyph::ChevronLeft:
        p.drawPolyline(QPolygonF({QPointF(10.5, 3.5), QPointF(6, 8), QPointF(10.5, 12.5)}));
        break;
    case Glyph::ChevronRight:
        p.drawPolyline(QPolygonF({QPointF(5.5, 3.5), QPointF(10, 8), QPointF(5.5, 12.5)}));
        break;
    case Glyph::Copy:
        p.drawRoundedRect(QRectF(5.5, 5.5, 8.5, 9), 1.5, 1.5);
        p.drawPolyline(
            QPolygonF({QPointF(3.5, 11), QPointF(2, 11), QPointF(2, 1.8), QPointF(10, 1.8), QPointF(10, 3.5)}));
        break;
    case Glyph::Trash:
        p.drawLine(QPointF(2, 4), QPointF(14, 4));
        p.drawPolyline(QPolygonF({QPointF(6, 4), QPointF(6, 2), QPointF(10, 2), QPointF(10, 4)}));
        p.drawPolyline(QPolygonF({QPointF(3.5, 4), QPointF(4.5, 14.5), QPointF(11.5, 14.5), QPointF(12.5, 4)}));
        p.drawLine(QPointF(6.6, 7), QPointF(6.8, 12));
        p.drawLine(QPointF(9.4, 7), QPointF(9.2, 12));
        break;
    case Glyph::Close:
        p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
        p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
        break;
    case Glyph::Laptop:
        p.drawRoundedRect(QRectF(3, 3, 10, 7.5), 1.2, 1.2);
        p.drawLine(QPointF(1, 13), QPointF(15, 13));
        break;
    case Glyph::Mic:
        p.drawRoundedRect(QRectF(5.5, 1.5, 5, 8.5), 2.5, 2.5);
        p.drawArc(QRectF(3, 4.5, 10, 8), 180 * 16, 180 * 16);
        p.drawLine(QPointF(8, 12.5), QPointF(8, 14.5));
        break;
    case Glyph::Warning: {
        fill();
        QPainterPath path = triangle({8, 1.5}, {15, 14}, {1, 14});
        path.addRoundedRect(QRectF(7.2, 5.5, 1.6, 5), 0.8, 0.8);
        path.addEllipse(QPointF(8, 12), 0.9, 0.9);
        path.setFillRule(Qt::OddEvenFill);
        p.drawPath(path);
        break;
    }
    case Glyph::Speaker: {
        QPainterPath body;
        body.moveTo(1.5, 6);
        body.lineTo(4.5, 6);
        body.lineTo(8, 2.8);
        body.lineTo(8, 13.2);
        body.lineTo(4.5, 10);
        body.lineTo(1.5, 10);
        body.closeSubpath();
        p.drawPath(body);
        p.drawArc(QRectF(7, 5, 5, 6), -60 * 16, 120 * 16);
        p.drawArc(QRectF(6.5, 2.5, 8, 11), -60 * 16, 120 * 16);
        break;
    }
    case Glyph::PlayCircle: {
        p.drawEllipse(QPointF(8, 8), 6.5, 6.5);
        fill();
        p.drawPath(triangle({6.3, 5}, {11, 8}, {6.3, 11}));
        break;
    }
    case Glyph::Collapse:
        p.drawLine(QPointF(2, 2), QPointF(6.8, 6.8));
        p.drawPath(arrowHead(QPointF(6.8, 6.8), QPointF(2, 2), 3.5));
        p.drawLine(QPointF(14, 14), QPointF(9.2, 9.2));
        p.drawPath(arrowHead(QPointF(9.2, 9.2), QPointF(14, 14), 3.5));
        break;
    case Glyph::Move:
        p.drawLine(QPointF(8, 1.5), QPointF(8, 14.5));
        p.drawLine(QPointF(1.5, 8), QPointF(14.5, 8));
        p.drawPath(arrowHead(QPointF(8, 1.5), QPointF(8, 8), 2.8));
        p.drawPath(arrowHead(QPointF(8, 14.5), QPointF(8, 8), 2.8));
        p.drawPath(arrowHead(QPointF(1.5, 8), QPointF(8, 8), 2.8));
        p.drawPath(arrowHead(QPointF(14.5, 8), QPointF(8, 8), 2.8));
        break;
    case Glyph::Bubble: {
        fill();
        QPainterPath path = triangle({4, 10}, {3.5, 14.5}, {8, 10.5});
        path.addRoundedRect(QRectF(1, 2, 14, 9.5), 3, 3);
        p.drawPath(path.simplified());
        break;
    }
    }
    p.restore();
}

} // namespace quippet
