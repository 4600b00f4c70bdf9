#pragma once

#include "secrets/Keychain.h"

#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <variant>

class QNetworkAccessManager;

namespace quippet {

// What the speech-to-text service accepts: the user's own key, or a single-use token issued by our backend.
struct Credential {
    enum class Kind { ApiKey, Token };
    Kind kind = Kind::ApiKey;
    QString value;

    bool operator==(const Credential&) const = default;
};

// A credential, or the user-facing description of why there is none.
using CredentialResult = std::variant<Credential, QString>;

class CredentialProvider {
public:
    virtual ~CredentialProvider() = default;
    // Answers through `done`, on the calling thread (which must run an event loop). Nothing is delivered once the
    // provider is destroyed.
    virtual void credential(std::function<void(CredentialResult)> done) = 0;
};

// The user's own speech-to-text key from the secret store.
class KeychainCredentialProvider final : public CredentialProvider {
public:
    explicit KeychainCredentialProvider(Keychain& keychain) : m_keychain(keychain) {}
    void credential(std::function<void(CredentialResult)> done) override;

    static QString missingText();
    static QString looksLikeKeyIdText();

private:
    Keychain& m_keychain;
};

// A single-use token from the backend's "api/stt/token", one per connection attempt.
class BackendCredentialProvider final : public CredentialProvider {
public:
    BackendCredentialProvider(QUrl tokenEndpoint, QString sessionToken);
    ~BackendCredentialProvider() override;
    void credential(std::function<void(CredentialResult)> done) override;

    const QUrl& tokenEndpoint() const { return m_tokenEndpoint; }
    static QString refusedText();

private:
    QUrl m_tokenEndpoint;
    QString m_sessionToken;
    std::unique_ptr<QNetworkAccessManager> m_network;
};

// The provider for a transcription run: the backend when a session token is stored, otherwise the user's own key.
std::unique_ptr<CredentialProvider> chooseCredentialProvider(Keychain& keychain, const QUrl& backendBaseUrl);

// base + path components, e.g. appendPath("https://x/v1", "api/stt/token") -> "https://x/v1/api/stt/token".
QUrl appendPath(const QUrl& base, const QString& path);

} // namespace quippet
