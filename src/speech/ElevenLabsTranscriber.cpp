#include "speech/ElevenLabsTranscriber.h"

#include "core/Clock.h"
#include "core/Settings.h"
#include "speech/PcmConverter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QPointer>
#include <QStringDecoder>
#include <QThread>
#include <QUrlQuery>
#include <QWebSocket>

#include <algorithm>
#include <cmath>

namespace quippet {

using namespace std::chrono_literals;

namespace {

constexpr auto kHandshakeTimeout = 60s;

} // namespace

// Everything that changes lives here, on the transcriber's own thread.
class TranscriberWorker final : public QObject {
public:
    TranscriberWorker(ElevenLabsTranscriber* owner, QString label, QString language,
                      std::shared_ptr<CredentialProvider> provider, Clock& clock)
        : m_owner(owner), m_label(std::move(label)), m_language(std::move(language)), m_provider(std::move(provider)),
          m_clock(clock) {}

    // Worker thread: timers must belong to the thread that starts them.
    void init() {
        m_reconnectTimer = m_clock.createTimer(this);
        m_reconnectTimer->setSingleShot(true);
        connect(m_reconnectTimer, &Timer::timeout, this, &TranscriberWorker::reconnectDue);
        m_handshakeTimer = m_clock.createTimer(this);
        m_handshakeTimer->setSingleShot(true);
        connect(m_handshakeTimer, &Timer::timeout, this, &TranscriberWorker::handshakeTimedOut);
    }

    void shutdown() {
        m_stayConnected = false;
        ++m_generation;
        closeSocket(QWebSocketProtocol::CloseCodeGoingAway);
        // Sockets belong to this thread, which is about to end: push out the closing frame and free them here.
        for (QWebSocket* socket : findChildren<QWebSocket*>(Qt::FindDirectChildrenOnly)) {
            socket->flush();
            delete socket;
        }
        delete m_reconnectTimer;
        m_reconnectTimer = nullptr;
        delete m_handshakeTimer;
        m_handshakeTimer = nullptr;
    }

    void connectService() {
        m_stayConnected = true;
        m_reconnects = 0;
        m_reconnectTimer->stop();
        if (!m_socket)
            attempt();
    }

    void disconnectService() {
        m_stayConnected = false;
        ++m_generation; // a credential still on its way is dropped
        m_reconnectTimer->stop();
        closeSocket(QWebSocketProtocol::CloseCodeGoingAway);
    }

    void feed(const AudioChunk& chunk) {
        const QByteArray bytes = m_converter.convert(chunk);
        if (bytes.isEmpty())
            return;
        m_pending.append(bytes);
        // QWebSocket drops what is sent before the handshake completes, so a connecting socket counts as none.
        if (!m_socket || !m_open) {
            if (m_pending.size() > ElevenLabsTranscriber::kOfflineBufferBytes)
                m_pending.remove(0, m_pending.size() - ElevenLabsTranscriber::kOfflineBufferBytes);
            return;
        }
        if (m_pending.size() < ElevenLabsTranscriber::kMinChunkBytes)
            return;
        const QByteArray message = ElevenLabsTranscriber::encodeChunk(m_pending);
        m_pending.clear();
        m_socket->sendTextMessage(QString::fromLatin1(message));
        if (++m_sentChunks == 1)
            status(QStringLiteral("wysyłam audio"));
    }

    ElevenLabsTranscriber::State snapshot() const {
        ElevenLabsTranscriber::State s;
        s.pendingBytes = m_pending.size();
        s.sentChunks = m_sentChunks;
        s.reconnects = m_reconnects;
        s.connected = m_socket && m_open;
        s.reconnectScheduled = m_reconnectTimer && m_reconnectTimer->isActive();
        s.converterBuilds = m_converter.builds();
        return s;
    }

private:
    void attempt() {
        if (!m_stayConnected)
            return;
        const quint64 generation = ++m_generation;
        QPointer<TranscriberWorker> self(this);
        // Providers are asked on the owner's thread: both channels usually share one provider, and the backend's
        // network access manager must stay on a single thread. The answer comes back here through the queue.
        QMetaObject::invokeMethod(
            m_owner,
            [self, provider = m_provider, generation] {
                provider->credential([self, generation](CredentialResult result) {
                    if (!self)
                        return;
                    QMetaObject::invokeMethod(
                        self.data(),
                        [self, generation, result = std::move(result)] {
                            if (self)
                                self->credentialArrived(generation, result);
                        },
                        Qt::QueuedConnection);
                });
            },
            Qt::QueuedConnection);
    }

    void credentialArrived(quint64 generation, const CredentialResult& result) {
        if (m_generation != generation || !m_stayConnected)
            return;
        if (const auto* credential = std::get_if<Credential>(&result)) {
            open(*credential);
        } else {
            status(std::get<QString>(result));
            scheduleReconnect();
        }
    }

