#include "server/Http.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace quippet::server {

namespace {

constexpr qsizetype kMaxHeadBytes = 16 * 1024;
constexpr int kMaxHeaders = 64;
constexpr int kIdleMs = 60'000;
constexpr int kMaxConnections = 8192;
constexpr qsizetype kMaxPipelinedBytes = 1 << 20;

} // namespace

QByteArray HttpRequest::cookie(const QByteArray& name) const {
    for (const QByteArray& item : header("cookie").split(';')) {
        const QByteArray trimmed = item.trimmed();
        const qsizetype eq = trimmed.indexOf('=');
        if (eq > 0 && trimmed.left(eq) == name)
            return trimmed.mid(eq + 1);
    }
    return {};
}

// --- one answer ---

HttpExchange::HttpExchange(QTcpSocket* socket, bool keepAlive, QObject* parent)
    : QObject(parent), m_socket(socket), m_keepAlive(keepAlive) {}

bool HttpExchange::isOpen() const {
    return !m_done && m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

QByteArray HttpExchange::head(int status, const HeaderList& headers, qint64 contentLength) {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + HttpServer::reason(status) + "\r\n";
    for (const auto& [name, value] : headers)
        out += name + ": " + value + "\r\n";
    if (contentLength >= 0)
        out += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    else
        out += "Transfer-Encoding: chunked\r\n";
    out += m_keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    return out;
}

void HttpExchange::send(int status, const HeaderList& headers, const QByteArray& body) {
    if (m_done || m_streaming)
        return;
    m_done = true;
    m_status = status;
    if (m_socket) {
        m_socket->write(head(status, headers, body.size()) + body);
        m_socket->flush();
    }
    emit finished(m_keepAlive);
}

void HttpExchange::beginStream(int status, const HeaderList& headers) {
    if (m_done || m_streaming)
        return;
    m_streaming = true;
    m_status = status;
    if (m_socket) {
        m_socket->write(head(status, headers, -1));
        m_socket->flush();
    }
}

void HttpExchange::write(const QByteArray& bytes) {
    if (!m_streaming || m_done || bytes.isEmpty() || !m_socket)
        return;
    m_socket->write(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
    m_socket->flush();
}

void HttpExchange::end() {
    if (!m_streaming || m_done)
        return;
    m_done = true;
    if (m_socket) {
        m_socket->write("0\r\n\r\n");
        m_socket->flush();
    }
    emit finished(m_keepAlive);
}

void HttpExchange::connectionLost() {
    if (m_done)
        return;
    m_done = true;
    emit gone();
}

// --- the server ---

struct HttpServer::Connection {
    QTcpSocket* socket = nullptr;
    QTimer* idle = nullptr;
    QByteArray buffer;
    QPointer<HttpExchange> exchange; // the answer under way; reading waits for it
    bool closing = false;
    bool continued = false; // "100 Continue" already answered for the request being read
};

HttpServer::HttpServer(Handler handler, BodyLimit bodyLimit, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)), m_bodyLimit(std::move(bodyLimit)),
      m_server(new QTcpServer(this)) {
    m_server->setMaxPendingConnections(1024);
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::accept);
}

HttpServer::~HttpServer() {
    for (Connection* connection : std::as_const(m_connections))
        delete connection;
}

std::optional<QString> HttpServer::useTls(const QString& certificateFile, const QString& keyFile) {
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certificateFile, QSsl::Pem);
    if (chain.isEmpty())
        return QStringLiteral("no PEM certificate in %1").arg(certificateFile);
    QFile keyIn(keyFile);
    if (!keyIn.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the key file %1").arg(keyFile);
    QSslKey key(&keyIn, QSsl::Rsa, QSsl::Pem);
    if (key.isNull()) {
        keyIn.seek(0);
        key = QSslKey(&keyIn, QSsl::Ec, QSsl::Pem);
    }
    if (key.isNull())
        return QStringLiteral("no unencrypted PEM key (RSA or EC) in %1").arg(keyFile);
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(chain.first());
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // browsers and programs are not asked for certificates
    auto* server = new QSslServer(this);
    server->setSslConfiguration(config);
    server->setHandshakeTimeout(10'000);
    // Connections are handed over once their handshake is done.
    delete m_server;
    m_server = server;
    m_server->setMaxPendingConnections(1024);
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, &HttpServer::accept);
    return std::nullopt;
}

bool HttpServer::listen(const QHostAddress& address, quint16 port) {
    // Many programs connecting at once (a team starting its day) should queue, not be turned away.
    m_server->setListenBacklogSize(1024);
    return m_server->listen(address, port);
}

QString HttpServer::errorString() const {
    return m_server->errorString();
}

quint16 HttpServer::port() const {
    return m_server->serverPort();
}

QHostAddress HttpServer::address() const {
    return m_server->serverAddress();
}

QByteArray HttpServer::reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 402:
        return "Payment Required";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}

void HttpServer::accept() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        if (m_connections.size() >= kMaxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto* connection = new Connection;
        connection->socket = socket;
        connection->idle = new QTimer(socket);
        connection->idle->setSingleShot(true);
        connection->idle->start(kIdleMs);
        m_connections.insert(socket, connection);
        connect(connection->idle, &QTimer::timeout, socket, [socket] { socket->abort(); });
        connect(socket, &QTcpSocket::readyRead, this, [this, connection] { readFrom(connection); });
        connect(socket, &QTcpSocket::disconnected, this, [this, connection] { drop(connection); });
        connect(socket, &QTcpSocket::errorOccurred, this,
                [this, connection](QAbstractSocket::SocketError) { drop(connection); });
    }
}

