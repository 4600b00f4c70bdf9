#pragma once

#include <QByteArray>
#include <QString>

namespace quippet {

// Replaces the file at path with bytes so that readers see either the old or the new content, never a torn one
// (a temporary file in the same folder, renamed over the old one). False when anything failed; the old file is
// then untouched.
bool writeFileAtomically(const QString& path, const QByteArray& bytes);

} // namespace quippet
