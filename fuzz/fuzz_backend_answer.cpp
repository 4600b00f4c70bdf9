// The backend's answers, read field by field as sign-in, account and session exchanges read them.
#include "backend/Backend.h"

#include <QUrl>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using quippet::Backend;
    const auto body = Backend::answerBody(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (!body)
        return 0;
    for (const char* key : {"device_code", "access_token", "error", "email", "tier"})
        Backend::textField(*body, key);
    for (const char* key : {"interval", "expires_in", "secondsRemaining", "maxSeconds"})
        Backend::intField(*body, key);
    if (const auto uri = Backend::textField(*body, "verification_uri_complete"))
        QUrl(*uri, QUrl::StrictMode).isValid();
    Backend::textField(body->value(QLatin1String("session")).toObject(), "id");
    return 0;
}
