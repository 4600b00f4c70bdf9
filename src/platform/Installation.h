#pragma once

#include "core/DiagnosticsLog.h"

#include <QString>
#include <QStringList>

namespace quippet::installation {

inline constexpr const char* kAppId = "app.quippet.Quippet";

// An installed Quippet is a package's binary under /usr, or a per-user install in ~/.local/bin.
bool isInstalledLocation(const QString& binary, const QString& home);
// Installed by the distribution's package manager, which then also updates it.
bool isPackaged(const QString& binary);
// ~/.local/bin/quippet
QString userBinary(const QString& home);
// The command a desktop entry should start: "quippet" for the package's /usr/bin, else the installed binary's full
// path (the running one when it is installed, else a per-user or system install found on disk). Empty when
// Quippet runs from a build tree or a download with nothing installed: no entry may name such a place.
QString installedCommand(const QString& binary, const QString& home,
                         const QStringList& systemBinaries = {QStringLiteral("/usr/bin/quippet"),
                                                              QStringLiteral("/usr/local/bin/quippet")});

// Installs `binary` for the user whose home is `home`: the binary into ~/.local/bin, the desktop entry (which
// registers the quippet:// handler), the AppStream file and the icons into ~/.local/share, and makes it the
// handler for quippet:// links. Every file is written atomically. Returns the installed binary's path, or an empty
// string on failure (then noted, and the program goes on running where it is).
QString installForUser(const QString& binary, const QString& home, const NoteFn& note);

// The desktop entry as installed, with Exec naming `command`.
QByteArray desktopEntry(const QString& command);
// `command` quoted for an Exec line where it needs to be.
QByteArray desktopEntryExec(const QString& command);

} // namespace quippet::installation
