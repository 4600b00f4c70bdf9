#pragma once

#include <QUrl>

namespace quippet {

// Where the service backend lives: QUIPPET_BACKEND when set (even empty), else the "backendBaseURL" preference,
// else the built-in address. Text that does not parse as a URL falls back to the built-in address.
// Read afresh on every call.
QUrl backendBaseUrl();
QUrl defaultBackendBaseUrl();

} // namespace quippet
