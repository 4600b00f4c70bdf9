#pragma once

#include "peers/HttpPeer.h"
#include "peers/LlmPeer.h"

#include <QJsonObject>
#include <QMap>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <optional>

namespace quippet::test {

// A stand-in for the service backend on 127.0.0.1: device sign-in (pending until the test confirms it), the
// account, metered sessions with an allowance (402 when used up; one session on the "free" tier),
// context documents, transcription tokens and the language-model proxy (relayed to an LlmPeer). Bearer tokens
// are checked; a wrong one answers 401 {"error":"unauthorized"}. Everything it receives is recorded by its
// HttpPeer.
class BackendPeer : public QObject {
    Q_OBJECT
public:
    struct Account {
        QString email = QStringLiteral("ania@example.com");
        QString tier = QStringLiteral("pro");
        int secondsRemaining = 3600;
        int maxSeconds = 1800;
    };
    struct Document {
        QByteArray bytes;
        QString updatedAt;
        QString mime = QStringLiteral("text/markdown");
        int status = 200; // answer to the download
    };
    struct Session {
        QString id;
        QString company;
        QString topic;
        int secondsUsed = 0;
        bool ended = false;
    };

    explicit BackendPeer(QObject* parent = nullptr);

    bool start(quint16 port = 0);
    QUrl baseUrl() const { return m_http.baseUrl(); }
    HttpPeer& http() { return m_http; }

    // Sign-in. Device codes are "dev-1", "dev-2"…; tokens "token-1"….
    void confirm(const QString& deviceCode = {}); // the user confirms in the browser (the latest code by default)
    // Answer every token request with {"error": code} instead of the normal flow; nothing for the normal flow.
    void setTokenRefusal(const std::optional<QString>& code) { m_tokenRefusal = code; }
    void setStartInterval(std::optional<int> interval, std::optional<int> expiresIn) {
        m_interval = interval;
        m_expiresIn = expiresIn;
    }
    void addToken(const QString& token) { m_tokens.insert(token); }

    Account& account() { return m_account; }
    const QList<Session>& sessions() const { return m_sessions; }

    void putDocument(const QString& name, const QByteArray& bytes, const QString& updatedAt,
                     const QString& mime = QStringLiteral("text/markdown"));
    void removeDocument(const QString& name) { m_documents.remove(name); }
    void setDocumentStatus(const QString& name, int status) { m_documents[name].status = status; }

    void setLlm(LlmPeer* llm) { m_llm = llm; }

private:
    bool authorised(const HttpRequest& request) const;
    static HttpResponse unauthorised();
    HttpResponse deviceToken(const HttpRequest& request);
    HttpResponse sessionStart(const HttpRequest& request);
    HttpResponse heartbeat(const HttpRequest& request);
    HttpResponse sessionEnd(const HttpRequest& request);
    HttpResponse contextListing() const;
    Session* session(const QString& id);

    HttpPeer m_http;
    struct Device {
        bool confirmed = false;
        bool spent = false;
    };
    QMap<QString, Device> m_devices;
    QString m_lastDeviceCode;
    std::optional<QString> m_tokenRefusal;
    std::optional<int> m_interval = 3;
    std::optional<int> m_expiresIn = 600;
    int m_tokensIssued = 0;
    QSet<QString> m_tokens;
    Account m_account;
    QList<Session> m_sessions;
    QMap<QString, Document> m_documents;
    int m_sttTokens = 0;
    QPointer<LlmPeer> m_llm;
};

} // namespace quippet::test
