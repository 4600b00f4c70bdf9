#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrlQuery>

#include <functional>
#include <optional>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace quippet::server {

// One request as read off the wire. Header names are kept in lower case.
struct HttpRequest {
    QByteArray method;
    QString path; // percent-decoded
    QUrlQuery query;
    QHash<QByteArray, QByteArray> headers;
    QByteArray body;
    QHostAddress peer;

    QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
    // The value of one cookie, empty when the request carries none of that name.
    QByteArray cookie(const QByteArray& name) const;
};

using HeaderList = QList<std::pair<QByteArray, QByteArray>>;

// The answer to one request: either whole (send) or streamed in chunks (begin, write…, end). Lives until the answer
// is complete or the connection goes; `gone` tells a streaming handler to stop its upstream work.
class HttpExchange : public QObject {
    Q_OBJECT
public:
    HttpExchange(QTcpSocket* socket, bool keepAlive, QObject* parent);

    void send(int status, const HeaderList& headers, const QByteArray& body);
    void beginStream(int status, const HeaderList& headers);
    void write(const QByteArray& bytes); // one chunk, handed to the socket at once
    void end();
    bool isOpen() const;
    bool isStreaming() const { return m_streaming; }
    int status() const { return m_status; } // 0 until an answer began

    qint64 userId = 0; // who asked, once the handler knows; for the request log

signals:
    void finished(bool keepAlive); // the answer is complete
    void gone();                   // the connection closed before the answer was complete

private:
    friend class HttpServer;
    void connectionLost();
    QByteArray head(int status, const HeaderList& headers, qint64 contentLength);

    QPointer<QTcpSocket> m_socket;
    bool m_keepAlive;
    bool m_streaming = false;
    bool m_done = false;
    int m_status = 0;
};

// A small HTTP/1.1 server on QTcpServer, one thread, event driven: keep-alive, one request at a time per
// connection, bodies only with Content-Length and only up to the size the router allows for the path, chunked
// responses written to the socket as they are produced.
class HttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const HttpRequest&, HttpExchange*)>;
    using BodyLimit = std::function<qint64(const QByteArray& method, const QString& path)>;

    HttpServer(Handler handler, BodyLimit bodyLimit, QObject* parent = nullptr);
    ~HttpServer() override;

    // Serves https with this certificate chain and key (PEM files); call before listen. Nothing, or why not.
    std::optional<QString> useTls(const QString& certificateFile, const QString& keyFile);
    bool listen(const QHostAddress& address, quint16 port);
    QString errorString() const;
    quint16 port() const;
    QHostAddress address() const;

    static QByteArray reason(int status);

private:
    struct Connection;
    void accept();
    void readFrom(Connection* connection);
    void fail(Connection* connection, int status, const QByteArray& message);
    void drop(Connection* connection);

    Handler m_handler;
    BodyLimit m_bodyLimit;
    QTcpServer* m_server;
    QHash<QTcpSocket*, Connection*> m_connections;
};

} // namespace quippet::server
