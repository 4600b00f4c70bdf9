#include "peers/HttpPeer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace quippet::test {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
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
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 428:
        return "Precondition Required";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

namespace {
QByteArray chunk(const QByteArray& bytes) {
    return QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n";
}
} // namespace

HttpStream::HttpStream(QTcpSocket* socket) : QObject(socket), m_socket(socket) {}

bool HttpStream::isOpen() const {
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void HttpStream::writeHead(int status, const QList<std::pair<QByteArray, QByteArray>>& headers) {
    if (!isOpen() || m_headSent)
        return;
    m_headSent = true;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    for (const auto& [name, value] : headers)
        head += name + ": " + value + "\r\n";
    head += "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    m_socket->write(head);
    m_socket->flush();
}

void HttpStream::write(const QByteArray& bytes) {
    if (!m_headSent)
        writeHead(200, {});
    if (!isOpen() || bytes.isEmpty())
        return;
    m_socket->write(chunk(bytes));
    m_socket->flush();
}

void HttpStream::end() {
    if (!m_headSent)
        writeHead(200, {});
    if (!isOpen())
        return;
    m_socket->write("0\r\n\r\n");
    m_socket->flush();
    m_socket->disconnectFromHost();
}

void HttpStream::drop() {
    if (m_socket)
        m_socket->abort();
}

HttpPeer::HttpPeer(QObject* parent) : QObject(parent), m_server(new QTcpServer(this)) {
    m_fallback = [](const HttpRequest&) { return HttpResponse::json(404, R"({"error":"not found"})"); };
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            ++m_connections;
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_buffers.remove(socket);
                socket->deleteLater();
            });
        }
    });
}

HttpPeer::~HttpPeer() = default;

bool HttpPeer::start(quint16 port) {
    return m_server->listen(QHostAddress::LocalHost, port);
}

quint16 HttpPeer::port() const {
    return m_server->serverPort();
}

QUrl HttpPeer::baseUrl() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()));
}

void HttpPeer::route(const QByteArray& method, const QString& path, HttpResponse response) {
    route(method, path, [response](const HttpRequest&) { return response; });
}

void HttpPeer::route(const QByteArray& method, const QString& path, Handler handler) {
    m_routes.prepend(Route{method, path, std::move(handler), {}});
}

void HttpPeer::routeStream(const QByteArray& method, const QString& path, StreamHandler handler) {
    m_routes.prepend(Route{method, path, {}, std::move(handler)});
}

QList<HttpRequest> HttpPeer::requestsTo(const QString& path) const {
    QList<HttpRequest> out;
    for (const HttpRequest& r : m_requests) {
        if (r.path() == path)
            out.append(r);
    }
    return out;
}

bool HttpPeer::waitForRequests(int count, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (m_requests.size() < count && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    return m_requests.size() >= count;
}

void HttpPeer::onReadyRead(QTcpSocket* socket) {
    QByteArray& buffer = m_buffers[socket];
    buffer += socket->readAll();
    for (;;) {
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        HttpRequest request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.target = first.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        const qsizetype length = request.headers.value("content-length", "0").toLongLong();
        if (buffer.size() < headEnd + 4 + length)
            return;
        request.body = buffer.mid(headEnd + 4, length);
        buffer.remove(0, headEnd + 4 + length);
        m_requests.append(request);
        emit requestReceived(request);
        dispatch(socket, request);
        if (!m_buffers.contains(socket))
            return;
    }
}

void HttpPeer::dispatch(QTcpSocket* socket, const HttpRequest& request) {
    const QString path = request.path();
    for (const Route& r : std::as_const(m_routes)) {
        if (r.method != request.method || r.path != path)
            continue;
        if (r.stream) {
            r.stream(request, new HttpStream(socket));
            return;
        }
        send(socket, r.handler(request));
        return;
    }
    send(socket, m_fallback(request));
}

void HttpPeer::send(QTcpSocket* socket, const HttpResponse& response) {
    if (response.hang)
        return;
    QPointer<QTcpSocket> guard(socket);
    auto writeAll = [this, guard, response] {
        if (!guard)
            return;
        if (response.dropAfter == 0 && response.chunks.isEmpty()) {
            guard->abort();
            return;
        }
        QByteArray head =
            "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
        for (const auto& [name, value] : response.headers)
            head += name + ": " + value + "\r\n";
        if (response.chunks.isEmpty()) {
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n";
            guard->write(head + response.body);
            guard->flush();
            return;
        }
        head += "Transfer-Encoding: chunked\r\n\r\n";
        guard->write(head);
        guard->flush();
        // Chunks go out one per tick so the client really sees them arrive separately.
        auto index = std::make_shared<int>(0);
        auto* timer = new QTimer(guard);
        timer->setInterval(response.chunkDelayMs);
        connect(timer, &QTimer::timeout, guard, [guard, timer, index, response] {
            if (response.dropAfter >= 0 && *index >= response.dropAfter) {
                timer->stop();
                guard->abort();
                return;
            }
            if (*index >= response.chunks.size()) {
                timer->stop();
                timer->deleteLater();
                guard->write("0\r\n\r\n");
                guard->flush();
                return;
            }
            guard->write(chunk(response.chunks.at((*index)++)));
            guard->flush();
        });
        timer->start();
        Q_UNUSED(this);
    };
    if (response.delayMs > 0)
        QTimer::singleShot(response.delayMs, this, writeAll);
    else
        writeAll();
}

} // namespace quippet::test
