#pragma once

#include "audio/AudioSystem.h"

#include <QHash>

#include <memory>

namespace quippet {

class PulseCore;
class SourceMonitor;

// What the sound server says about the default output, as far as the route depends on it.
struct OutputDeviceFacts {
    int portType = 0; // pa_device_port_type_t of the active port; 0 when unknown or there is no port
    QString portName;
    QString formFactor; // "device.form_factor"
    QString bus;        // "device.bus"
    QString sinkName;
    QString description; // the human name
};

// Active port type, then port name, then form factor and bus; unknown (described by the bus or the sink name)
// when nothing tells.
OutputRoute classifyOutput(const OutputDeviceFacts& facts);

// The sound server through PulseAudio (also PipeWire's pulse server). One threaded mainloop owns every PulseAudio
// object: the connection, the system-audio stream on the default sink's monitor, the microphone stream on the
// default source, and the subscription that makes both follow default-device changes. A lost connection is retried
// every half second and the streams come back by themselves.
class PulseAudioSystem final : public AudioSystem {
    Q_OBJECT
public:
    explicit PulseAudioSystem(QObject* parent = nullptr);
    ~PulseAudioSystem() override;

    void setAudioHandler(AudioFn handler) override;
    void start() override;
    void startMic(std::unique_ptr<EchoCanceller> canceller) override;
    void recheck() override;
    quint64 playSound(std::vector<float> samples, int sampleRate, PlayDone done) override;
    void stopSound(quint64 id) override;
    // A sound gets this long beyond its own length to be played out before it is ended as failed.
    static constexpr int kPlayGraceMs = 3000;
    PermissionState inputAvailability() const override { return m_input; }
    OutputRoute outputRoute() const override { return m_route; }

    // Meeting detection on the same connection; may outlive this object.
    std::unique_ptr<SourceMonitor> sourceMonitor();

private:
    friend class PulseCore;
    void setInput(PermissionState state);
    void setRoute(const OutputRoute& route);
    void playbackEnded(quint64 id, const std::optional<QString>& error);
    void endSound(quint64 id, const QString& why);

    std::shared_ptr<PulseCore> m_core;
    PermissionState m_input = PermissionState::Unknown;
    OutputRoute m_route;
    QHash<quint64, PlayDone> m_playing;
    quint64 m_lastPlayback = 0;
};

} // namespace quippet
