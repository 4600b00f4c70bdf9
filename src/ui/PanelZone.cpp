#include "ui/PanelZone.h"

#include "core/Settings.h"

namespace quippet::panelzone {

QString rawValue(PanelZone zone) {
    switch (zone) {
    case PanelZone::TopLeft:
        return QStringLiteral("topLeft");
    case PanelZone::TopCenter:
        return QStringLiteral("topCenter");
    case PanelZone::TopRight:
        return QStringLiteral("topRight");
    case PanelZone::MiddleLeft:
        return QStringLiteral("middleLeft");
    case PanelZone::MiddleRight:
        return QStringLiteral("middleRight");
    case PanelZone::BottomLeft:
        return QStringLiteral("bottomLeft");
    case PanelZone::BottomCenter:
        return QStringLiteral("bottomCenter");
    case PanelZone::BottomRight:
        return QStringLiteral("bottomRight");
    }
    return QStringLiteral("topCenter");
}

std::optional<PanelZone> fromRawValue(const QString& text) {
    for (PanelZone zone : kAll) {
        if (rawValue(zone) == text)
            return zone;
    }
    return std::nullopt;
}

std::optional<PanelZone> at(int column, int row) {
    static const std::optional<PanelZone> grid[3][3] = {
        {PanelZone::TopLeft, PanelZone::TopCenter, PanelZone::TopRight},
        {PanelZone::MiddleLeft, std::nullopt, PanelZone::MiddleRight},
        {PanelZone::BottomLeft, PanelZone::BottomCenter, PanelZone::BottomRight}};
    if (column < 0 || column > 2 || row < 0 || row > 2)
        return std::nullopt;
    return grid[row][column];
}

QPointF origin(PanelZone zone, QSizeF size, QRectF frame, qreal margin) {
    const qreal w = size.width(), h = size.height();
    qreal x = frame.center().x() - w * 0.5;
    qreal y = frame.center().y() - h * 0.5;
    switch (zone) {
    case PanelZone::TopLeft:
    case PanelZone::MiddleLeft:
    case PanelZone::BottomLeft:
        x = frame.left() + margin;
        break;
    case PanelZone::TopRight:
    case PanelZone::MiddleRight:
    case PanelZone::BottomRight:
        x = frame.left() + frame.width() - w - margin;
        break;
    default:
        break;
    }
    switch (zone) {
    case PanelZone::TopLeft:
    case PanelZone::TopCenter:
    case PanelZone::TopRight:
        y = frame.top() + margin;
        break;
    case PanelZone::BottomLeft:
    case PanelZone::BottomCenter:
    case PanelZone::BottomRight:
        y = frame.top() + frame.height() - h - margin;
        break;
    default:
        break;
    }
    return {x, y};
}

PanelZone saved() {
    const auto text = Settings::string(Settings::kPanelZone);
    return text ? fromRawValue(*text).value_or(PanelZone::TopCenter) : PanelZone::TopCenter;
}

void save(PanelZone zone) {
    Settings::setValue(Settings::kPanelZone, rawValue(zone));
}

} // namespace quippet::panelzone
