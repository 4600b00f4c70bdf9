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

#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <deque>

namespace quippet {

using namespace std::chrono_literals;

namespace {

constexpr auto kHandshakeTimeout = 60s;
// An open connection is pinged this often; one from which nothing (message or pong) has come for kSilenceLimit is
// taken for dead, as after a network change or a resume from suspend, where TCP itself notices only after minutes.
constexpr auto kPingInterval = 5s;
constexpr auto kSilenceLimit = 15s;
// Only a session that lasted this long starts the back-off over: a service that confirms and at once closes must
// not be asked (and a backend token spent) every 1.6 s forever.
constexpr auto kStableSession = 10s;

// Bytes a client WebSocket frame of one text message takes on the wire (masked, no fragmentation).
qint64 frameBytes(qint64 payload) {
    return payload + 2 + 4 + (payload > 65535 ? 8 : payload > 125 ? 2 : 0);
}

// Why a connection attempt ended before the service took it, in a status line's words.
QString refusalReason(const QWebSocket& socket) {
    static const QRegularExpression httpStatus(QStringLiteral("status code: (\\d+)"));
    const QRegularExpressionMatch match = httpStatus.match(socket.errorString());
    if (match.hasMatch())
        return QStringLiteral("Scribe odrzucił połączenie (HTTP %1)").arg(match.captured(1));
    return QStringLiteral("nie udało się połączyć ze Scribe (%1)").arg(socket.errorString());
}

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
        m_livenessTimer = m_clock.createTimer(this);
        connect(m_livenessTimer, &Timer::timeout, this, &TranscriberWorker::livenessTick);
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
        delete m_livenessTimer;
        m_livenessTimer = nullptr;
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
        // QWebSocket drops what is sent before the handshake completes, so a connecting socket counts as none; nor
        // is more piled onto a socket that has not passed on what it already holds.
        if (!m_socket || !m_open || m_unaccepted > ElevenLabsTranscriber::kMaxBacklogBytes) {
            trimPending();
            return;
        }
        if (m_pending.size() < ElevenLabsTranscriber::kMinChunkBytes)
            return;
        const QByteArray message = ElevenLabsTranscriber::encodeChunk(m_pending);
        const qint64 frame = frameBytes(message.size());
        m_inFlight.push_back({frame, std::exchange(m_pending, {})});
        m_inFlightBytes += frame;
        m_unaccepted += frame;
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
        s.backlogBytes = m_unaccepted;
        s.pongs = m_pongs;
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
            // The handshake's own bytes are written by now; from here on only audio frames are counted.
            m_unaccepted = 0;
            m_heard = true;
            m_silentTicks = 0;
            m_livenessTimer->start(kPingInterval);
        });
        connect(socket, &QWebSocket::bytesWritten, this, [this, socket](qint64 written) {
            if (socket == m_socket && m_open)
                accepted(written);
        });
        connect(socket, &QWebSocket::pong, this, [this, socket] {
            if (socket != m_socket)
                return;
            m_heard = true;
            ++m_pongs;
        });
        connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString& text) {
            if (socket != m_socket)
                return;
            m_heard = true;
            handle(text);
        });
        connect(socket, &QWebSocket::binaryMessageReceived, this, [this, socket](const QByteArray& bytes) {
            if (socket != m_socket)
                return;
            m_heard = true;
            QStringDecoder decoder(QStringDecoder::Utf8);
            const QString text = decoder(bytes);
            if (!decoder.hasError())
                handle(text);
        });
        // A connection refused outright may end before its error is reported: the reason is said either way.
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            if (socket == m_socket && !m_open && socket->error() != QAbstractSocket::UnknownSocketError)
                refused(refusalReason(*socket));
            lost(socket);
        });
        connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                [this, socket](QAbstractSocket::SocketError) {
                    if (socket == m_socket && !m_open)
                        refused(refusalReason(*socket));
                    lost(socket);
                });
        m_handshakeTimer->start(kHandshakeTimeout);
        socket->open(request);
    }

    void lost(QWebSocket* socket) {
        if (socket != m_socket)
            return;
        if (m_sessionStarted && m_clock.monotonic() - *m_sessionStarted >= kStableSession)
            m_reconnects = 0;
        releaseSocket();
        scheduleReconnect();
    }

    void handshakeTimedOut() {
        if (m_socket && !m_open) {
            refused(QStringLiteral("Scribe nie odpowiada na połączenie"));
            lost(m_socket);
        }
    }

    // A refusal is reported once, not on every retry, until a session starts or the reason changes.
    void refused(const QString& reason) {
        if (reason == m_lastRefusal)
            return;
        m_lastRefusal = reason;
        status(reason);
    }

    // Every kPingInterval while open: the service must have said something (a pong at least) lately.
    void livenessTick() {
        if (!m_socket || !m_open)
            return;
        m_silentTicks = m_heard ? 0 : m_silentTicks + 1;
        m_heard = false;
        if (m_silentTicks * kPingInterval >= kSilenceLimit) {
            status(QStringLiteral("Scribe nie odpowiada — łączę ponownie"));
            lost(m_socket);
            return;
        }
        m_socket->ping();
    }

    // The socket passed `written` bytes on to the system; the newest chunks still wholly or partly unwritten stay.
    void accepted(qint64 written) {
        m_unaccepted = std::max<qint64>(0, m_unaccepted - written);
        while (!m_inFlight.empty() && m_inFlightBytes - m_inFlight.front().first >= m_unaccepted) {
            m_inFlightBytes -= m_inFlight.front().first;
            m_inFlight.pop_front();
        }
    }

    void trimPending() {
        if (m_pending.size() > ElevenLabsTranscriber::kOfflineBufferBytes)
            m_pending.remove(0, m_pending.size() - ElevenLabsTranscriber::kOfflineBufferBytes);
    }

    // Forgets the current connection's state; returns its socket, if any, for the caller to end.
    QWebSocket* forgetConnection() {
        if (m_handshakeTimer) {
            m_handshakeTimer->stop();
            m_livenessTimer->stop();
        }
        m_sessionStarted.reset();
        m_inFlight.clear();
        m_inFlightBytes = 0;
        m_unaccepted = 0;
        m_open = false;
        QWebSocket* socket = std::exchange(m_socket, nullptr);
        if (socket)
            socket->disconnect(this);
        return socket;
    }

    // Forgets the socket without a closing handshake (it broke, or is being replaced). Audio the socket had not yet
    // passed on goes back in front of the pending audio, within the offline bound.
    void releaseSocket() {
        QByteArray unsent;
        for (const auto& chunk : m_inFlight)
            unsent += chunk.second;
        m_pending.prepend(unsent);
        trimPending();
        if (QWebSocket* socket = forgetConnection()) {
            socket->abort();
            socket->deleteLater();
        }
    }

    void closeSocket(QWebSocketProtocol::CloseCode code) {
        if (QWebSocket* socket = forgetConnection()) {
            connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            socket->close(code);
        }
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
            m_sessionStarted = m_clock.monotonic();
            m_lastRefusal.clear();
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
    Timer* m_livenessTimer = nullptr;
    bool m_heard = false;
    int m_silentTicks = 0;
    int m_pongs = 0;
    std::optional<std::chrono::milliseconds> m_sessionStarted;
    QString m_lastRefusal;
    // Audio frames handed to the socket and not yet passed on by it: their bytes, and the newest chunks (frame
    // size, audio) that cover them.
    qint64 m_unaccepted = 0;
    std::deque<std::pair<qint64, QByteArray>> m_inFlight;
    qint64 m_inFlightBytes = 0;
};

ElevenLabsTranscriber::ElevenLabsTranscriber(QString label, QString language,
                                             std::shared_ptr<CredentialProvider> provider, Clock& clock,
                                             QObject* parent)
    : TranscriberPort(parent), m_label(std::move(label)), m_thread(new QThread) {
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
    const QString said = error.isString() ? error.toString() : kind;
    // The service's own words are terse ("invalid api key"); whose fault it is goes in front.
    if (kind == QLatin1String("auth_error"))
        return {ServiceMessage::Kind::Status, kAuthRefused + said};
    return {ServiceMessage::Kind::Status, said};
}

} // namespace quippet
