#pragma once

#include "core/DiagnosticsLog.h"

#include <QString>

namespace quippet {

// Start at login through an XDG autostart entry (~/.config/autostart/quippet.desktop).
namespace LaunchAtLogin {
QString entryPath();
bool isEnabled();
bool set(bool enabled);
// Registers the entry once, on the very first launch, so the user opts out rather than in.
void seedOnFirstLaunch(const NoteFn& note);
} // namespace LaunchAtLogin

} // namespace quippet
