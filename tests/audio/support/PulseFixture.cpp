#include "support/PulseFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace quippet::test {

PulseServer::PulseServer() {
    m_hadServer = qEnvironmentVariableIsSet("PULSE_SERVER");
    m_savedServer = qgetenv("PULSE_SERVER");
    QDir(m_dir.path()).mkpath(QStringLiteral("runtime"));
    QDir(m_dir.path()).mkpath(QStringLiteral("home"));
    QFile::setPermissions(filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile script(filePath(QStringLiteral("ci.pa")));
    if (script.open(QIODevice::WriteOnly)) {
        script.write(QStringLiteral(".fail\n"
                                    "load-module module-native-protocol-unix auth-anonymous=1 socket=%1\n"
                                    "load-module module-null-sink sink_name=speakers rate=48000 "
                                    "sink_properties=device.description=Speakers\n"
                                    "load-module module-null-sink sink_name=otherspeakers rate=48000 "
                                    "sink_properties=device.description=OtherSpeakers\n"
                                    "load-module module-null-sink sink_name=micfeed rate=48000 "
                                    "sink_properties=device.description=MicFeed\n"
                                    "load-module module-remap-source source_name=testmic master=micfeed.monitor "
                                    "source_properties=device.description=TestMic\n"
                                    "load-module module-remap-source source_name=othermic master=otherspeakers.monitor "
                                    "source_properties=device.description=OtherMic\n"
                                    "set-default-sink speakers\n"
                                    "set-default-source testmic\n")
                         .arg(filePath(QStringLiteral("native")))
                         .toUtf8());
    }
    qputenv("PULSE_SERVER", (QStringLiteral("unix:") + filePath(QStringLiteral("native"))).toUtf8());
}

PulseServer::~PulseServer() {
    for (auto& client : m_clients) {
        if (client->state() != QProcess::NotRunning) {
            client->kill();
            client->waitForFinished(2000);
        }
    }
    m_clients.clear();
    stop();
    if (m_hadServer)
        qputenv("PULSE_SERVER", m_savedServer);
    else
        qunsetenv("PULSE_SERVER");
}

bool PulseServer::binaryAvailable() {
    return !QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty();
}

bool PulseServer::start() {
    if (running())
        return true;
    QFile::remove(filePath(QStringLiteral("native")));
    m_daemon = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), filePath(QStringLiteral("runtime")));
    env.remove(QStringLiteral("PULSE_SERVER"));
    // Off the session bus: every daemon there claims the same D-Bus name, so a second one would refuse to start.
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    m_daemon->setProcessEnvironment(env);
    m_daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemon->setStandardOutputFile(QProcess::nullDevice());
    m_daemon->start(QStringLiteral("pulseaudio"),
                    {QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"), QStringLiteral("-n"),
                     QStringLiteral("-F"), filePath(QStringLiteral("ci.pa")),
                     QStringLiteral("--log-target=file:") + filePath(QStringLiteral("pa.log"))});
    if (!m_daemon->waitForStarted(10000))
        return false;
    // A loaded machine (parallel builds, the sanitizer run) can take many seconds to bring the daemon up.
    if (waitUntil([&] { return QFile::exists(filePath(QStringLiteral("native"))) && pactl({QStringLiteral("info")}); },
                  30000))
        return true;
    QFile log(filePath(QStringLiteral("pa.log")));
    if (log.open(QIODevice::ReadOnly))
        qWarning("pulseaudio did not come up; its log:\n%s", log.readAll().right(4000).constData());
    return false;
}

void PulseServer::stop() {
    if (!m_daemon)
        return;
    if (m_daemon->state() == QProcess::Running) {
        m_daemon->terminate();
        if (!m_daemon->waitForFinished(5000)) {
            m_daemon->kill();
            m_daemon->waitForFinished(2000);
        }
    }
    m_daemon.reset();
}

bool PulseServer::pactl(const QStringList& args, QString* output) {
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(1000);
        return false;
    }
    if (output)
        *output = QString::fromUtf8(p.readAllStandardOutput());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QProcess* PulseServer::spawn(const QString& program, const QStringList& args, const QString& stdinFile) {
    auto p = std::make_unique<QProcess>();
    if (!stdinFile.isEmpty())
        p->setStandardInputFile(stdinFile);
    p->setStandardOutputFile(QProcess::nullDevice());
    p->start(program, args);
    p->waitForStarted(5000);
    m_clients.push_back(std::move(p));
    return m_clients.back().get();
}

QProcess* PulseServer::play(const QString& device, const QString& wav) {
    return spawn(QStringLiteral("paplay"), {QStringLiteral("--device=") + device, wav});
}

QProcess* PulseServer::record(const QString& device) {
    return spawn(QStringLiteral("parec"), {QStringLiteral("-d"), device});
}

QProcess* PulseServer::keepAwake(const QString& sink) {
    return spawn(QStringLiteral("pacat"),
                 {QStringLiteral("-p"), QStringLiteral("--latency-msec=10"), QStringLiteral("--device=") + sink,
                  QStringLiteral("--raw"), QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                  QStringLiteral("--channels=1")},
                 QStringLiteral("/dev/zero"));
}

} // namespace quippet::test
