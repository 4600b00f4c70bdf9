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
    : QObject(parent),
      m_server(new QWebSocketServer(QStringLiteral("stt-peer"), QWebSocketServer::NonSecureMode, this)) {
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
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server->serverPort()));
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
    if (c.url.path() != QLatin1String("/v1/speech-to-text/realtime"))
        return QStringLiteral("unknown path");
    const QUrlQuery q = c.query();
    const QList<std::pair<QString, QString>> fixed = {
        {QStringLiteral("model_id"), QStringLiteral("scribe_v2_realtime")},
        {QStringLiteral("audio_format"), QStringLiteral("pcm_48000")},
        {QStringLiteral("commit_strategy"), QStringLiteral("vad")},
        {QStringLiteral("filter_background_audio"), QStringLiteral("true")},
    };
    for (const auto& [name, value] : fixed) {
        if (q.queryItemValue(name) != value)
            return QStringLiteral("invalid %1").arg(name);
    }
    if (!c.apiKey.isEmpty()) {
        if (c.apiKey != m_apiKey || m_apiKey.isEmpty())
            return QStringLiteral("invalid api key");
        return {};
    }
    if (!c.token.isEmpty() && !m_usedTokens.contains(c.token) &&
        (m_tokens.contains(c.token) || (!m_tokenPrefix.isEmpty() && c.token.startsWith(m_tokenPrefix)))) {
        m_usedTokens.insert(c.token);
        return {};
    }
    return QStringLiteral("missing or used token");
}

void SttPeer::onNewConnection() {
    while (QWebSocket* socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        Connection c;
        c.url = socket->requestUrl();
        c.apiKey = QString::fromUtf8(socket->request().rawHeader("xi-api-key"));
        c.token = c.query().queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
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
            socket->sendTextMessage(json(
                {{QStringLiteral("message_type"), QStringLiteral("auth_error")}, {QStringLiteral("error"), refused}}));
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, refused);
        } else {
            socket->sendTextMessage(json({{QStringLiteral("message_type"), QStringLiteral("session_started")},
                                          {QStringLiteral("session_id"), QStringLiteral("peer-%1").arg(index)}}));
            if (m_closeAtOnce)
                socket->close(QWebSocketProtocol::CloseCodeBadOperation);
        }
    }
}

void SttPeer::onMessage(int index, const QString& text) {
    Connection& c = m_connections[index];
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    c.messages.append(message);
    if (message.value(QLatin1String("message_type")).toString() != QLatin1String("input_audio_chunk"))
        return;
    const QByteArray audio =
        QByteArray::fromBase64(message.value(QLatin1String("audio_base_64")).toString().toLatin1());
    c.chunks.append(audio);
    c.audio.append(audio);
    if (m_hearing.spokenNow)
        hear(index, audio);
    else if (!m_voiceReplies.isEmpty())
        hearVoice(index, audio);
    while (m_firedSteps[index] < m_script.size() && c.audio.size() >= m_script[m_firedSteps[index]].atBytes) {
        const Step& step = m_script[m_firedSteps[index]++];
        if (c.socket)
            c.socket->sendTextMessage(
                json({{QStringLiteral("message_type"), step.type}, {QStringLiteral("text"), step.text}}));
    }
    emit chunkReceived();
}

