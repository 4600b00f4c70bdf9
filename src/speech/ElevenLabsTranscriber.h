#pragma once

#include "audio/AudioChunk.h"
#include "audio/TranscriberPort.h"
#include "secrets/Credentials.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>

class QThread;

namespace quippet {

class Clock;
class TranscriberWorker;

// Streams one audio channel to the realtime speech-to-text service and hands back what it recognises.
//
// Every piece of state (socket, converter, pending audio, counters, back-off) lives on the transcriber's own worker
// thread, which acts as its serial queue; the public calls only post work there, and the signals arrive on the
// thread that created the object (the main thread). Audio fed while there is no open connection, or while the
// connection is not passing on what it was given, is kept, the newest 192000 bytes (two seconds), and goes out first
// on the next connection. An open connection that stays silent (not even answering pings) is dropped. The
// transcriber reconnects by itself with a growing delay until stop().
class ElevenLabsTranscriber : public TranscriberPort {
    Q_OBJECT
public:
    // Audio goes out in messages of at least four fifths of a capture fragment (48 kHz 16-bit mono, 80 ms): each
    // fragment makes one message of its own at once, while smaller buffers are gathered up to it.
    static constexpr qsizetype kMinChunkBytes = 48 * 2 * kCaptureFragment.count() * 4 / 5;
    static constexpr qsizetype kOfflineBufferBytes = 192000;
    // While the socket holds more than this unsent (about two seconds of audio as messages), new audio waits in
    // the offline buffer instead of piling up behind it.
    static constexpr qint64 kMaxBacklogBytes = 256 * 1024;
    static constexpr const char* kDefaultServiceBaseUrl = "https://api.eu.residency.elevenlabs.io";

    // label: "KLIENT" (system audio) or "TY" (microphone). language: the code sent to the service; empty lets the
    // service detect it. The provider is asked afresh for every connection attempt, on the thread that created the
    // transcriber, so one provider may serve both channels.
    ElevenLabsTranscriber(QString label, QString language, std::shared_ptr<CredentialProvider> provider, Clock& clock,
                          QObject* parent = nullptr);
    ~ElevenLabsTranscriber() override;

    const QString& label() const { return m_label; }

    void start() override; // main thread: connect and stay connected
    void stop() override;  // main thread: close with "going away"; fed audio then only accumulates (bounded)
    // Any thread (the capture threads): the chunk is copied and converted on the worker thread.
    void append(const AudioChunk& chunk) override;

    // "elevenLabsBaseURL" preference, else the EU residency endpoint.
    static QUrl serviceBaseUrl();
    // The realtime endpoint for a credential: ws/wss for http/https, the fixed path and query.
    static QUrl realtimeUrl(const QUrl& serviceBase, const QString& language, const Credential& credential);
    static std::chrono::milliseconds reconnectDelay(int attempt);
    // The "input_audio_chunk" message (JSON text) carrying 48 kHz mono s16le bytes.
    static QByteArray encodeChunk(const QByteArray& pcm);

    // A message from the service, read: its kind and its text (the transcript, or the status line to show).
    struct ServiceMessage {
        enum class Kind { Ignored, SessionStarted, Partial, Committed, Status };
        Kind kind = Kind::Ignored;
        QString text;
    };
    static ServiceMessage readMessage(const QString& text);
    // What a refused key or token's status line starts with.
    static inline const QString kAuthRefused = QStringLiteral("Scribe odrzucił dane logowania: ");

    // Introspection for tests and diagnostics; each call waits for the worker to finish what was posted before.
    struct State {
        qsizetype pendingBytes = 0;
        int sentChunks = 0;
        int reconnects = 0;
        bool connected = false; // socket open
        bool reconnectScheduled = false;
        int converterBuilds = 0;
        qint64 backlogBytes = 0; // audio messages the socket has not yet passed on to the system
        int pongs = 0;
    };
    State state() const;
    // Waits until the worker has handled everything posted to it so far.
    void sync() const;

private:
    QString m_label;
    QThread* m_thread;
    TranscriberWorker* m_worker;
};

} // namespace quippet
