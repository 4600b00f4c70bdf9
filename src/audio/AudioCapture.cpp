#include "audio/AudioCapture.h"

#include "audio/EchoCanceller.h"
#include "core/Clock.h"
#include "core/DiagnosticsLog.h"
#include "core/Settings.h"

#include <QMetaObject>

namespace quippet {

namespace {

const QString kClientLabel = QStringLiteral("KLIENT");
const QString kMicLabel = QStringLiteral("TY");

QString permissionWords(PermissionState state) {
    switch (state) {
    case PermissionState::Granted:
        return QStringLiteral("authorized");
    case PermissionState::Denied:
        return QStringLiteral("denied");
    case PermissionState::Unknown:
        return QStringLiteral("unknown");
    }
    return QStringLiteral("unknown");
}

} // namespace

AudioCapture::AudioCapture(Clock& clock, DiagnosticsLog& log, std::unique_ptr<AudioSystem> system, QObject* parent)
    : QObject(parent), m_clock(clock), m_log(log), m_system(std::move(system)) {
    m_transcriptionEnabled = Settings::boolValue(Settings::kTranscriptionEnabled, false);
    m_echoCancellation = Settings::boolValue(Settings::kEchoCancellation, false);

    connect(&m_log, &DiagnosticsLog::linesChanged, this, &AudioCapture::logChanged);
    connect(m_system.get(), &AudioSystem::noted, this, &AudioCapture::note);
    connect(m_system.get(), &AudioSystem::inputAvailabilityChanged, this, &AudioCapture::micAvailabilityChanged);
    connect(m_system.get(), &AudioSystem::outputRouteChanged, this, &AudioCapture::refreshRoute);
    m_system->setAudioHandler(
        [this](AudioChannel channel, const AudioFormat& format, const char* data, qsizetype bytes,
               std::chrono::steady_clock::time_point readAt) { onAudio(channel, format, data, bytes, readAt); });
}

AudioCapture::~AudioCapture() {
    // No audio callback may run once the members it posts to are going away.
    m_system.reset();
}

QStringList AudioCapture::log() const {
    return m_log.lines();
}

void AudioCapture::note(const QString& line) {
    m_log.note(line);
}

// Audio thread: measure, then hand the buffer to its transcription client, which copies it and queues it to its own
// worker. Nothing here touches the capture's main-thread fields.
void AudioCapture::onAudio(AudioChannel channel, const AudioFormat& format, const char* data, qsizetype bytes,
                           std::chrono::steady_clock::time_point readAt) {
    const std::chrono::microseconds lasts = playingTime(format, bytes);
    if (channel == AudioChannel::System)
        m_store->addClient(firstChannelRms(format, data, bytes), format, lasts);
    else
        m_store->addMe(loudestChannelRms(format, data, bytes), lasts);
    Feed& feed = *m_feed;
    const bool firstMic = channel == AudioChannel::Mic && feed.micBuffers.fetch_add(1) == 0;
    const bool watching = feed.watched.load();
    AudioChunk chunk{format, QByteArray(data, bytes)};
    bool heard = false;
    {
        const std::lock_guard<std::mutex> hold(feed.lock);
        if (TranscriberPort* port = channel == AudioChannel::System ? feed.client : feed.mic) {
            port->append(chunk);
            heard = true;
        }
    }
    if (firstMic) {
        QString line = QStringLiteral("mikrofon: pierwszy bufor, ramek=") + QString::number(chunk.frames());
        QMetaObject::invokeMethod(
            this,
            [this, line, heard] {
                note(line);
                if (!heard)
                    note(QStringLiteral("mikrofon: audio jest, ale ASR niepodłączony"));
            },
            Qt::QueuedConnection);
    }
    if (watching)
        QMetaObject::invokeMethod(
            this, [this, channel, chunk = std::move(chunk), readAt] { watched(channel, chunk, readAt); },
            Qt::QueuedConnection);
}

void AudioCapture::watched(AudioChannel channel, const AudioChunk& chunk,
                           std::chrono::steady_clock::time_point readAt) {
    if (m_onChunk)
        m_onChunk(channel, chunk);
    if (m_onHandOver)
        m_onHandOver(channel, readAt);
}

void AudioCapture::setOnHandOver(HandOverFn fn) {
    m_onHandOver = std::move(fn);
    updateWatching();
}

void AudioCapture::setOnChunk(ChunkFn fn) {
    m_onChunk = std::move(fn);
    updateWatching();
}

void AudioCapture::updateWatching() {
    m_feed->watched = bool(m_onChunk) || bool(m_onHandOver);
}

quint64 AudioCapture::playSound(std::vector<float> samples, int sampleRate, AudioSystem::PlayDone done) {
    return m_system->playSound(std::move(samples), sampleRate, std::move(done));
}

void AudioCapture::stopSound(quint64 id) {
    m_system->stopSound(id);
}

void AudioCapture::start() {
    refreshPermissions();
    m_levelTimer = m_clock.createTimer(this);
    connect(m_levelTimer, &Timer::timeout, this, &AudioCapture::levelTick);
    m_levelTimer->start(kLevelInterval);
    refreshRoute();
    m_routeTimer = m_clock.createTimer(this);
    connect(m_routeTimer, &Timer::timeout, this, &AudioCapture::refreshRoute);
    m_routeTimer->start(kRouteInterval);

    note(QStringLiteral("PulseAudio mikrofon = ") + permissionWords(m_micPermission));
    switch (m_micPermission) {
    case PermissionState::Granted:
        startMic();
        break;
    case PermissionState::Denied:
        note(QStringLiteral("mikrofon: odmówione — Ustawienia → Dźwięk → Wejście"));
        break;
    case PermissionState::Unknown:
        // The sound server answers shortly; the microphone starts then (micAvailabilityChanged).
        note(QStringLiteral("mikrofon: czekam na serwer dźwięku"));
        break;
    }

    // System audio needs no screen permission here: it is the output's monitor on the sound server.
    m_system->start();

    if (m_transcriptionEnabled) {
        note(QStringLiteral("transkrypcja: przywracam z ustawień"));
        startTranscription();
    } else {
        note(QStringLiteral("transkrypcja: wyłączona"));
    }
}

void AudioCapture::micAvailabilityChanged() {
    const PermissionState before = m_micPermission;
    refreshPermissions();
    if (m_micRequestPending && m_micPermission != PermissionState::Unknown) {
        m_micRequestPending = false;
        if (m_micPermission == PermissionState::Granted) {
            if (!m_micStarted)
                startMic();
            note(QStringLiteral("mikrofon: zgoda przyznana"));
        } else {
            note(QStringLiteral("mikrofon: odmówiono"));
        }
        return;
    }
    if (m_micPermission == before)
        return;
    if (m_micPermission == PermissionState::Granted && !m_micStarted)
        startMic();
    else if (m_micPermission == PermissionState::Denied)
        note(QStringLiteral("mikrofon: odmówione — Ustawienia → Dźwięk → Wejście"));
}

void AudioCapture::startMic() {
    std::unique_ptr<EchoCanceller> canceller;
    if (m_echoCancellation) {
        canceller = EchoCanceller::create();
        note(canceller ? QStringLiteral("mikrofon: eliminacja echa włączona")
                       : QStringLiteral("mikrofon: eliminacja echa niedostępna"));
    }
    m_micStarted = true;
    m_system->startMic(std::move(canceller));
}

void AudioCapture::setEchoCancellation(bool on) {
    const bool changed = on != m_echoCancellation;
    m_echoCancellation = on;
    Settings::setValue(Settings::kEchoCancellation, on);
    if (changed)
        emit echoCancellationChanged();
    startMic();
}

void AudioCapture::levelTick() {
    const LevelStore::Snapshot s = m_store->take(kLevelInterval);
    // A decaying level would take minutes of float steps to reach zero, each one published: below -80 dBFS it is
    // silence.
    const auto decayed = [](float level) { return level * kLevelDecay < 1e-4f ? 0.0f : level * kLevelDecay; };
    const float client = std::max(s.client, decayed(m_clientLevel));
    const float me = std::max(s.me, decayed(m_myLevel));
    if (client != m_clientLevel) {
        m_clientLevel = client;
        emit clientLevelChanged();
    }
    if (me != m_myLevel) {
        m_myLevel = me;
        emit myLevelChanged();
    }
    if (const bool sounding = s.clientCovered > kSoundLevel; sounding != m_clientSounding) {
        m_clientSounding = sounding;
        emit clientSoundingChanged();
    }
    m_clientStats = s;
    emit clientDiagChanged();
}

QString AudioCapture::clientDiag() const {
    if (!m_clientStats)
        return QStringLiteral("brak buforów");
    const LevelStore::Snapshot& s = *m_clientStats;
    if (s.clientBuffers == 0)
        return QStringLiteral("0 buforów — strumień nie dostarcza nic");
    return QStringLiteral("%1 buforów · %2 · szczyt %3")
        .arg(s.clientBuffers)
        .arg(s.clientFormat.value_or(QStringLiteral("format ?")))
        .arg(QString::asprintf("%.5f", double(s.clientPeakEver)));
}

void AudioCapture::refreshRoute() {
    const OutputRoute route = m_system->outputRoute();
    if (route.sameRoute(m_outputRoute) && route.deviceName == m_outputRoute.deviceName)
        return;
    m_outputRoute = route;
    emit outputRouteChanged();
    QString line = QStringLiteral("wyjście: ");
    switch (route.kind) {
    case OutputRoute::Kind::Headphones:
        line += QStringLiteral("słuchawki");
        break;
    case OutputRoute::Kind::Speakers:
        line += QStringLiteral("głośniki");
        break;
    case OutputRoute::Kind::Unknown:
        line += QStringLiteral("nieznane wyjście (") + route.description + QLatin1Char(')');
        break;
    }
    if (!route.deviceName.isEmpty())
        line += QStringLiteral(" · ") + route.deviceName;
    note(line);
}

void AudioCapture::startTranscription() {
    if (!m_factory)
        return;
    auto make = [&](const QString& label, AudioChannel channel) {
        std::unique_ptr<TranscriberPort> port = m_factory({label, m_language});
        connect(port.get(), &TranscriberPort::transcript, this,
                [this, channel](const QString& text, bool isFinal) { emit textHeard(channel, text, isFinal); });
        connect(port.get(), &TranscriberPort::statusLine, this, &AudioCapture::note);
        return port;
    };
    auto client = make(kClientLabel, AudioChannel::System);
    auto mic = make(kMicLabel, AudioChannel::Mic);
    client->start();
    mic->start();
    {
        const std::lock_guard<std::mutex> hold(m_feed->lock);
        m_clientAsr = std::move(client);
        m_micAsr = std::move(mic);
        m_feed->client = m_clientAsr.get();
        m_feed->mic = m_micAsr.get();
    }
    note(QStringLiteral("ASR: łączę ze Scribe (") + m_language + QStringLiteral(", region EU)"));
}

void AudioCapture::stopTranscription() {
    {
        const std::lock_guard<std::mutex> hold(m_feed->lock);
        m_feed->client = nullptr;
        m_feed->mic = nullptr;
    }
    if (m_clientAsr)
        m_clientAsr->stop();
    if (m_micAsr)
        m_micAsr->stop();
    m_clientAsr.reset();
    m_micAsr.reset();
}

void AudioCapture::setTranscription(bool on) {
    if (on == m_transcriptionEnabled && (!on || m_clientAsr))
        return;
    const bool changed = on != m_transcriptionEnabled;
    m_transcriptionEnabled = on;
    Settings::setValue(Settings::kTranscriptionEnabled, on);
    if (on) {
        startTranscription();
    } else {
        stopTranscription();
        note(QStringLiteral("ASR: wyłączony — koszt nie jest naliczany"));
    }
    if (changed)
        emit transcriptionEnabledChanged();
}

void AudioCapture::setLanguage(const QString& code) {
    if (code == m_language)
        return;
    m_language = code;
    emit languageChanged();
    note(QStringLiteral("język: ") + code);
    if (m_transcriptionEnabled) {
        stopTranscription();
        startTranscription();
    }
}

void AudioCapture::requestMicAccess() {
    switch (m_micPermission) {
    case PermissionState::Granted:
        note(QStringLiteral("mikrofon: zgoda już jest"));
        break;
    case PermissionState::Denied:
        note(QStringLiteral("mikrofon: otwieram Ustawienia"));
        if (openSoundSettings)
            openSoundSettings();
        break;
    case PermissionState::Unknown:
        // No prompt exists on a desktop: asking means asking the sound server again.
        note(QStringLiteral("mikrofon: pytam o zgodę…"));
        m_micRequestPending = true;
        m_system->recheck();
        break;
    }
}

void AudioCapture::requestScreenAccess() {
    // Allowed in the settings since the last look: nothing tells us but looking again.
    refreshPermissions();
    if (m_screenPermission == PermissionState::Granted) {
        note(QStringLiteral("ekran: zgoda już jest"));
        return;
    }
    if (m_screenPromptAttempted) {
        note(QStringLiteral("ekran: otwieram Ustawienia — zezwól Quippetowi na zrzuty ekranu"));
        if (openScreenSettings)
            openScreenSettings();
    } else {
        m_screenPromptAttempted = true;
        note(QStringLiteral("ekran: pytam o zgodę…"));
        m_clock.singleShot(std::chrono::milliseconds(1500), this, [this] { refreshPermissions(); });
    }
}

void AudioCapture::refreshPermissions() {
    setScreenPermission(screenCaptureProbe && screenCaptureProbe() ? PermissionState::Granted
                                                                   : PermissionState::Denied);
    setMicPermission(m_system->inputAvailability());
}

void AudioCapture::setMicPermission(PermissionState state) {
    if (state == m_micPermission)
        return;
    m_micPermission = state;
    emit micPermissionChanged();
}

void AudioCapture::setScreenPermission(PermissionState state) {
    if (state == m_screenPermission)
        return;
    m_screenPermission = state;
    emit screenPermissionChanged();
}

} // namespace quippet
