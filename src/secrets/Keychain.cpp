#include "secrets/Keychain.h"

namespace quippet {

std::optional<QString> Keychain::readAllowingBlank(const QString& service, const QString& account) const {
    const auto raw = m_store.readRaw(service, account);
    if (!raw)
        return std::nullopt;
    return raw->trimmed();
}

std::optional<QString> Keychain::read(const QString& service, const QString& account) const {
    auto value = readAllowingBlank(service, account);
    if (value && value->isEmpty())
        return std::nullopt;
    return value;
}

bool Keychain::write(const QString& service, const QString& value, const QString& account) {
    return m_store.write(service, value, account);
}

void Keychain::remove(const QString& service, const QString& account) {
    m_store.remove(service, account);
}

} // namespace quippet
