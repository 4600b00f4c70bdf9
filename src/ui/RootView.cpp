#include "ui/RootView.h"

#include "core/Localization.h"
#include "ui/LevelOrb.h"
#include "ui/OptionsMenu.h"
#include "ui/OverlayView.h"
#include "ui/PanelState.h"
#include "ui/WelcomeView.h"

namespace quippet {

RootView::RootView(PanelContext context, PanelModels models, QWidget* parent)
    : QStackedWidget(parent), m_context(std::move(context)), m_models(models) {
    setObjectName(QStringLiteral("rootView"));
    setAttribute(Qt::WA_TranslucentBackground);
    auto command = [this](const char* name) { return [this, name] { m_context.trigger(name); }; };

    m_collapsed = new CollapsedOrb(models.capture, this);
    connect(m_collapsed, &QAbstractButton::clicked, this, command("collapse"));

    m_welcome = new WelcomeView(new OptionsMenu(OptionsMenu::Kind::Welcome, models, m_context, this), this);
    connect(m_welcome, &WelcomeView::collapseClicked, this, command("collapse"));
    connect(m_welcome, &WelcomeView::positionClicked, this, command("position"));
    connect(m_welcome, &WelcomeView::quitClicked, this, command("quit"));

    m_working = new OverlayView(models, m_context, this);
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
