#pragma once

#include <QWidget>

class QLabel;

namespace quippet {

// The product name with the readiness subtitle, shown at the top of the welcome panel.
class BrandHeader : public QWidget {
    Q_OBJECT
public:
    explicit BrandHeader(QWidget* parent = nullptr);
    void setSubtitle(const QString& text);
    QString subtitle() const;

private:
    QLabel* m_subtitle;
};

} // namespace quippet
