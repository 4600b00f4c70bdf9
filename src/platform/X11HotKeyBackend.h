#pragma once

#include "platform/HotKeyCenter.h"

#include <memory>

namespace quippet {

// The X11 backend: passive grabs on the root window (one per keycode of the keysym, times the NumLock and
// CapsLock states, which X treats as modifiers). Answers null when the application does not run on X11.
// Presses come through a native event filter on Qt's own connection.
std::unique_ptr<HotKeyBackend> makeX11HotKeyBackend();
// The same grabs on a connection of its own to $DISPLAY, read through a socket notifier; works whatever Qt
// platform plugin runs (tests run offscreen). Null when no X server answers.
std::unique_ptr<HotKeyBackend> makeX11HotKeyBackendOnOwnConnection();

} // namespace quippet
