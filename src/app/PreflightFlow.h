#pragma once

#include "app/PreflightCheck.h"

#include <QObject>

#include <memory>

namespace quippet {

class PreflightWindow;
struct PreflightRow;

// The pre-call check as the user meets it: its window, opened from the menus (and run at once) or offered when a
// call seems to start and the last check is a day old; the verdicts shown as they come; the mends wired to what
// does them. Main thread only.
class PreflightFlow : public QObject {
    Q_OBJECT
public:
    PreflightFlow(PreflightCheck::Parts parts, bool windows, QObject* parent = nullptr);
    ~PreflightFlow() override;

    // Opens the window and runs the check.
    void open();
    // A call seems to be starting: the window is offered (not run) once per program run when a check is due.
    // True when it was offered.
    bool offer();
    void fix(PreflightLine::Item item);

    PreflightCheck& check() { return *m_check; }
    PreflightWindow* window() { return m_window.get(); }
    // The rows the window shows for the check's present lines.
    QList<PreflightRow> rows() const;

signals:
    // The mends that other parts of the program do.
    void soundSettingsWanted();
    void keysWanted();
    void signInWanted();

private:
    void ensureWindow();
    void refresh();

    std::unique_ptr<PreflightCheck> m_check;
    bool m_windows;
    bool m_offered = false;
    std::unique_ptr<PreflightWindow> m_window;
};

} // namespace quippet
