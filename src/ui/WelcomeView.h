#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QMenu;
class QVBoxLayout;

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
    // The two ways in: with `show`, a server address field stands by the button of the server route (the primary one
    // when `serverPrimary`), holding `address`; that button asks to sign in to what the field holds. `fixed`: the
    // address is set outside the program and cannot be edited here.
    void setRoutes(bool show, bool serverPrimary, const QString& address, bool fixed);
    QMenu* optionsMenu() const { return m_menu; }

signals:
    // The server route's button (or Return in the address field), with the address as typed.
    void serverSignInClicked(const QString& address);
    void primaryClicked();
    void secondaryClicked();
    void collapseClicked();
    void positionClicked();
    void quitClicked();

private:
    void routeClicked(bool primary);

    QVBoxLayout* m_layout;
    QLabel* m_title;
    QLineEdit* m_address;
    bool m_routes = false;
    bool m_serverPrimary = false;
    QLabel* m_subtitle;
    QLabel* m_detail;
    QPushButton* m_primary;
    QPushButton* m_secondary;
    QMenu* m_menu;
};

} // namespace quippet