    void open(const Credential& credential) {
        const QUrl url =
            ElevenLabsTranscriber::realtimeUrl(ElevenLabsTranscriber::serviceBaseUrl(), m_language, credential);
        QNetworkRequest request(url);
        if (credential.kind == Credential::Kind::ApiKey)
            request.setRawHeader("xi-api-key", credential.value.toUtf8());
        // A previous socket, if any, is simply let go.
        releaseSocket();
        m_socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
        m_open = false;
        QWebSocket* socket = m_socket;
        connect(socket, &QWebSocket::connected, this, [this, socket] {
            if (socket != m_socket)
                return;
            m_open = true;
            m_handshakeTimer->stop();
        });
        connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString& text) {
            if (socket == m_socket)
                handle(text);
        });
        connect(socket, &QWebSocket::binaryMessageReceived, this, [this, socket](const QByteArray& bytes) {
            if (socket != m_socket)
                return;
            QStringDecoder decoder(QStringDecoder::Utf8);
            const QString text = decoder(bytes);
            if (!decoder.hasError())
                handle(text);
        });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] { lost(socket); });
        connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                [this, socket](QAbstractSocket::SocketError) { lost(socket); });
        m_handshakeTimer->start(kHandshakeTimeout);
        socket->open(request);
    }

    void lost(QWebSocket* socket) {
        if (socket != m_socket)
            return;
        releaseSocket();
        scheduleReconnect();
    }

    void handshakeTimedOut() {
        if (m_socket && !m_open)
            lost(m_socket);
    }

    // Forgets the socket without a closing handshake (it broke, or is being replaced).
    void releaseSocket() {
        m_handshakeTimer->stop();
        if (!m_socket)
            return;
        QWebSocket* socket = m_socket;
        m_socket = nullptr;
        m_open = false;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }

    void closeSocket(QWebSocketProtocol::CloseCode code) {
        if (m_handshakeTimer)
            m_handshakeTimer->stop();
        if (!m_socket)
            return;
        QWebSocket* socket = m_socket;
        m_socket = nullptr;
        m_open = false;
        socket->disconnect(this);
        connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        socket->close(code);
    }

    void scheduleReconnect() {
        if (!m_stayConnected)
            return;
        ++m_reconnects;
        m_reconnectTimer->start(ElevenLabsTranscriber::reconnectDelay(m_reconnects));
    }

    void reconnectDue() {
        if (m_stayConnected && !m_socket)
            attempt();
    }

    void handle(const QString& text) {
        using Kind = ElevenLabsTranscriber::ServiceMessage::Kind;
        const ElevenLabsTranscriber::ServiceMessage message = ElevenLabsTranscriber::readMessage(text);
        switch (message.kind) {
        case Kind::Ignored:
            break;
        case Kind::SessionStarted:
            m_reconnects = 0;
            status(m_sentChunks <= 0 ? QStringLiteral("połączono ze Scribe") : QStringLiteral("wznowiono połączenie"));
            break;
        case Kind::Partial:
        case Kind::Committed:
            emitTranscript(message.text, message.kind == Kind::Committed);
            break;
        case Kind::Status:
            status(message.text);
            break;
        }
    }

    void status(const QString& what) {
        const QString line = m_label + QLatin1String(": ") + what;
        QMetaObject::invokeMethod(
            m_owner, [owner = m_owner, line] { emit owner->statusLine(line); }, Qt::QueuedConnection);
    }

    void emitTranscript(const QString& text, bool isFinal) {
        QMetaObject::invokeMethod(
            m_owner, [owner = m_owner, text, isFinal] { emit owner->transcript(text, isFinal); }, Qt::QueuedConnection);
    }

    ElevenLabsTranscriber* m_owner;
    const QString m_label;
    const QString m_language;
    const std::shared_ptr<CredentialProvider> m_provider;
    Clock& m_clock;

    QWebSocket* m_socket = nullptr;
    bool m_open = false;
    PcmConverter m_converter;
    QByteArray m_pending;
    int m_sentChunks = 0;
    bool m_stayConnected = false;
    int m_reconnects = 0;
    quint64 m_generation = 0;
    Timer* m_reconnectTimer = nullptr;
    Timer* m_handshakeTimer = nullptr;
};

ElevenLabsTranscriber::ElevenLabsTranscriber(QString label, QString language,
                                             std::shared_ptr<CredentialProvider> provider, Clock& clock,
                                             QObject* parent)
    : QObject(parent), m_label(std::move(label)), m_thread(new QThread) {
    m_thread->setObjectName(QStringLiteral("quippet.11l.") + m_label);
    m_worker = new TranscriberWorker(this, m_label, std::move(language), std::move(provider), clock);
    m_worker->moveToThread(m_thread);
    m_thread->start();
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->init(); }, Qt::BlockingQueuedConnection);
}

