#include "ui/OverlayPanel.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include "core/Localization.h"
#include "platform/DesktopServices.h"
#include "ui/Controls.h"

namespace quippet {

OverlayPanel::OverlayPanel(QWidget* content) : QWidget(nullptr) {
    setObjectName(QStringLiteral("overlayPanel"));
    // Tool windows get no taskbar entry; stays-on-top keeps the panel over the call window.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(QStringLiteral("Quippet"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content);
    resize(760, 108);
    position(panelzone::saved());
}

void OverlayPanel::setContentSize(QSize size) {
    setFixedSize(size);
}

void OverlayPanel::position(PanelZone zone) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        const auto screens = QGuiApplication::screens();
        if (screens.isEmpty())
            return;
        screen = screens.first();
    }
    const QPointF origin = panelzone::origin(zone, QSizeF(size()), QRectF(screen->availableGeometry()), 12);
    move(origin.toPoint());
}

void OverlayPanel::raiseWithoutFocus() {
    show();
    raise();
}

namespace {

// Covers the available screen area; the card in its middle holds one button per zone.
class ZonePicker : public QWidget {
public:
    ZonePicker(PanelZone current, std::function<void(PanelZone)> onPick) {
        setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_DeleteOnClose);
        auto* outer = new QGridLayout(this);
        auto* card = new QWidget(this);
        card->setObjectName(QStringLiteral("zoneCard"));
        // A click on the card, between its cells, is not a click outside it.
        card->setAttribute(Qt::WA_NoMousePropagation);
        card->setAttribute(Qt::WA_StyledBackground);
        card->setStyleSheet(
            QStringLiteral("#zoneCard { background: rgba(0,0,0,184); border: 1px solid rgba(255,255,255,36);"
                           " border-radius: 22px; } QLabel { color: rgba(255,255,255,217); }"));
        auto* layout = new QVBoxLayout(card);
        layout->setContentsMargins(26, 26, 26, 26);
        layout->setSpacing(14);
        auto* title = new QLabel(i18n::text("zone.title"), card);
        title->setAlignment(Qt::AlignCenter);
        QFont titleFont = title->font();
        titleFont.setPixelSize(15);
        titleFont.setWeight(QFont::Medium);
        title->setFont(titleFont);
        layout->addWidget(title);
        auto* grid = new QGridLayout;
        grid->setSpacing(10);
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 3; ++column) {
                const auto zone = panelzone::at(column, row);
                if (!zone) {
                    // The centre has no zone: the brand mark sits there and does nothing.
                    auto* mark = new QWidget(card);
                    mark->setFixedSize(76, 50);
                    auto* markLayout = new QVBoxLayout(mark);
                    markLayout->setContentsMargins(0, 0, 0, 0);
                    markLayout->addWidget(new BrandMark(26, mark, 0.9), 0, Qt::AlignCenter);
                    grid->addWidget(mark, row, column);
                    continue;
                }
                auto* cell = new QPushButton(card);
                cell->setFixedSize(76, 50);
                cell->setObjectName(QStringLiteral("zone-") + panelzone::rawValue(*zone));
                cell->setAccessibleName(i18n::text(QStringLiteral("zone.") + panelzone::rawValue(*zone)));
                cell->setToolTip(cell->accessibleName());
                const bool isCurrent = *zone == current;
                cell->setStyleSheet(
                    QStringLiteral("QPushButton { background: rgba(255,255,255,%1); border: 1.5px solid %2;"
                                   " border-radius: 8px; } QPushButton:hover { background: rgb(38,207,140); }"
                                   " QPushButton:focus { border: 2px solid white; }")
                        .arg(isCurrent ? 77 : 31)
                        .arg(isCurrent ? QStringLiteral("rgb(38,207,140)") : QStringLiteral("rgba(255,255,255,46)")));
                if (isCurrent)
                    cell->setFocus();
                connect(cell, &QPushButton::clicked, this, [this, onPick, zone] {
                    onPick(*zone);
                    close();
                });
                grid->addWidget(cell, row, column);
            }
        }
        layout->addLayout(grid);
        auto* hint = new QLabel(i18n::text("zone.cancel"), card);
        hint->setAlignment(Qt::AlignCenter);
        hint->setStyleSheet(QStringLiteral("color: rgba(255,255,255,102); font-family: monospace; font-size: 11px;"));
        layout->addWidget(hint);
        outer->addWidget(card, 0, 0, Qt::AlignCenter);
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape)
            close();
        else
            QWidget::keyPressEvent(event);
    }
    void mousePressEvent(QMouseEvent*) override { close(); }
};

} // namespace

void OverlayPanel::showZonePicker(PanelZone current, std::function<void(PanelZone)> onPick) {
    if (m_picker)
        m_picker->close();
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    auto* picker = new ZonePicker(current, std::move(onPick));
    picker->setGeometry(screen->availableGeometry());
    picker->show();
    picker->activateWindow();
    m_picker = picker;
}

void OverlayPanel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    makeSticky();
}

void OverlayPanel::makeSticky() {
    if (windowHandle())
        desktop::showOnAllWorkspaces(winId());
}

void OverlayPanel::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    fillRounded(p, event->region(), rect(), height() <= 44 ? 12 : 18, palette::kPanelFill, palette::kPanelStroke);
}

// Dragging the background moves the panel.
void OverlayPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && windowHandle()) {
        windowHandle()->startSystemMove();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

} // namespace quippet
