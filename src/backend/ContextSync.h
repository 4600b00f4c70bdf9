#pragma once

#include "core/DiagnosticsLog.h"
#include "secrets/Keychain.h"

#include <QString>

#include <functional>

class QObject;

namespace quippet::ContextSync {

// The folder the assistant reads company documents from.
QString contextFolder();
// The manifest of the documents the sync put there: ".quippet-sync.json" in the folder.
QString manifestPath();

// True when name is a plain file name that stays inside the context folder: not empty, no path separator, not
// hidden ("." and ".." included; the manifest is such a file).
bool isSafeDocumentName(const QString& name);

// Brings the backend's documents into the context folder: downloads what changed, removes what the sync put there
// and the backend no longer lists, leaves the user's own files alone. Does nothing without a backend token.
// Asynchronous on the calling thread's event loop; done runs at the end unless context was destroyed first.
void pull(Keychain& keychain, NoteFn note, QObject* context, std::function<void()> done);

} // namespace quippet::ContextSync
