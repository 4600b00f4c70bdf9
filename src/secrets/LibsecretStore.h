#pragma once

#include "core/DiagnosticsLog.h"
#include "secrets/Keychain.h"

#include <chrono>

namespace quippet {

// Secrets in the desktop's Secret Service (GNOME Keyring, KWallet) through libsecret. Items carry the attributes
// "service" and "account" and are found whatever schema stored them, so `secret-tool store ... service X account
// chatrelo` works too. Calls run on a thread of their own while the caller's event loop keeps going. A missing or
// stuck Secret Service answers "no value" after `timeout`; a locked keyring that asks the user for its password is
// waited for up to `promptTimeout` (asked once per process for reads; every save may ask again).
class LibsecretStore final : public SecretStore {
public:
    explicit LibsecretStore(NoteFn note = {}, std::chrono::milliseconds timeout = std::chrono::seconds(2),
                            std::chrono::milliseconds promptTimeout = std::chrono::minutes(2));

    std::optional<QString> readRaw(const QString& service, const QString& account) override;
    bool write(const QString& service, const QString& value, const QString& account) override;
    void remove(const QString& service, const QString& account) override;

private:
    NoteFn m_note;
    std::chrono::milliseconds m_timeout;
    std::chrono::milliseconds m_promptTimeout;
    bool m_unlockRefused = false;
};

} // namespace quippet
