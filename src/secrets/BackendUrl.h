#pragma once

#include <QString>
#include <QUrl>

#include <optional>
#include <variant>

namespace quippet {

// Where the service backend lives: QUIPPET_BACKEND when set (even empty), else the "backendBaseURL" preference,
// else the built-in address. Text that does not parse as a URL falls back to the built-in address.
// Read afresh on every call.
QUrl backendBaseUrl();
QUrl defaultBackendBaseUrl();

// The address someone chose (QUIPPET_BACKEND or the "backendBaseURL" preference), or nothing: the built-in address
// is not one the user can be shown as if it were known to answer.
std::optional<QUrl> configuredBackendUrl();
// Whether QUIPPET_BACKEND decides the address (a typed one would not take effect).
bool backendUrlFromEnvironment();

// A server address as a user typed it: https anywhere, http only to this computer; a bare host name is taken as
// https. The address, or why it cannot be used, in the user's words.
std::variant<QUrl, QString> parseServerAddress(const QString& text);
// Stores an accepted address under "backendBaseURL".
void storeBackendUrl(const QUrl& url);

} // namespace quippet
