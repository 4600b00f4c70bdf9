#include "ui/BrandHeader.h"

#include <QLabel>
#include <QVBoxLayout>

namespace quippet {

BrandHeader::BrandHeader(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* title = new QLabel(QStringLiteral("Quippet"), this);
    title->setObjectName(QStringLiteral("brandTitle"));
    QFont font = title->font();
    font.setPointSizeF(17);
    font.setWeight(QFont::DemiBold);
    title->setFont(font);
    m_subtitle = new QLabel(this);
    m_subtitle->setObjectName(QStringLiteral("brandSubtitle"));
    m_subtitle->setWordWrap(true);
    layout->addWidget(title);
    layout->addWidget(m_subtitle);
}

void BrandHeader::setSubtitle(const QString& text) { m_subtitle->setText(text); }
QString BrandHeader::subtitle() const { return m_subtitle->text(); }

} // namespace quippet