void HttpServer::drop(Connection* connection) {
    if (!m_connections.contains(connection->socket))
        return;
    m_connections.remove(connection->socket);
    if (connection->exchange)
        connection->exchange->connectionLost();
    connection->socket->disconnect(this);
    connection->socket->deleteLater();
    delete connection;
}

void HttpServer::fail(Connection* connection, int status, const QByteArray& message) {
    connection->closing = true;
    const QByteArray body = R"({"error":")" + message + R"("})";
    connection->socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) +
                              "\r\nContent-Type: application/json\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    connection->socket->disconnectFromHost();
}

void HttpServer::readFrom(Connection* connection) {
    QTcpSocket* socket = connection->socket;
    if (connection->closing) {
        socket->readAll();
        return;
    }
    connection->buffer += socket->readAll();
    if (connection->exchange) {
        // Requests sent ahead wait for the answer under way, but not without bound.
        if (connection->buffer.size() > kMaxPipelinedBytes)
            socket->abort();
        return;
    }
    connection->idle->start(kIdleMs);
    while (!connection->exchange && !connection->closing) {
        const qsizetype headEnd = connection->buffer.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (connection->buffer.size() > kMaxHeadBytes)
                fail(connection, 431, "headers_too_large");
            return;
        }
        if (headEnd > kMaxHeadBytes) {
            fail(connection, 431, "headers_too_large");
            return;
        }
        const QList<QByteArray> lines = connection->buffer.left(headEnd).split('\n');
        const QList<QByteArray> start = lines.value(0).trimmed().split(' ');
        if (start.size() != 3 || !start.at(2).startsWith("HTTP/1.") || !start.at(1).startsWith('/')) {
            fail(connection, 400, "bad_request");
            return;
        }
        HttpRequest request;
        request.method = start.at(0);
        request.peer = socket->peerAddress();
        if (lines.size() - 1 > kMaxHeaders) {
            fail(connection, 431, "headers_too_large");
            return;
        }
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray& line = lines.at(i);
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0) {
                fail(connection, 400, "bad_request");
                return;
            }
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (request.headers.contains(name) && name != "cookie") {
                // A repeated Content-Length or Host is how requests get smuggled; refuse it outright.
                if (name == "content-length" || name == "host" || name == "transfer-encoding") {
                    fail(connection, 400, "bad_request");
                    return;
                }
                request.headers[name] += ", " + value;
            } else if (name == "cookie" && request.headers.contains(name)) {
                request.headers[name] += "; " + value;
            } else {
                request.headers.insert(name, value);
            }
        }
        if (request.headers.contains("transfer-encoding")) {
            fail(connection, 411, "length_required");
            return;
        }
        const QUrl target(QStringLiteral("http://h") + QString::fromLatin1(start.at(1)), QUrl::StrictMode);
        if (!target.isValid()) {
            fail(connection, 400, "bad_request");
            return;
        }
        request.path = target.path(QUrl::FullyDecoded);
        request.query = QUrlQuery(target);
        qint64 length = 0;
        if (request.headers.contains("content-length")) {
            bool ok = false;
            length = request.headers.value("content-length").toLongLong(&ok);
            if (!ok || length < 0) {
                fail(connection, 400, "bad_request");
                return;
            }
        }
        if (length > m_bodyLimit(request.method, request.path)) {
            fail(connection, 413, "body_too_large");
            return;
        }
        if (connection->buffer.size() < headEnd + 4 + length) {
            if (!connection->continued && request.header("expect").toLower() == "100-continue") {
                connection->continued = true;
                socket->write("HTTP/1.1 100 Continue\r\n\r\n");
                socket->flush();
            }
            return; // wait for the rest of the body
        }
        connection->continued = false;
        request.body = connection->buffer.mid(headEnd + 4, length);
        connection->buffer.remove(0, headEnd + 4 + length);

        const QByteArray connectionHeader = request.header("connection").toLower();
        const bool keepAlive =
            start.at(2) == "HTTP/1.1" ? !connectionHeader.contains("close") : connectionHeader.contains("keep-alive");
        auto* exchange = new HttpExchange(socket, keepAlive, this);
        connection->exchange = exchange;
        connection->idle->stop();
        connect(exchange, &HttpExchange::finished, this, [this, connection, exchange](bool keep) {
            exchange->deleteLater();
            if (!m_connections.contains(connection->socket))
                return;
            connection->exchange = nullptr;
            if (!keep) {
                connection->closing = true;
                connection->socket->disconnectFromHost();
                return;
            }
            connection->idle->start(kIdleMs);
            // A request that was already waiting in the buffer is read now.
            if (!connection->buffer.isEmpty())
                QTimer::singleShot(0, connection->socket, [this, connection] {
                    if (m_connections.contains(connection->socket))
                        readFrom(connection);
                });
        });
        connect(exchange, &HttpExchange::gone, exchange, &QObject::deleteLater);
        m_handler(request, exchange);
        // The answer may have been given and the connection closed within the handler.
        if (!m_connections.contains(socket))
            return;
    }
}

} // namespace quippet::server
