#pragma once

#include <QObject>
#include <QSize>

#include <memory>

namespace quippet {

class Assistant;
class OverlayPanel;
class PanelState;
class RootView;

// The panel window's size and place: welcome, working (taller once there is an answer) or collapsed to the orb;
// shown, hidden, moved to a zone, kept on top. Without a window (tests of the logic) only the sizes are worked
// out. Main thread only.
class PanelController : public QObject {
    Q_OBJECT
public:
    static constexpr int kWidth = 800;
    static constexpr int kAnswerHeight = 640;
    static constexpr QSize kCollapsedSize{44, 44};
    static constexpr QSize kWelcomeSize{460, 300};

    PanelController(PanelState& state, Assistant& assistant, QObject* parent = nullptr);
    ~PanelController() override;

    // Creates the window around `root` and shows it in the saved zone.
    void createWindow(RootView* root);
    OverlayPanel* panel() const { return m_panel.get(); }

    QSize currentSize() const;
    int baseHeight() const { return m_baseHeight; }
    // Shows the panel at its size in the saved zone, on top, without taking focus from the call.
    void place();
    void toggleVisibility();
    void toggleCollapse();
    void showZonePicker();

private:
    void resizeForCards(bool hasCards);

    PanelState& m_state;
    Assistant& m_assistant;
    std::unique_ptr<OverlayPanel> m_panel;
    int m_baseHeight;
    bool m_hadCards = false;
};

} // namespace quippet
