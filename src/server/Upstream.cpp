#include "server/Upstream.h"

namespace quippet::server {

UpstreamRequest::UpstreamRequest(QUrl url, QList<std::pair<QByteArray, QByteArray>> headers, QByteArray body,
                                 int idleTimeoutMs, QObject* parent)
    : QObject(parent), m_url(std::move(url)), m_headers(std::move(headers)), m_body(std::move(body)) {
    m_idle.setSingleShot(true);
    m_idle.setInterval(idleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this, [this] { end(false); });
    connect(&m_socket, &QSslSocket::readyRead, this, &UpstreamRequest::onReadable);
    connect(&m_socket, &QSslSocket::disconnected, this, [this] {
        onReadable();
        end(m_mode == Body::UntilClose || m_mode == Body::Done);
    });
    connect(&m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::RemoteHostClosedError)
            end(false);
    });
    connect(&m_socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError>&) { end(false); });
}

// The socket's last signals (it disconnects as it goes) must not reach a request half torn down.
UpstreamRequest::~UpstreamRequest() {
    m_socket.disconnect(this);
}

void UpstreamRequest::start() {
    const bool tls = m_url.scheme() == QLatin1String("https");
    QByteArray target = m_url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (m_url.hasQuery())
        target += '?' + m_url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = m_url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    QByteArray request = "POST " + target + " HTTP/1.1\r\nHost: " + host;
    if (m_url.port() > 0)
        request += ':' + QByteArray::number(m_url.port());
    request += "\r\n";
    for (const auto& [name, value] : m_headers)
        request += name + ": " + value + "\r\n";
    request += "Content-Length: " + QByteArray::number(m_body.size()) + "\r\nConnection: close\r\n\r\n" + m_body;
    m_body.clear();
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (tls) {
        connect(&m_socket, &QSslSocket::encrypted, this, [this, request] { m_socket.write(request); });
        m_socket.connectToHostEncrypted(m_url.host(), quint16(m_url.port(443)));
    } else {
        connect(&m_socket, &QSslSocket::connected, this, [this, request] { m_socket.write(request); });
        m_socket.connectToHost(m_url.host(), quint16(m_url.port(80)));
    }
    m_idle.start();
}

void UpstreamRequest::abort() {
    m_ended = true;
    m_idle.stop();
    m_socket.abort();
}

QByteArray UpstreamRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : m_answerHeaders)
        if (key == name)
            return value;
    return {};
}

void UpstreamRequest::end(bool complete) {
    if (m_ended)
        return;
    m_ended = true;
    m_idle.stop();
    m_socket.abort();
    emit finished(complete);
}

void UpstreamRequest::onReadable() {
    if (m_ended)
        return;
    m_idle.start();
    m_buffer += m_socket.readAll();
    if (m_mode == Body::Head) {
        if (!parseHead())
            return;
        emit headReceived();
        if (m_ended)
            return;
    }
    parseBody();
}

bool UpstreamRequest::parseHead() {
    const qsizetype end = m_buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_buffer.size() > kMaxHeadBytes)
            this->end(false);
        return false;
    }
    const QList<QByteArray> lines = m_buffer.left(end).split('\n');
    m_buffer.remove(0, end + 4);
    const QList<QByteArray> statusLine = lines.value(0).trimmed().split(' ');
    m_status = statusLine.value(1).toInt();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        if (colon > 0)
            m_answerHeaders.append({lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed()});
    }
    if (m_status < 100) {
        this->end(false);
        return false;
    }
    if (m_status == 100) { // an interim answer: the real head follows
        m_answerHeaders.clear();
        return parseHead();
    }
    if (header("transfer-encoding").toLower().contains("chunked")) {
        m_mode = Body::Chunked;
        m_left = -1;
    } else if (!header("content-length").isEmpty()) {
        m_mode = Body::Length;
        m_left = header("content-length").toLongLong();
    } else {
        m_mode = Body::UntilClose;
    }
    return true;
}

void UpstreamRequest::parseBody() {
    while (!m_ended) {
        if (m_mode == Body::UntilClose) {
            if (!m_buffer.isEmpty())
                emit data(std::exchange(m_buffer, {}));
            return;
        }
        if (m_mode == Body::Length) {
            const QByteArray piece = m_buffer.left(m_left);
            m_buffer.remove(0, piece.size());
            m_left -= piece.size();
            if (!piece.isEmpty())
                emit data(piece);
            if (m_left == 0) {
                m_mode = Body::Done;
                end(true);
            }
            return;
        }
        if (m_mode != Body::Chunked)
            return;
        if (m_left < 0) {
            const qsizetype lineEnd = m_buffer.indexOf("\r\n");
            if (lineEnd < 0)
                return;
            bool ok = false;
            m_left = m_buffer.left(lineEnd).split(';').first().trimmed().toLongLong(&ok, 16);
            m_buffer.remove(0, lineEnd + 2);
            if (!ok || m_left < 0) {
                end(false);
                return;
            }
            if (m_left == 0) {
                m_mode = Body::Done;
                end(true); // trailers, if any, are not needed
                return;
            }
        }
        // A chunk is handed on as far as it has arrived, not only when whole.
        const QByteArray piece = m_buffer.left(m_left);
        m_buffer.remove(0, piece.size());
        m_left -= piece.size();
        if (!piece.isEmpty())
            emit data(piece);
        if (m_left > 0)
            return;
        if (m_buffer.size() < 2)
            return; // wait for the chunk's closing line break
        m_buffer.remove(0, 2);
        m_left = -1;
    }
}

} // namespace quippet::server
