#include "peers/HttpPeer.h"

#include "support/Wait.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace quippet::test {

namespace {
// The status line and headers; the reason phrase is informational, so only the common ones are spelled out.
QByteArray head(int status, const QList<std::pair<QByteArray, QByteArray>>& headers) {
    static const QHash<int, QByteArray> reasons = {
        {200, "OK"},          {400, "Bad Request"},        {401, "Unauthorized"},      {402, "Payment Required"},
        {403, "Forbidden"},   {404, "Not Found"},          {429, "Too Many Requests"}, {500, "Internal Server Error"},
        {502, "Bad Gateway"}, {503, "Service Unavailable"}};
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasons.value(status, "Status") + "\r\n";
    for (const auto& [name, value] : headers)
        out += name + ": " + value + "\r\n";
    return out;
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
    m_socket->write(head(status, headers) + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
    m_socket->flush();
}

void HttpStream::write(const QByteArray& bytes) {
    writeHead(200, {});
    if (!isOpen() || bytes.isEmpty())
        return;
    m_socket->write(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
    m_socket->flush();
}

void HttpStream::end() {
    writeHead(200, {});
    if (!isOpen())
        return;
    m_socket->write("0\r\n\r\n");
    m_socket->flush();
    m_socket->disconnectFromHost();
}

void HttpStream::respond(int status, const QByteArray& type, const QByteArray& body) {
    writeHead(status, {{"Content-Type", type}});
    write(body);
    end();
}

void HttpStream::drop() {
    if (m_socket)
        m_socket->abort();
}

HttpPeer::HttpPeer(QObject* parent) : QObject(parent), m_server(new QTcpServer(this)) {
    m_fallback = [](const HttpRequest&) { return HttpResponse::json(404, R"({"error":"not found"})"); };
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_buffers.remove(socket);
                socket->deleteLater();
            });
        }
    });
}

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
    std::copy_if(m_requests.begin(), m_requests.end(), std::back_inserter(out),
                 [&](const HttpRequest& r) { return r.path() == path; });
    return out;
}

bool HttpPeer::waitForRequests(int count, int timeoutMs) {
    return waitUntil([&] { return m_requests.size() >= count; }, timeoutMs);
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
        if (r.stream)
            r.stream(request, new HttpStream(socket));
        else
            send(socket, r.handler(request));
        return;
    }
    send(socket, m_fallback(request));
}

void HttpPeer::send(QTcpSocket* socket, const HttpResponse& response) {
    if (response.hang)
        return;
    if (response.cut) {
        socket->abort();
        return;
    }
    socket->write(head(response.status, response.headers) +
                  "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n" + response.body);
    socket->flush();
}

} // namespace quippet::test
