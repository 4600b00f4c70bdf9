#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QMenu;

namespace quippet {

// The welcome face of the panel: product name, the current step's subtitle (and failure message), the primary
// action and an optional secondary one, plus the window chrome.
class WelcomeView : public QWidget {
    Q_OBJECT
public:
    // `menu`: the options menu behind the "…" button.
    explicit WelcomeView(QMenu* menu, QWidget* parent = nullptr);

    // secondary: empty for none. detail: an extra line under the subtitle (a sign-in failure, missing permissions).
    void setStep(const QString& subtitle, const QString& detail, const QString& primary, const QString& secondary);
    QMenu* optionsMenu() const { return m_menu; }

signals:
    void primaryClicked();
    void secondaryClicked();
    void collapseClicked();
    void positionClicked();
    void quitClicked();

private:
    QLabel* m_subtitle;
    QLabel* m_detail;
    QPushButton* m_primary;
    QPushButton* m_secondary;
    QMenu* m_menu;
};

} // namespace quippet