ElevenLabsTranscriber::~ElevenLabsTranscriber() {
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->shutdown(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_worker;
    delete m_thread;
}

void ElevenLabsTranscriber::start() {
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->connectService(); }, Qt::QueuedConnection);
}

void ElevenLabsTranscriber::stop() {
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->disconnectService(); }, Qt::QueuedConnection);
}

void ElevenLabsTranscriber::append(const AudioChunk& chunk) {
    // A real copy: the caller's bytes may be a view into a capture buffer that is reused at once.
    AudioChunk copy{chunk.format, QByteArray(chunk.data.constData(), chunk.data.size())};
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, copy = std::move(copy)] { w->feed(copy); }, Qt::QueuedConnection);
}

ElevenLabsTranscriber::State ElevenLabsTranscriber::state() const {
    State s;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, &s] { s = w->snapshot(); }, Qt::BlockingQueuedConnection);
    return s;
}

void ElevenLabsTranscriber::sync() const {
    QMetaObject::invokeMethod(
        m_worker, [] {}, Qt::BlockingQueuedConnection);
}

QUrl ElevenLabsTranscriber::serviceBaseUrl() {
    const auto configured = Settings::string(Settings::kElevenLabsBaseUrl);
    if (configured) {
        const QUrl url(configured->trimmed(), QUrl::StrictMode);
        if (url.isValid() && !url.host().isEmpty())
            return url;
    }
    return QUrl(QLatin1String(kDefaultServiceBaseUrl));
}

QUrl ElevenLabsTranscriber::realtimeUrl(const QUrl& serviceBase, const QString& language,
                                        const Credential& credential) {
    QUrl url = serviceBase;
    const QString scheme = url.scheme().toLower();
    url.setScheme(scheme == QLatin1String("http") || scheme == QLatin1String("ws") ? QStringLiteral("ws")
                                                                                   : QStringLiteral("wss"));
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + QLatin1String("/v1/speech-to-text/realtime"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("model_id"), QStringLiteral("scribe_v2_realtime"));
    query.addQueryItem(QStringLiteral("audio_format"), QStringLiteral("pcm_48000"));
    if (!language.isEmpty())
        query.addQueryItem(QStringLiteral("language_code"), language);
    query.addQueryItem(QStringLiteral("commit_strategy"), QStringLiteral("vad"));
    query.addQueryItem(QStringLiteral("filter_background_audio"), QStringLiteral("true"));
    // Percent-encoded by hand: QUrlQuery leaves '+' alone, which servers read as a space.
    if (credential.kind == Credential::Kind::Token)
        query.addQueryItem(QStringLiteral("token"), QString::fromLatin1(QUrl::toPercentEncoding(credential.value)));
    url.setQuery(query);
    url.setFragment(QString());
    return url;
}

QByteArray ElevenLabsTranscriber::encodeChunk(const QByteArray& pcm) {
    // Base64 never needs JSON escaping, so the message is assembled directly instead of through QJsonDocument.
    QByteArray json;
    json.reserve(pcm.size() * 4 / 3 + 96);
    json.append(R"({"message_type":"input_audio_chunk","audio_base_64":")");
    json.append(pcm.toBase64());
    json.append(R"(","sample_rate":48000})");
    return json;
}

std::chrono::milliseconds ElevenLabsTranscriber::reconnectDelay(int attempt) {
    const double seconds = std::min(std::pow(1.6, std::min(std::max(attempt, 1), 6)), 8.0);
    return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}

ElevenLabsTranscriber::ServiceMessage ElevenLabsTranscriber::readMessage(const QString& text) {
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (!doc.isObject())
        return {};
    const QJsonObject message = doc.object();
    const QJsonValue type = message.value(QLatin1String("message_type"));
    if (!type.isString())
        return {};
    const QString kind = type.toString();
    const QJsonValue textValue = message.value(QLatin1String("text"));
    if (kind == QLatin1String("session_started"))
        return {ServiceMessage::Kind::SessionStarted, {}};
    if (kind == QLatin1String("partial_transcript") || kind == QLatin1String("committed_transcript") ||
        kind == QLatin1String("final_transcript")) {
        if (!textValue.isString())
            return {};
        return {kind == QLatin1String("partial_transcript") ? ServiceMessage::Kind::Partial
                                                            : ServiceMessage::Kind::Committed,
                textValue.toString()};
    }
    const QJsonValue error = message.value(QLatin1String("error"));
    return {ServiceMessage::Kind::Status, error.isString() ? error.toString() : kind};
}

} // namespace quippet
