#include "secrets/BackendUrl.h"

#include "core/Localization.h"
#include "core/SafeUrl.h"
#include "core/Settings.h"

namespace quippet {

QUrl defaultBackendBaseUrl() {
    return QUrl(QStringLiteral("https://api.quippet.app"));
}

std::optional<QUrl> configuredBackendUrl() {
    QString text;
    if (backendUrlFromEnvironment())
        text = qEnvironmentVariable("QUIPPET_BACKEND");
    else if (const auto stored = Settings::string(Settings::kBackendBaseUrl))
        text = *stored;
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.isEmpty() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

bool backendUrlFromEnvironment() {
    return qEnvironmentVariableIsSet("QUIPPET_BACKEND");
}

QUrl backendBaseUrl() {
    return configuredBackendUrl().value_or(defaultBackendBaseUrl());
}

std::variant<QUrl, QString> parseServerAddress(const QString& text) {
    QString typed = text.trimmed();
    if (typed.isEmpty())
        return i18n::text("server.error.empty");
    // "quippet.example.com" or "quippet.example.com:8443/team": a server name without a scheme means https.
    if (!typed.contains(QStringLiteral("://")))
        typed.prepend(QStringLiteral("https://"));
    const QUrl url(typed, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
        return i18n::format("server.error.invalid", text.trimmed());
    if (!isSafeToOpen(url) || url.hasQuery() || url.hasFragment())
        return i18n::format("server.error.insecure", text.trimmed());
    return url;
}

void storeBackendUrl(const QUrl& url) {
    Settings::setValue(Settings::kBackendBaseUrl, url.toString());
}

} // namespace quippet
