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
    using Callbacks = PanelCallbacks;

    RootView(Callbacks callbacks, PanelModels models, QWidget* parent = nullptr);

    enum class Face { Collapsed, Welcome, Working };
    Face face() const;
    WelcomeView* welcomeView() const { return m_welcome; }
    OverlayView* overlayView() const { return m_working; }
    // Whether a backend token is stored (the account entries offer sign-in or sign-out).
    void setTokenCheck(std::function<bool()> hasToken) { m_callbacks.hasBackendToken = std::move(hasToken); }

private:
    void chooseFace();
    void updateWelcome();

    Callbacks m_callbacks;
    PanelModels m_models;
    CollapsedOrb* m_collapsed;
    WelcomeView* m_welcome;
    OverlayView* m_working;
};

} // namespace quippet
