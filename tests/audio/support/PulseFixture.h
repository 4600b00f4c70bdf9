#pragma once

#include "support/Wait.h"

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace quippet::test {

// A private PulseAudio daemon for one test: a "speakers" null sink (the default output), a "micfeed" null sink
// whose monitor is remapped into the "testmic" source (the default input, fed by playing into micfeed), and a
// second pair "otherspeakers" / "othermic" for device switches.
// PULSE_SERVER points at it while the fixture lives.
class PulseServer {
public:
    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    static bool binaryAvailable();

    bool start();
    void stop();
    bool running() const { return m_daemon && m_daemon->state() == QProcess::Running; }

    // pactl against this server; true on exit code 0.
    bool pactl(const QStringList& args, QString* output = nullptr);
    // Background clients, stopped with the fixture (or earlier by the caller).
    QProcess* spawn(const QString& program, const QStringList& args, const QString& stdinFile = {});
    QProcess* play(const QString& device, const QString& wav);
    QProcess* record(const QString& device);
    // A silent low-latency stream into a sink, so that its monitor delivers data at once.
    QProcess* keepAwake(const QString& sink);

    QString filePath(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_daemon;
    std::vector<std::unique_ptr<QProcess>> m_clients;
    QByteArray m_savedServer;
    bool m_hadServer = false;
};

} // namespace quippet::test
