#pragma once

#include "assistant/ScreenGrab.h"
#include "core/DiagnosticsLog.h"

#include <QObject>

#include <memory>
#include <optional>

namespace quippet {

class Clock;
class PortalScreenshot;

// Where the assistant's picture of the screen comes from, with the program's own windows hidden for the moment of
// the shot: an X11 grab, or on Wayland (where a grab sees only XWayland windows) the desktop portal. The portal may
// first ask the user: the windows then come back after a short while and `askingUser` says so, and the answer is
// waited for within a bound. Main thread only.
class ScreenshotRoute : public QObject {
    Q_OBJECT
public:
    ScreenshotRoute(Clock& clock, DiagnosticsLog& log, bool viaPortal, QObject* parent = nullptr);
    ~ScreenshotRoute() override;

    ScreenGrabber grabber();
    ScreenGrab& grab() { return *m_grab; }
    // Whether the desktop allowed the last picture asked of the portal; nothing before the first answer.
    std::optional<bool> allowed() const { return m_allowed; }

private:
    void takeFromPortal(ScreenGrab::PictureAnswer answer);

    DiagnosticsLog& m_log;
    std::unique_ptr<ScreenGrab> m_grab;
    std::unique_ptr<PortalScreenshot> m_portal;
    std::optional<bool> m_allowed;
};

} // namespace quippet
