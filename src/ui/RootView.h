#pragma once

#include "ui/PanelContext.h"

#include <QStackedWidget>

namespace quippet {

class CollapsedOrb;
class OptionsMenu;
class OverlayView;
class WelcomeView;

// The panel's content: the collapsed orb, the welcome screen or the working overlay, chosen from the panel state
// (collapsed first, then welcome).
class RootView : public QStackedWidget {
    Q_OBJECT
public:
    // The welcome face's own buttons (its steps, the server route) are the welcome view's signals.
    RootView(PanelContext context, PanelModels models, QWidget* parent = nullptr);

    enum class Face { Collapsed, Welcome, Working };
    Face face() const;
    WelcomeView* welcomeView() const { return m_welcome; }
    OverlayView* overlayView() const { return m_working; }

private:
    void chooseFace();
    void updateWelcome();

    PanelContext m_context;
    PanelModels m_models;
    CollapsedOrb* m_collapsed;
    WelcomeView* m_welcome;
    OverlayView* m_working;
};

} // namespace quippet
