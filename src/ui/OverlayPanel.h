#pragma once

#include "ui/PanelZone.h"

#include <QPointer>
#include <QWidget>

#include <functional>

namespace quippet {

// The floating panel: frameless, always on top, on every workspace, no taskbar entry, shown without taking focus
// from the call application. It can take keyboard input when clicked.
class OverlayPanel : public QWidget {
    Q_OBJECT
public:
    explicit OverlayPanel(QWidget* content);

    void setContentSize(QSize size);
    // Moves the panel into `zone` of the primary screen's available area (12 px margin); the size is kept.
    void position(PanelZone zone);
    // Shows the panel above other windows without activating it.
    void raiseWithoutFocus();

    // The full-screen grid of zones; picking one calls onPick, Esc or a click outside the grid cancels.
    void showZonePicker(PanelZone current, std::function<void(PanelZone)> onPick);

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void makeSticky();
    QPointer<QWidget> m_picker;
};

} // namespace quippet
