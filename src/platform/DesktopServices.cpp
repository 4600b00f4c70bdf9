#include "platform/DesktopServices.h"

#include "platform/PortalScreenshot.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QScreen>

#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace quippet::desktop {

namespace {

void startFirstOf(const QList<QStringList>& candidates) {
    for (const QStringList& command : candidates) {
        if (QProcess::startDetached(command.first(), command.mid(1)))
            return;
    }
}

} // namespace

bool isWaylandSession() {
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QString choosePlatform() {
    if (!isWaylandSession() || qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return {};
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return QStringLiteral(
            "ekran: sesja Wayland bez XWayland — panel nie ustawi się sam i nie zostanie na wierzchu");
    qputenv("QT_QPA_PLATFORM", "xcb");
    return QStringLiteral("ekran: sesja Wayland — panel działa przez XWayland");
}

bool screenCaptureWorks() {
    if (isWaylandSession())
        return PortalScreenshot().available();
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen && !screen->grabWindow(0, 0, 0, 1, 1).isNull();
}

void openSoundSettings() {
    startFirstOf({{QStringLiteral("gnome-control-center"), QStringLiteral("sound")},
                  {QStringLiteral("pavucontrol")},
                  {QStringLiteral("systemsettings"), QStringLiteral("kcm_pulseaudio")},
                  {QStringLiteral("xfce4-mixer")}});
}

void openScreenSettings() {
    startFirstOf({{QStringLiteral("gnome-control-center"), QStringLiteral("privacy")},
                  {QStringLiteral("systemsettings"), QStringLiteral("kcm_flatpak")},
                  {QStringLiteral("systemsettings")}});
}

// On X11 the window manager keeps a window on every workspace when it carries _NET_WM_STATE_STICKY; the state must
// be requested with a client message once the window is mapped.
void showOnAllWorkspaces(WId window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t* c = x11->connection();
    auto atom = [c](const char* name) {
        xcb_intern_atom_reply_t* reply =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return a;
    };
    const xcb_atom_t wmState = atom("_NET_WM_STATE"), sticky = atom("_NET_WM_STATE_STICKY");
    const xcb_screen_t* root = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!root || wmState == XCB_ATOM_NONE)
        return;
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = xcb_window_t(window);
    ev.type = wmState;
    ev.data.data32[0] = 1; // _NET_WM_STATE_ADD
    ev.data.data32[1] = sticky;
    ev.data.data32[3] = 1;
    xcb_send_event(c, 0, root->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&ev));
    xcb_flush(c);
}

} // namespace quippet::desktop
