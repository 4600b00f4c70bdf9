#pragma once

#include "backend/UpdateChecker.h"

class QWidget;

namespace quippet {

// Tells the user what a check found: up to date, a newer version with its notes and download page (or, for a
// package install, the package manager's command), or why the check failed. Non-modal; deletes itself.
void showUpdateResult(const UpdateChecker::Result& result, const QString& currentVersion, bool packaged);
// The same for the running program: its version, and whether a package installed it.
void showUpdateResult(const UpdateChecker::Result& result);

} // namespace quippet
