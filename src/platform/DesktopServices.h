#pragma once

#include <QWindow>

namespace quippet {

// Small requests to the desktop the program runs on.
namespace desktop {
// Whether the screen can be captured. X11 has no capture permission: a one-pixel grab succeeds or it does not.
// On Wayland the desktop portal's Screenshot interface is the way, so its presence counts.
bool screenCaptureWorks();
// Opens the desktop's sound settings (GNOME, pavucontrol, KDE, Xfce: the first one installed).
void openSoundSettings();
// Opens the desktop's privacy settings, where a Wayland desktop lets programs take screenshots.
void openScreenSettings();
// Whether this is a Wayland session (the panel then runs through XWayland, screenshots come from the portal).
bool isWaylandSession();
// Before the application object exists: on a Wayland session with XWayland, the panel runs on the xcb platform so
// that it can place itself and stay on top. Returns the diagnostics line saying what was chosen, or nothing.
QString choosePlatform();
// Keeps a mapped window on every workspace (X11: _NET_WM_STATE_STICKY); nothing elsewhere.
void showOnAllWorkspaces(WId window);
} // namespace desktop

} // namespace quippet
