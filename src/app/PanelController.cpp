#include "app/PanelController.h"

#include "assistant/Assistant.h"
#include "core/OwnerMode.h"
#include "ui/OverlayPanel.h"
#include "ui/PanelState.h"
#include "ui/PanelZone.h"
#include "ui/RootView.h"

#include <QPointer>

namespace quippet {

PanelController::PanelController(PanelState& state, Assistant& assistant, QObject* parent)
    : QObject(parent), m_state(state), m_assistant(assistant), m_baseHeight(OwnerMode::isOn() ? 146 : 116) {
    m_hadCards = m_assistant.hasCards();
    connect(&m_assistant, &Assistant::cardsChanged, this, [this] {
        const bool has = m_assistant.hasCards();
        if (has == m_hadCards)
            return;
        m_hadCards = has;
        resizeForCards(has);
    });
}

PanelController::~PanelController() = default;

void PanelController::createWindow(RootView* root) {
    m_panel = std::make_unique<OverlayPanel>(root);
    m_panel->setContentSize(kWelcomeSize);
    m_panel->raiseWithoutFocus();
    m_panel->position(panelzone::saved());
    resizeForCards(m_hadCards);
}

QSize PanelController::currentSize() const {
    if (m_state.collapsed())
        return kCollapsedSize;
    if (m_state.showingWelcome())
        return kWelcomeSize;
    return QSize(kWidth, m_assistant.hasCards() ? kAnswerHeight : m_baseHeight);
}

void PanelController::place() {
    if (!m_panel)
        return;
    m_panel->setContentSize(currentSize());
    m_panel->position(panelzone::saved());
    m_panel->raiseWithoutFocus();
}

void PanelController::toggleVisibility() {
    if (!m_panel)
        return;
    if (m_panel->isVisible())
        m_panel->hide();
    else
        place();
}

void PanelController::toggleCollapse() {
    m_state.setCollapsed(!m_state.collapsed());
    if (!m_panel)
        return;
    // The top-right corner stays where it is.
    const QRect old = m_panel->geometry();
    const QSize size = currentSize();
    m_panel->setContentSize(size);
    m_panel->move(old.x() + old.width() - size.width(), old.y());
}

void PanelController::showZonePicker() {
    if (!m_panel)
        return;
    QPointer<PanelController> self(this);
    m_panel->showZonePicker(panelzone::saved(), [self](PanelZone zone) {
        if (!self || !self->m_panel)
            return;
        panelzone::save(zone);
        self->m_panel->position(zone);
        self->m_panel->raiseWithoutFocus();
    });
}

void PanelController::resizeForCards(bool hasCards) {
    if (!m_panel || m_state.collapsed() || m_state.showingWelcome())
        return;
    // Growing for the first answer card keeps the top-left corner in place.
    m_panel->setContentSize(QSize(kWidth, hasCards ? kAnswerHeight : m_baseHeight));
}

} // namespace quippet
