#include "ui/RootView.h"

#include "core/Localization.h"
#include "ui/LevelOrb.h"
#include "ui/OptionsMenu.h"
#include "ui/OverlayView.h"
#include "ui/PanelState.h"
#include "ui/WelcomeView.h"

namespace quippet {

RootView::RootView(Callbacks callbacks, PanelModels models, QWidget* parent)
    : QStackedWidget(parent), m_callbacks(std::move(callbacks)), m_models(models) {
    setObjectName(QStringLiteral("rootView"));
    setAttribute(Qt::WA_TranslucentBackground);
    // Every face reaches the controller through m_callbacks, so a later setTokenCheck is seen by all of them.
    auto call = [this](std::function<void()> Callbacks::*member) {
        return [this, member] { Callbacks::call(m_callbacks.*member); };
    };

    m_collapsed = new CollapsedOrb(models.capture, this);
    connect(m_collapsed, &QAbstractButton::clicked, this, call(&Callbacks::onCollapse));

    m_welcome = new WelcomeView(new OptionsMenu(OptionsMenu::Kind::Welcome, models, m_callbacks, this), this);
    connect(m_welcome, &WelcomeView::primaryClicked, this, call(&Callbacks::onPrimary));
    connect(m_welcome, &WelcomeView::secondaryClicked, this, call(&Callbacks::onSecondary));
    connect(m_welcome, &WelcomeView::serverSignInClicked, this, [this](const QString& address) {
        if (m_callbacks.onServerSignIn)
            m_callbacks.onServerSignIn(address);
    });
    connect(m_welcome, &WelcomeView::collapseClicked, this, call(&Callbacks::onCollapse));
    connect(m_welcome, &WelcomeView::positionClicked, this, call(&Callbacks::onCenter));
    connect(m_welcome, &WelcomeView::quitClicked, this, call(&Callbacks::onQuit));

    m_working = new OverlayView(models, m_callbacks, this);
    addWidget(m_collapsed);
    addWidget(m_welcome);
    addWidget(m_working);

    connect(&models.state, &PanelState::collapsedChanged, this, &RootView::chooseFace);
    connect(&models.state, &PanelState::showingWelcomeChanged, this, &RootView::chooseFace);
    connect(&models.state, &PanelState::readyChanged, this, &RootView::updateWelcome);
    updateWelcome();
    chooseFace();
}

RootView::Face RootView::face() const {
    if (currentWidget() == m_collapsed)
        return Face::Collapsed;
    return currentWidget() == m_welcome ? Face::Welcome : Face::Working;
}

void RootView::chooseFace() {
    if (m_models.state.collapsed())
        setCurrentWidget(m_collapsed);
    else if (m_models.state.showingWelcome())
        setCurrentWidget(m_welcome);
    else
        setCurrentWidget(m_working);
}

void RootView::updateWelcome() {
    const ReadyState ready = m_models.state.ready();
    QString detail;
    if (ready.kind == ReadyState::Kind::LoginFailed)
        detail = ready.message;
    else if (ready.kind == ReadyState::Kind::MissingPermissions)
        detail = ready.permissions.join(QStringLiteral(", "));
    const char* secondary = ready.secondaryActionKey();
    m_welcome->setStep(i18n::text(ready.subtitleKey()), detail, i18n::text(ready.actionKey()),
                       secondary ? i18n::text(secondary) : QString());
    m_welcome->setRoutes(ready.offersRoutes(), ready.serverIsPrimary(), ready.server, ready.serverFromEnvironment);
}

} // namespace quippet
