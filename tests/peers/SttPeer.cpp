#include "peers/SttPeer.h"

#include "support/Wait.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

namespace quippet::test {

namespace {

QString json(const QJsonObject& o) {
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

} // namespace

SttPeer::SttPeer(QObject* parent)
    : QObject(parent), m_server(new QWebSocketServer("stt-peer", QWebSocketServer::NonSecureMode, this)) {
    connect(m_server, &QWebSocketServer::newConnection, this, &SttPeer::onNewConnection);
}

SttPeer::~SttPeer() {
    for (Connection& c : m_connections) {
        if (c.socket)
            c.socket->abort();
    }
}

bool SttPeer::start(quint16 port) {
    return m_server->listen(QHostAddress::LocalHost, port);
}

QUrl SttPeer::baseUrl() const {
    return QUrl(QString("http://127.0.0.1:%1").arg(m_server->serverPort()));
}

int SttPeer::acceptedCount() const {
    return int(
        std::count_if(m_connections.begin(), m_connections.end(), [](const Connection& c) { return c.accepted; }));
}

int SttPeer::totalChunks() const {
    int n = 0;
    for (const Connection& c : m_connections)
        n += int(c.chunks.size());
    return n;
}

QString SttPeer::rejection(const Connection& c) {
    if (c.url.path() != "/v1/speech-to-text/realtime")
        return "unknown path";
    const QUrlQuery q = c.query();
    const QList<std::pair<QString, QString>> fixed = {
        {"model_id", "scribe_v2_realtime"},
        {"audio_format", "pcm_48000"},
        {"commit_strategy", "vad"},
        {"filter_background_audio", "true"},
    };
    for (const auto& [name, value] : fixed) {
        if (q.queryItemValue(name) != value)
            return QString("invalid %1").arg(name);
    }
    if (!c.apiKey.isEmpty()) {
        if (c.apiKey != m_apiKey || m_apiKey.isEmpty())
            return "invalid api key";
        return {};
    }
    if (!c.token.isEmpty() && !m_usedTokens.contains(c.token) &&
        (m_tokens.contains(c.token) || (!m_tokenPrefix.isEmpty() && c.token.startsWith(m_tokenPrefix)))) {
        m_usedTokens.insert(c.token);
        return {};
    }
    return "missing or used token";
}

void SttPeer::onNewConnection() {
    while (QWebSocket* socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        Connection c;
        c.url = socket->requestUrl();
        c.apiKey = QString::fromUtf8(socket->request().rawHeader("xi-api-key"));
        c.token = c.query().queryItemValue("token", QUrl::FullyDecoded);
        c.socket = socket;
        const int index = int(m_connections.size());
        const QString refused = rejection(c);
        c.accepted = refused.isEmpty();
        m_connections.append(c);
        m_firedSteps.append(0);

        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, index](const QString& text) { onMessage(index, text); });
        connect(socket, &QWebSocket::disconnected, this, [this, index, socket] {
            Connection& conn = m_connections[index];
            conn.open = false;
            conn.closeCode = socket->closeCode();
            socket->deleteLater();
        });
        if (!refused.isEmpty()) {
            socket->sendTextMessage(json({{"message_type", "auth_error"}, {"error", refused}}));
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, refused);
        } else {
            socket->sendTextMessage(
                json({{"message_type", "session_started"}, {"session_id", QString("peer-%1").arg(index)}}));
            if (m_closeAtOnce)
                socket->close(QWebSocketProtocol::CloseCodeBadOperation);
        }
    }
}

void SttPeer::onMessage(int index, const QString& text) {
    Connection& c = m_connections[index];
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    c.messages.append(message);
    if (message.value("message_type").toString() != "input_audio_chunk")
        return;
    const QByteArray audio = QByteArray::fromBase64(message.value("audio_base_64").toString().toLatin1());
    c.chunks.append(audio);
    c.audio.append(audio);
    if (m_listener)
        m_listener(index, audio);
    while (m_firedSteps[index] < m_script.size() && c.audio.size() >= m_script[m_firedSteps[index]].atBytes) {
        const Step& step = m_script[m_firedSteps[index]++];
        if (c.socket)
            c.socket->sendTextMessage(json({{"message_type", step.type}, {"text", step.text}}));
    }
    emit chunkReceived();
}

void SttPeer::sendTo(int connection, const QJsonObject& message) {
    if (QWebSocket* socket = m_connections.value(connection).socket)
        socket->sendTextMessage(json(message));
}

SttPeer::Connection* SttPeer::newestOpen() {
    for (auto it = m_connections.rbegin(); it != m_connections.rend(); ++it) {
        if (it->open && it->socket)
            return &*it;
    }
    return nullptr;
}

void SttPeer::sendRaw(const QString& text) {
    if (Connection* c = newestOpen())
        c->socket->sendTextMessage(text);
}

void SttPeer::sendBinary(const QByteArray& bytes) {
    if (Connection* c = newestOpen())
        c->socket->sendBinaryMessage(bytes);
}

void SttPeer::drop() {
    if (Connection* c = newestOpen()) {
        c->open = false;
        c->socket->abort();
    }
}

bool SttPeer::mute() {
    // The WebSocket's TCP socket stays with the server that accepted it, on the same ports. Once cut off from the
    // WebSocket layer, with room for one byte, it reads nothing more.
    Connection* c = newestOpen();
    for (QTcpSocket* tcp : findChildren<QTcpSocket*>()) {
        if (c && tcp->peerPort() == c->socket->peerPort() && tcp->localPort() == c->socket->localPort()) {
            QObject::disconnect(tcp, &QTcpSocket::readyRead, nullptr, nullptr);
            tcp->setReadBufferSize(1);
            return true;
        }
    }
    return false;
}

void SttPeer::close(int code) {
    if (Connection* c = newestOpen())
        c->socket->close(QWebSocketProtocol::CloseCode(code));
}

bool SttPeer::waitForConnections(int count, int timeoutMs) {
    return waitUntil([&] { return m_connections.size() >= count; }, timeoutMs);
}

bool SttPeer::waitForChunks(int count, int timeoutMs) {
    return waitUntil([&] { return totalChunks() >= count; }, timeoutMs);
}

bool SttPeer::waitForClosed(int timeoutMs) {
    return waitUntil([&] { return !m_connections.isEmpty() && !m_connections.last().open; }, timeoutMs);
}

} // namespace quippet::test