void SttPeer::hearVoice(int index, const QByteArray& audio) {
    constexpr qsizetype kSecond = 96000; // 48 kHz mono 16-bit
    const auto* samples = reinterpret_cast<const qint16*>(audio.constData());
    const qsizetype n = audio.size() / 2;
    double sum = 0;
    for (qsizetype i = 0; i < n; ++i)
        sum += double(samples[i]) * samples[i];
    const bool loud = n > 0 && sum / double(n) > 327.68 * 327.68; // -40 dBFS
    Voice& v = m_voices[index];
    QWebSocket* socket = m_connections[index].socket;
    if (loud) {
        if (v.speech / kSecond != (v.speech + audio.size()) / kSecond && socket)
            socket->sendTextMessage(json({{QStringLiteral("message_type"), QStringLiteral("partial_transcript")},
                                          {QStringLiteral("text"), QStringLiteral("…")}}));
        v.speech += audio.size();
        v.quiet = 0;
        return;
    }
    if (v.speech == 0)
        return;
    v.quiet += audio.size();
    if (v.quiet < kSecond * 6 / 10)
        return;
    if (socket)
        socket->sendTextMessage(
            json({{QStringLiteral("message_type"), QStringLiteral("committed_transcript")},
                  {QStringLiteral("text"), m_voiceReplies.at(v.replies % m_voiceReplies.size())
                                               .arg(QString::number(index + 1), QString::number(v.replies + 1))}}));
    ++v.replies;
    v = Voice{0, 0, v.replies};
}

namespace {
bool loud(const QByteArray& audio) {
    const auto* samples = reinterpret_cast<const qint16*>(audio.constData());
    const qsizetype n = audio.size() / 2;
    double sum = 0;
    for (qsizetype i = 0; i < n; ++i)
        sum += double(samples[i]) * samples[i];
    return n > 0 && sum / double(n) > 327.68 * 327.68; // -40 dBFS
}
constexpr qsizetype kBytesPerMs = 96; // 48 kHz mono 16-bit
} // namespace

QString SttPeer::heardText(const Heard& h, bool all) const {
    QStringList words;
    for (qsizetype i = 0; i < h.texts.size(); ++i) {
        QStringList w = h.texts.at(i).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!all && i == h.texts.size() - 1)
            w = w.mid(0, std::max<qsizetype>(1, h.speech / kBytesPerMs / 300));
        words += w;
    }
    return words.join(QLatin1Char(' '));
}

void SttPeer::hear(int index, const QByteArray& audio) {
    Heard& h = m_heard[index];
    QWebSocket* socket = m_connections[index].socket;
    const auto say = [socket](const char* type, const QString& text) {
        if (socket && !text.isEmpty())
            socket->sendTextMessage(
                json({{QStringLiteral("message_type"), QLatin1String(type)}, {QStringLiteral("text"), text}}));
    };
    if (loud(audio)) {
        if (h.texts.isEmpty() || h.quiet >= m_hearing.gapMs * kBytesPerMs) {
            // A stretch of an id already committed (its tail after a short commit silence) is not heard again.
            const QString now = m_hearing.spokenNow();
            const QString id = now.section(QLatin1Char('\t'), 0, 0);
            if (id != h.lastId) {
                h.lastId = id;
                h.ids.append(id);
                h.texts.append(now.section(QLatin1Char('\t'), 1));
                h.speech = 0;
            }
        }
        h.speech += audio.size();
        h.sincePartial += audio.size();
        h.quiet = 0;
        h.revealed = false;
        if (h.sincePartial >= m_hearing.partialMs * kBytesPerMs) {
            h.sincePartial = 0;
            say("partial_transcript", heardText(h, false));
        }
        return;
    }
    if (h.texts.isEmpty())
        return;
    h.quiet += audio.size();
    if (!h.revealed && h.quiet >= m_hearing.gapMs * kBytesPerMs) {
        h.revealed = true;
        say("partial_transcript", heardText(h, true));
    }
    const QString asked = m_connections[index].query().queryItemValue(QStringLiteral("vad_silence_threshold_secs"));
    const int silenceMs = asked.isEmpty() ? m_hearing.commitSilenceMs : int(asked.toDouble() * 1000);
    if (h.quiet < silenceMs * kBytesPerMs)
        return;
    say("committed_transcript", heardText(h, true));
    h = Heard{{}, {}, h.lastId};
}

SttPeer::Connection* SttPeer::newestOpen() {
    for (auto it = m_connections.rbegin(); it != m_connections.rend(); ++it) {
        if (it->open && it->socket)
            return &*it;
    }
    return nullptr;
}

void SttPeer::send(const QJsonObject& message) {
    sendRaw(json(message));
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
