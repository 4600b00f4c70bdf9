#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QUrlQuery>

#include <functional>

class QTcpServer;
class QTcpSocket;

namespace quippet::test {

// A request as the peer received it.
struct HttpRequest {
    QByteArray method;
    QByteArray target;                     // path and query, as sent
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;

    QString path() const { return QUrl(QString::fromUtf8(target)).path(); }
    QUrlQuery query() const { return QUrlQuery(QUrl(QString::fromUtf8(target))); }
    QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
};

// A scripted answer with a Content-Length body; or the connection cut right after the request (`cut`), or no
// answer at all (`hang`: the client's timeout must act).
struct HttpResponse {
    int status = 200;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    bool cut = false;
    bool hang = false;

    static HttpResponse text(int status, const QByteArray& body, const QByteArray& type = "text/plain") {
        HttpResponse r;
        r.status = status;
        r.headers = {{"Content-Type", type}};
        r.body = body;
        return r;
    }
    static HttpResponse json(int status, const QByteArray& body) { return text(status, body, "application/json"); }
    static HttpResponse drop() {
        HttpResponse r;
        r.cut = true;
        return r;
    }
};

// A response written piece by piece by a handler (server-sent events and the like).
class HttpStream : public QObject {
    Q_OBJECT
public:
    explicit HttpStream(QTcpSocket* socket);
    void writeHead(int status, const QList<std::pair<QByteArray, QByteArray>>& headers);
    void write(const QByteArray& bytes); // one chunk
    void end();
    void respond(int status, const QByteArray& type, const QByteArray& body); // head, one chunk, end
    void drop();                                                              // cut the connection mid-response
    bool isOpen() const;

private:
    QPointer<QTcpSocket> m_socket;
    bool m_headSent = false;
};

// A loopback HTTP/1.1 server for tests: routes by method and path, records every request, supports keep-alive,
// dropped connections and hand-written (chunked) streams.
class HttpPeer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    using StreamHandler = std::function<void(const HttpRequest&, HttpStream*)>;

    explicit HttpPeer(QObject* parent = nullptr);

    bool start(quint16 port = 0); // 127.0.0.1 only
    quint16 port() const;
    QUrl baseUrl() const; // http://127.0.0.1:port

    void route(const QByteArray& method, const QString& path, HttpResponse response);
    void route(const QByteArray& method, const QString& path, Handler handler);
    void routeStream(const QByteArray& method, const QString& path, StreamHandler handler);
    // Called for requests no route matches; default answers 404.
    void setFallback(Handler handler) { m_fallback = std::move(handler); }

    const QList<HttpRequest>& requests() const { return m_requests; }
    QList<HttpRequest> requestsTo(const QString& path) const;
    void clearRequests() { m_requests.clear(); }
    // Runs the event loop until `count` requests have arrived or timeoutMs passed.
    bool waitForRequests(int count, int timeoutMs = 5000);

private:
    struct Route {
        QByteArray method;
        QString path;
        Handler handler;
        StreamHandler stream;
    };
    void onReadyRead(QTcpSocket* socket);
    void dispatch(QTcpSocket* socket, const HttpRequest& request);
    void send(QTcpSocket* socket, const HttpResponse& response);

    QTcpServer* m_server;
    QList<Route> m_routes;
    Handler m_fallback;
    QList<HttpRequest> m_requests;
    QHash<QTcpSocket*, QByteArray> m_buffers;
};

} // namespace quippet::test
