#pragma once

#include "core/DiagnosticsLog.h"

namespace quippet::DataMigration {

// Renames the folders of the product's former name in the home directory to their current names, where nothing
// is in the way yet. Runs once at launch, before anything reads those folders.
void run(const NoteFn& note);

} // namespace quippet::DataMigration
