#include "ui/WelcomeView.h"

#include "core/Localization.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace quippet {

namespace {

QToolButton* chromeButton(const QString& glyph, const char* helpKey, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(glyph);
    button->setToolTip(i18n::text(helpKey));
    button->setFixedSize(26, 26);
    button->setAutoRaise(true);
    button->setStyleSheet(QStringLiteral("QToolButton { color: rgba(255,255,255,200); background: rgba(255,255,255,20);"
                                         " border-radius: 8px; font-weight: 600; }"
                                         "QToolButton::menu-indicator { image: none; width: 0; }"
                                         "QToolButton:hover { background: rgba(255,255,255,45); }"));
    return button;
}

// A rounded square with a diagonal gradient and a small white glyph.
class BrandMark : public QWidget {
public:
    BrandMark(int size, QWidget* parent) : QWidget(parent) { setFixedSize(size, size); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient g(0, 0, width(), height());
        g.setColorAt(0, QColor(38, 207, 140));
        g.setColorAt(1, QColor(40, 110, 230));
        p.setBrush(g);
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(rect(), width() * 0.28, height() * 0.28);
        p.setBrush(Qt::white);
        const qreal r = width() * 0.14;
        p.drawEllipse(QPointF(width() * 0.42, height() * 0.5), r, r);
        p.drawEllipse(QPointF(width() * 0.66, height() * 0.5), r * 0.6, r * 0.6);
    }
};

} // namespace

WelcomeView::WelcomeView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("welcomeView"));
    setStyleSheet(QStringLiteral("QLabel { color: white; }"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 14, 18, 18);
    layout->setSpacing(10);

    auto* header = new QHBoxLayout;
    header->addWidget(new BrandMark(26, this));
    auto* name = new QLabel(QStringLiteral("Quippet"), this);
    QFont nameFont = name->font();
    nameFont.setPointSizeF(13);
    nameFont.setWeight(QFont::DemiBold);
    name->setFont(nameFont);
    header->addWidget(name);
    header->addStretch();
    auto* collapse = chromeButton(QStringLiteral("↘"), "chrome.collapse", this);
    auto* position = chromeButton(QStringLiteral("✥"), "chrome.position", this);
    auto* options = chromeButton(QStringLiteral("…"), "chrome.options", this);
    auto* quit = chromeButton(QStringLiteral("✕"), "chrome.quit", this);
    collapse->setObjectName(QStringLiteral("collapseButton"));
    quit->setObjectName(QStringLiteral("quitButton"));
    m_menu = new QMenu(this);
    options->setMenu(m_menu);
    options->setPopupMode(QToolButton::InstantPopup);
    for (QToolButton* b : {collapse, position, options, quit})
        header->addWidget(b);
    layout->addLayout(header);
    connect(collapse, &QToolButton::clicked, this, &WelcomeView::collapseClicked);
    connect(position, &QToolButton::clicked, this, &WelcomeView::positionClicked);
    connect(quit, &QToolButton::clicked, this, &WelcomeView::quitClicked);

    layout->addStretch();
    auto* title = new QLabel(QStringLiteral("Quippet"), this);
    title->setObjectName(QStringLiteral("welcomeTitle"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(20);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);

    m_subtitle = new QLabel(this);
    m_subtitle->setObjectName(QStringLiteral("welcomeSubtitle"));
    m_subtitle->setWordWrap(true);
    m_subtitle->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_subtitle);
    m_detail = new QLabel(this);
    m_detail->setObjectName(QStringLiteral("welcomeDetail"));
    m_detail->setWordWrap(true);
    m_detail->setAlignment(Qt::AlignCenter);
    m_detail->setStyleSheet(QStringLiteral("color: rgba(255,190,120,230);"));
    layout->addWidget(m_detail);
    layout->addStretch();

    m_primary = new QPushButton(this);
    m_primary->setObjectName(QStringLiteral("primaryButton"));
    m_primary->setMinimumHeight(34);
    m_primary->setStyleSheet(QStringLiteral("QPushButton { color: white; background: rgb(38,180,120); border: none;"
                                            " border-radius: 10px; font-weight: 600; }"
                                            "QPushButton:hover { background: rgb(45,200,135); }"));
    layout->addWidget(m_primary);
    m_secondary = new QPushButton(this);
    m_secondary->setObjectName(QStringLiteral("secondaryButton"));
    m_secondary->setFlat(true);
    m_secondary->setStyleSheet(QStringLiteral("QPushButton { color: rgba(255,255,255,170); border: none; }"));
    layout->addWidget(m_secondary);
    connect(m_primary, &QPushButton::clicked, this, &WelcomeView::primaryClicked);
    connect(m_secondary, &QPushButton::clicked, this, &WelcomeView::secondaryClicked);
}

void WelcomeView::setStep(const QString& subtitle, const QString& detail, const QString& primary,
                          const QString& secondary) {
    m_subtitle->setText(subtitle);
    m_detail->setText(detail);
    m_detail->setVisible(!detail.isEmpty());
    m_primary->setText(primary);
    m_secondary->setText(secondary);
    m_secondary->setVisible(!secondary.isEmpty());
}

void WelcomeView::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
}

} // namespace quippet
