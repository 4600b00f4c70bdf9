#pragma once

#include <QWindow>

namespace quippet {

// Small requests to the desktop the program runs on.
namespace desktop {
// Whether the screen can be captured. X11 has no capture permission: a one-pixel grab succeeds or it does not
// (it does not on Wayland, where the welcome screen then says so).
bool screenCaptureWorks();
// Opens the desktop's sound settings (GNOME, pavucontrol, KDE, Xfce: the first one installed).
void openSoundSettings();
// Installation offer: a Linux build is installed by the package or the build tree it runs from, so there is
// nothing to move and launching always continues.
bool ensureInstalled();
// Keeps a mapped window on every workspace (X11: _NET_WM_STATE_STICKY); nothing elsewhere.
void showOnAllWorkspaces(WId window);
} // namespace desktop

} // namespace quippet
