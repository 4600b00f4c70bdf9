#pragma once

#include <QUrl>

namespace quippet {

// Whether an address that came from the network may be handed to the desktop to open: https anywhere, http only
// to this computer (a local backend during development). Anything else (file:, javascript:, another program's
// URL scheme) could make the desktop open a local file or run a local handler.
bool isSafeToOpen(const QUrl& url);

} // namespace quippet
