#pragma once

#include "server/Http.h"
#include "server/Store.h"
#include "server/Web.h"

#include <QObject>
#include <QUrl>

class QNetworkAccessManager;

namespace quippet::server {

class Metrics;
class Pages;

struct ServerConfig {
    QUrl publicUrl; // what users' browsers reach; the sign-in links are made from it
    QByteArray elevenLabsKey;
    QByteArray geminiKey;
    QUrl elevenLabsUrl = QUrl(QStringLiteral("https://api.elevenlabs.io"));
    QUrl geminiUrl = QUrl(QStringLiteral("https://generativelanguage.googleapis.com"));
    int pollInterval = 3; // seconds between the program's token polls
};

// What the program and the browser ask of the server: the JSON API, the sign-in pages, and the two providers
// behind it (single-use speech tokens, the model's event stream relayed as it arrives).
class Api : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxJsonBody = 1 << 20;
    static constexpr qint64 kMaxModelBody = 8 << 20;

    Api(Store& store, ServerConfig config, Metrics* metrics = nullptr, QObject* parent = nullptr);
    ~Api() override;

    void handle(const HttpRequest& request, HttpExchange* exchange);
    static qint64 bodyLimit(const QByteArray& method, const QString& path);
    // The models the program's fallback chain asks for; the proxy serves these only.
    static QStringList models();

private:
    void handleApi(const HttpRequest& request, HttpExchange* exchange);
    void handlePage(const HttpRequest& request, HttpExchange* exchange);
    void signIn(const HttpRequest& request, HttpExchange* exchange);
    void signedIn(HttpExchange* exchange, const std::variant<qint64, QString>& checked, qint64 deviceId,
                  const QString& code, const QByteArray& csrf, const QString& email);
    void confirm(const HttpRequest& request, HttpExchange* exchange);
    void speechToken(HttpExchange* exchange);
    void relayModel(const HttpRequest& request, HttpExchange* exchange);

    void page(HttpExchange* exchange, int status, const QString& title, const QString& body,
              const QList<QByteArray>& cookies = {});
    QByteArray cookie(const QByteArray& name, const QByteArray& value, int maxAge) const;
    QString signInForm(const QString& userCode, const QByteArray& csrf, const QString& message,
                       const QString& email = {});

    Store& m_store;
    ServerConfig m_config;
    QString signInTitle() const;

    QNetworkAccessManager* m_network;
    web::Lang m_lang; // of the page being answered (one thread: set per request)
    Metrics* m_metrics;
    Pages* m_pages;
};

} // namespace quippet::server
