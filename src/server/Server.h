#pragma once

#include "core/Clock.h"
#include "server/Api.h"
#include "server/Database.h"
#include "server/Http.h"
#include "server/Metrics.h"
#include "server/Store.h"

#include <QHostAddress>
#include <QObject>

#include <memory>
#include <optional>

namespace quippet::server {

// One serving server: its database connection, rules, API and listening socket, on the calling thread.
class Server : public QObject {
    Q_OBJECT
public:
    struct Options {
        QHostAddress host = QHostAddress::LocalHost;
        quint16 port = 8080;
        QString databaseUrl;
        ServerConfig config; // publicUrl empty: made from the listening address
        HashCost cost = HashCost::Interactive;
        bool logRequests = false;       // one line per request on standard output (the journal, under systemd)
        QString tlsCertificate, tlsKey; // PEM files: serve https directly
    };

    Server(Clock& clock, QObject* parent = nullptr);
    ~Server() override;

    // Opens the database, migrates it and listens; nothing, or the reason in one plain sentence.
    std::optional<QString> start(Options options);
    quint16 port() const;
    QUrl url() const; // the public address
    Store& store() { return *m_store; }

private:
    void logRequest(const QByteArray& method, const QString& path, int status, double seconds, qint64 userId);

    Clock& m_clock;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<Store> m_store;
    Api* m_api = nullptr;
    HttpServer* m_http = nullptr;
    QUrl m_url;
    Metrics m_metrics;
    bool m_logRequests = false;
};

// "HOST:PORT", "[v6]:PORT" or ":PORT".
std::optional<std::pair<QHostAddress, quint16>> parseListen(const QString& text);

// The operator's commands: serve, user add/allow/revoke/tier/disable/enable, docs add/remove, usage, backup,
// restore. Answers the exit status.
int runCommand(const QStringList& arguments, Clock& clock);

} // namespace quippet::server
