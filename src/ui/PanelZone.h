#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <optional>

namespace quippet {

// The eight screen anchors of the panel (the centre cell of the 3 × 3 grid has none).
enum class PanelZone { TopLeft, TopCenter, TopRight, MiddleLeft, MiddleRight, BottomLeft, BottomCenter, BottomRight };

namespace panelzone {

inline constexpr PanelZone kAll[] = {PanelZone::TopLeft,      PanelZone::TopCenter,   PanelZone::TopRight,
                                     PanelZone::MiddleLeft,   PanelZone::MiddleRight, PanelZone::BottomLeft,
                                     PanelZone::BottomCenter, PanelZone::BottomRight};

QString rawValue(PanelZone zone);
std::optional<PanelZone> fromRawValue(const QString& text);
std::optional<PanelZone> at(int column, int row);
// Top-left origin (screen coordinates, y growing downwards) of a window of `size` in `zone` of `frame`.
QPointF origin(PanelZone zone, QSizeF size, QRectF frame, qreal margin);
// The zone stored under "panelZone"; topCenter when absent or unknown.
PanelZone saved();
void save(PanelZone zone);

} // namespace panelzone
} // namespace quippet
