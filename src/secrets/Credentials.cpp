#include "secrets/Credentials.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace quippet {

QString KeychainCredentialProvider::missingText() {
    return QStringLiteral(
        "brak klucza — secret-tool store --label=ElevenLabs service elevenlabs-api-key account chatrelo");
}

QString KeychainCredentialProvider::looksLikeKeyIdText() {
    return QStringLiteral("to identyfikator klucza, nie klucz — potrzebna wartość zaczynająca się od sk_");
}

void KeychainCredentialProvider::credential(std::function<void(CredentialResult)> done) {
    const auto value = m_keychain.readAllowingBlank(QLatin1String(Keychain::kElevenLabsKey));
    if (!value)
        done(missingText());
    else if (!value->startsWith(QLatin1String("sk_")))
        done(looksLikeKeyIdText());
    else
        done(Credential{Credential::Kind::ApiKey, *value});
}

BackendCredentialProvider::BackendCredentialProvider(QUrl tokenEndpoint, QString sessionToken)
    : m_tokenEndpoint(std::move(tokenEndpoint)), m_sessionToken(std::move(sessionToken)) {}

BackendCredentialProvider::~BackendCredentialProvider() = default;

QString BackendCredentialProvider::refusedText() {
    return QStringLiteral("backend nie wydał tokenu do Scribe");
}

void BackendCredentialProvider::credential(std::function<void(CredentialResult)> done) {
    // Created on first use, so it belongs to the thread that asks (the transcription client's own thread).
    if (!m_network)
        m_network = std::make_unique<QNetworkAccessManager>();
    QNetworkRequest request(m_tokenEndpoint);
    request.setTransferTimeout(60'000);
    request.setRawHeader("Authorization", "Bearer " + m_sessionToken.toUtf8());
    QNetworkReply* reply = m_network->post(request, QByteArray());
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, done = std::move(done)] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError && status == 0) {
            done(reply->errorString());
            return;
        }
        if (status == 200) {
            const QJsonDocument doc = QJsonDocument::fromJson(reply->readAll());
            const QJsonValue token = doc.object().value(QLatin1String("token"));
            if (doc.isObject() && token.isString()) {
                done(Credential{Credential::Kind::Token, token.toString()});
                return;
            }
        }
        done(refusedText());
    });
}

QUrl appendPath(const QUrl& base, const QString& path) {
    QUrl url = base;
    QString basePath = url.path();
    if (!basePath.endsWith(QLatin1Char('/')))
        basePath += QLatin1Char('/');
    url.setPath(basePath + path);
    return url;
}

std::unique_ptr<CredentialProvider> chooseCredentialProvider(Keychain& keychain, const QUrl& backendBaseUrl) {
    if (const auto token = keychain.read(QLatin1String(Keychain::kBackendToken)))
        return std::make_unique<BackendCredentialProvider>(appendPath(backendBaseUrl, QStringLiteral("api/stt/token")),
                                                           *token);
    return std::make_unique<KeychainCredentialProvider>(keychain);
}

} // namespace quippet
