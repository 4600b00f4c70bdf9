#pragma once

namespace quippet {

// Asks, in a dialog of its own, whether to install Quippet for this user. True for "install".
bool askToInstall();

} // namespace quippet
