#pragma once

#include "core/DiagnosticsLog.h"

#include <QString>

namespace quippet {

// Start at login through an XDG autostart entry (~/.config/autostart/quippet.desktop) that names the installed
// command, never a build tree or a download folder.
namespace LaunchAtLogin {
QString entryPath();
bool isEnabled();
// Creates or removes the entry. Creating it fails (with the reason in `error`) when Quippet is not installed.
bool set(bool enabled, QString* error = nullptr);
// Registers the entry once, on the very first launch, so the user opts out rather than in.
void seedOnFirstLaunch(const NoteFn& note);
} // namespace LaunchAtLogin

} // namespace quippet
