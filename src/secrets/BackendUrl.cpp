#include "secrets/BackendUrl.h"

#include "core/Settings.h"

namespace quippet {

QUrl defaultBackendBaseUrl() {
    return QUrl(QStringLiteral("https://api.quippet.app"));
}

QUrl backendBaseUrl() {
    QString text;
    if (qEnvironmentVariableIsSet("QUIPPET_BACKEND"))
        text = qEnvironmentVariable("QUIPPET_BACKEND");
    else if (const auto stored = Settings::string(Settings::kBackendBaseUrl))
        text = *stored;
    else
        return defaultBackendBaseUrl();
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isEmpty())
        return defaultBackendBaseUrl();
    return url;
}

} // namespace quippet
