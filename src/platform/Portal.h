#pragma once

#include <QDBusConnection>
#include <QString>

namespace quippet::portal {

// The XDG desktop portal as its clients see it.
inline const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
inline const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
// How long a probe of the portal may take before it counts as absent.
inline constexpr int kProbeTimeoutMs = 1000;

// Whether the portal on `bus` offers `interface` (its "version" property answers).
bool offers(const QDBusConnection& bus, const QString& interface);

// The object path of the request a call made with `token` will answer on: it follows from our bus name, so the
// answer can be listened for before the call is made (it may come before the call's own reply).
QString requestPath(const QDBusConnection& bus, const QString& token);

// A handle token no other request of this process has used, whichever portal client asks: request paths are made
// of our bus name and the token, so a client listening on its own path never hears another client's answer.
QString nextToken();

} // namespace quippet::portal
