#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <functional>

class QWebSocket;
class QWebSocketServer;

namespace quippet::test {

// A loopback stand-in for the realtime speech-to-text service (Scribe realtime over WebSocket).
//
// It checks what a real service checks: the path, the fixed query items, and either the "xi-api-key" header or a
// single-use "token" query item. An accepted connection gets "session_started"; audio arrives as
// "input_audio_chunk" messages whose bytes are decoded and recorded per connection. Transcripts are scripted against
// the audio actually received: a step fires once a connection has received at least its byte count. Errors, drops
// and closes can be sent on demand.
class SttPeer : public QObject {
    Q_OBJECT
public:
    struct Connection {
        QUrl url;
        QString apiKey; // the "xi-api-key" header, empty when absent
        QString token;  // the "token" query item, empty when absent
        bool accepted = false;
        QList<QJsonObject> messages; // every text message received, parsed
        QList<QByteArray> chunks;    // decoded audio of each "input_audio_chunk"
        QByteArray audio;            // all decoded audio, in order
        int closeCode = -1;          // the client's close code, once it closed
        bool open = true;
        QPointer<QWebSocket> socket;

        QUrlQuery query() const { return QUrlQuery(url); }
    };

    // Sent when the received audio of a connection first reaches `atBytes`.
    struct Step {
        qsizetype atBytes = 0;
        QString type; // "partial_transcript", "committed_transcript", or any other message type
        QString text;
    };

    explicit SttPeer(QObject* parent = nullptr);
    ~SttPeer() override;

    bool start(quint16 port = 0); // 127.0.0.1 only
    QUrl baseUrl() const;         // http://127.0.0.1:port, as the "elevenLabsBaseURL" preference takes it

    void setApiKey(const QString& key) { m_apiKey = key; }
    void addToken(const QString& token) { m_tokens.insert(token); } // each one is accepted once
    // Any token with this prefix is accepted once (the backend peer issues "stt-1", "stt-2"...).
    void setTokenPrefix(const QString& prefix) { m_tokenPrefix = prefix; }
    void setScript(QList<Step> steps) { m_script = std::move(steps); }
    // Instead of a script: each connection's decoded audio as it arrives, for a listener that answers it with sendTo
    // (the benchmarks' services that hear speech).
    void setAudioListener(std::function<void(int connection, const QByteArray& audio)> listener) {
        m_listener = std::move(listener);
    }
    void sendTo(int connection, const QJsonObject& message); // if that connection is still there
    // Every accepted connection is closed (1011) right after its "session_started".
    void setCloseAtOnce(bool close) { m_closeAtOnce = close; }

    const QList<Connection>& connections() const { return m_connections; }
    Connection* last() { return m_connections.isEmpty() ? nullptr : &m_connections.last(); }
    int acceptedCount() const;

    // On the newest open connection.
    void sendRaw(const QString& text);
    void sendBinary(const QByteArray& bytes);
    void drop();          // cut the TCP connection without a closing handshake
    void close(int code); // orderly close from the service's side
    // The service goes silent as on a half-open connection: it stops reading, so pings go unanswered and what the
    // client sends fills the system's buffers. False when there is no open connection.
    bool mute();

    // Run the event loop until the condition holds or timeoutMs passed.
    bool waitForConnections(int count, int timeoutMs = 5000);
    bool waitForChunks(int count, int timeoutMs = 5000);
    bool waitForClosed(int timeoutMs = 5000);
    int totalChunks() const;

signals:
    void chunkReceived();

private:
    void onNewConnection();
    void onMessage(int index, const QString& text);
    QString rejection(const Connection& c);
    Connection* newestOpen();

    QWebSocketServer* m_server;
    QString m_apiKey;
    QSet<QString> m_tokens;
    QString m_tokenPrefix;
    QSet<QString> m_usedTokens;
    QList<Step> m_script;
    QList<Connection> m_connections;
    QList<int> m_firedSteps; // per connection: script steps already sent
    std::function<void(int, const QByteArray&)> m_listener;
    bool m_closeAtOnce = false;
};

} // namespace quippet::test
