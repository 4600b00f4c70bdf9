#include "ui/WelcomeView.h"

#include "core/Localization.h"
#include "ui/Controls.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

namespace quippet {

WelcomeView::WelcomeView(QMenu* menu, QWidget* parent) : QWidget(parent), m_menu(menu) {
    setObjectName(QStringLiteral("welcomeView"));
    setStyleSheet(QStringLiteral("QLabel { color: white; }"));
    auto* layout = m_layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 14, 18, 18);
    layout->setSpacing(10);

    auto* header = new QHBoxLayout;
    header->addWidget(new BrandMark(26, this));
    auto* name = new QLabel(QStringLiteral("Quippet"), this);
    QFont nameFont = name->font();
    nameFont.setPixelSize(17);
    nameFont.setWeight(QFont::DemiBold);
    name->setFont(nameFont);
    header->addWidget(name);
    header->addStretch();
    auto chrome = [this](Glyph glyph, const char* helpKey, const char* name) {
        auto* button = new ChromeButton(glyph, i18n::text(helpKey), this);
        button->setObjectName(QLatin1String(name));
        return button;
    };
    auto* collapse = chrome(Glyph::Collapse, "chrome.collapse", "collapseButton");
    auto* position = chrome(Glyph::Move, "chrome.position", "positionButton");
    auto* options = chrome(Glyph::Ellipsis, "chrome.options", "optionsButton");
    auto* quit = chrome(Glyph::Close, "chrome.quit", "quitButton");
    connect(options, &QAbstractButton::clicked, this,
            [this, options] { m_menu->popup(options->mapToGlobal(QPoint(0, options->height() + 4))); });
    for (QWidget* b : {collapse, position, options, quit})
        header->addWidget(b);
    layout->addLayout(header);
    connect(collapse, &QAbstractButton::clicked, this, &WelcomeView::collapseClicked);
    connect(position, &QAbstractButton::clicked, this, &WelcomeView::positionClicked);
    connect(quit, &QAbstractButton::clicked, this, &WelcomeView::quitClicked);

    layout->addStretch();
    auto* title = m_title = new QLabel(QStringLiteral("Quippet"), this);
    title->setObjectName(QStringLiteral("welcomeTitle"));
    QFont titleFont = title->font();
    titleFont.setPixelSize(26);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);

    m_subtitle = new QLabel(this);
    m_subtitle->setObjectName(QStringLiteral("welcomeSubtitle"));
    m_subtitle->setWordWrap(true);
    m_subtitle->setAlignment(Qt::AlignCenter);
    QFont subtitleFont = m_subtitle->font();
    subtitleFont.setPixelSize(13);
    m_subtitle->setFont(subtitleFont);
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
                                            "QPushButton:hover { background: rgb(45,200,135); }"
                                            "QPushButton:focus { border: 2px solid white; }"));
    layout->addWidget(m_primary);
    m_secondary = new QPushButton(this);
    m_secondary->setObjectName(QStringLiteral("secondaryButton"));
    m_secondary->setFlat(true);
    m_secondary->setStyleSheet(QStringLiteral("QPushButton { color: rgba(255,255,255,170); border: none; }"
                                              "QPushButton:focus { text-decoration: underline; }"));
    layout->addWidget(m_secondary);
    m_address = new QLineEdit(this);
    m_address->setObjectName(QStringLiteral("serverAddressField"));
    m_address->setAccessibleName(i18n::text("welcome.server.label"));
    m_address->setPlaceholderText(i18n::text("welcome.server.label") + QStringLiteral(" — https://…"));
    m_address->setMinimumHeight(28);
    m_address->setStyleSheet(QStringLiteral("QLineEdit { color: white; background: rgba(255,255,255,22);"
                                            " border: 1px solid rgba(255,255,255,60); border-radius: 7px;"
                                            " padding: 0 8px; }"
                                            "QLineEdit:focus { border: 2px solid white; }"));
    m_address->hide();
    layout->insertWidget(layout->indexOf(m_primary), m_address);
    connect(m_address, &QLineEdit::returnPressed, this, [this] { emit serverSignInClicked(m_address->text()); });
    connect(m_primary, &QPushButton::clicked, this, [this] { routeClicked(true); });
    connect(m_secondary, &QPushButton::clicked, this, [this] { routeClicked(false); });
}

void WelcomeView::routeClicked(bool primary) {
    if (m_routes && primary == m_serverPrimary)
        emit serverSignInClicked(m_address->text());
    else if (primary)
        emit primaryClicked();
    else
        emit secondaryClicked();
}

void WelcomeView::setRoutes(bool show, bool serverPrimary, const QString& address, bool fixed) {
    m_routes = show;
    m_serverPrimary = serverPrimary;
    // The address stands right above the button that signs in to it.
    m_layout->removeWidget(m_address);
    m_layout->insertWidget(m_layout->indexOf(serverPrimary ? m_primary : m_secondary), m_address);
    // What the user is typing stays; a configured address fills an empty field.
    if (!address.isEmpty() && (fixed || m_address->text().isEmpty()))
        m_address->setText(address);
    m_address->setReadOnly(fixed);
    m_address->setToolTip(fixed ? i18n::text("welcome.server.fromEnvironment") : QString());
    m_address->setVisible(show);
    // Tab reaches the address right before the button that signs in to it.
    if (serverPrimary) {
        setTabOrder(m_address, m_primary);
        setTabOrder(m_primary, m_secondary);
    } else {
        setTabOrder(m_primary, m_address);
        setTabOrder(m_address, m_secondary);
    }
    // The product name is in the header too: the face needs the room for both routes.
    m_title->setVisible(!show);
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

} // namespace quippet
