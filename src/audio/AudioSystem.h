#pragma once

#include "audio/AudioChunk.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quippet {

class EchoCanceller;

// Unknown: the sound server has not answered yet.
enum class PermissionState { Granted, Denied, Unknown };

// Which output device is playing, as far as the sound server tells.
struct OutputRoute {
    enum class Kind { Unknown, Headphones, Speakers };
    Kind kind = Kind::Unknown;
    QString description = QStringLiteral("—"); // only meaningful for Unknown
    QString deviceName;                        // the device's human name, empty when unknown

    // Two routes are the same when their kinds are; unknown routes also compare their descriptions.
    bool sameRoute(const OutputRoute& other) const {
        return kind == other.kind && (kind != Kind::Unknown || description == other.description);
    }
};

// The sound server as the capture sees it. Implementations keep every native object on their own thread; the
// methods here are called on the main thread and never block on the audio thread.
class AudioSystem : public QObject {
    Q_OBJECT
public:
    // Called on the audio thread for every buffer read; `data` is valid only during the call.
    using AudioFn = std::function<void(AudioChannel channel, const AudioFormat& format, const char* data,
                                       qsizetype bytes, std::chrono::steady_clock::time_point readAt)>;

    // How a sound handed to playSound ended: nothing when it was played out, else why it could not be.
    using PlayDone = std::function<void(const std::optional<QString>& error)>;

    using QObject::QObject;
    ~AudioSystem() override = default;

    // Set once, before start().
    virtual void setAudioHandler(AudioFn handler) = 0;
    // Connects to the sound server (and keeps reconnecting); system audio runs from then on.
    virtual void start() = 0;
    // (Re)starts the microphone on the default input; with a canceller, the microphone is echo-cancelled against
    // the system audio before it is handed out.
    virtual void startMic(std::unique_ptr<EchoCanceller> canceller) = 0;
    // Asks the sound server again; the answer comes as inputAvailabilityChanged.
    virtual void recheck() = 0;
    // Plays mono samples at `sampleRate` on the default output. `done` runs once on the main thread, after the
    // sound has been played out, has failed or was stopped; never after this object is gone. Returns the sound's
    // number for stopSound.
    virtual quint64 playSound(std::vector<float> samples, int sampleRate, PlayDone done) = 0;
    // Silences a sound still playing (its `done` gets an error); a finished or unknown one is left alone.
    virtual void stopSound(quint64 id) = 0;

    // Granted once the server answered and has a microphone as its default input; Unknown before any answer.
    virtual PermissionState inputAvailability() const = 0;
    virtual OutputRoute outputRoute() const = 0;

signals:
    void inputAvailabilityChanged();
    void outputRouteChanged();
    // A diagnostics line ("mikrofon: …", "audio systemowe: …").
    void noted(const QString& line);
};

} // namespace quippet

Q_DECLARE_METATYPE(quippet::PermissionState)
