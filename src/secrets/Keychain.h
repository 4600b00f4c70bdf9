#pragma once

#include <QString>

#include <optional>

namespace quippet {

// Where secrets physically live. Implementations answer the raw stored text (or nothing) and keep one item per
// (service, account).
class SecretStore {
public:
    virtual ~SecretStore() = default;
    virtual std::optional<QString> readRaw(const QString& service, const QString& account) = 0;
    // Replaces the item's value; true when the new value is stored.
    virtual bool write(const QString& service, const QString& value, const QString& account) = 0;
    virtual void remove(const QString& service, const QString& account) = 0;
};

// The program's secrets: the backend session token and the user's own provider keys, all under one account.
class Keychain {
public:
    static constexpr const char* kAccount = "chatrelo";
    static constexpr const char* kBackendToken = "backend-token";
    static constexpr const char* kElevenLabsKey = "elevenlabs-api-key";
    static constexpr const char* kGeminiKey = "gemini-api-key";

    explicit Keychain(SecretStore& store) : m_store(store) {}

    // The value trimmed of white space and line breaks; nothing when missing, unreadable or blank.
    std::optional<QString> read(const QString& service, const QString& account = QLatin1String(kAccount)) const;
    // Like read, but a blank value is answered as the empty text.
    std::optional<QString> readAllowingBlank(const QString& service,
                                             const QString& account = QLatin1String(kAccount)) const;
    bool write(const QString& service, const QString& value, const QString& account = QLatin1String(kAccount));
    void remove(const QString& service, const QString& account = QLatin1String(kAccount));

    bool hasBackendToken() const { return read(QLatin1String(kBackendToken)).has_value(); }

    SecretStore& store() { return m_store; }

private:
    SecretStore& m_store;
};

} // namespace quippet
