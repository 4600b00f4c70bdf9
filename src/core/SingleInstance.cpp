#include "core/SingleInstance.h"

#include "core/Clock.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quippet {

namespace {

// A folder only this user can enter: ours, a real folder (not a link), no access for group or others.
bool isPrivateFolder(const QString& path) {
    struct stat info {};
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

// The other end of a connected local socket runs as this user.
bool peerIsSameUser(qintptr descriptor) {
    struct ucred peer {};
    socklen_t size = sizeof peer;
    return descriptor >= 0 && ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           peer.uid == ::getuid();
}

} // namespace

SingleInstance::SingleInstance(QString name, Clock* clock, QObject* parent) : QObject(parent), m_clock(clock) {
    if (name.startsWith(QLatin1Char('/'))) {
        m_path = std::move(name);
    } else {
        const QString folder = socketDirectory();
        if (!folder.isEmpty())
            m_path = folder + QLatin1Char('/') + name;
    }
    if (!m_clock) {
        m_ownClock = std::make_unique<SystemClock>();
        m_clock = m_ownClock.get();
    }
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (isPrivateFolder(runtime))
        return runtime;
    // No usable runtime folder (a bare session, a cron job): a folder of our own that nobody else may have made.
    const QString fallback = QDir::tempPath() + QStringLiteral("/quippet-%1").arg(::getuid());
    ::mkdir(QFile::encodeName(fallback).constData(), 0700);
    return isPrivateFolder(fallback) ? fallback : QString();
}

bool SingleInstance::sendToRunning(const QStringList& messages, int timeoutMs) {
    if (m_path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(m_path);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    if (!peerIsSameUser(socket.socketDescriptor()))
        return false;
    for (const QString& message : messages)
        socket.write(message.toUtf8() + '\n');
    // An empty line marks the end, so that a bare second start (no URL) still counts as delivered.
    socket.write("\n");
    socket.flush();
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(timeoutMs)) {
    }
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(timeoutMs);
    return true;
}

bool SingleInstance::listen(Mode mode) {
    if (m_path.isEmpty())
        return false;
    // Qt binds beside the path and renames over it, so an existing socket is never reported as in use: the file
    // in the way is checked here. A live instance answers a connect; a crashed one's leftover does not and may go.
    struct stat info {};
    if (mode == Mode::Normal && ::lstat(QFile::encodeName(m_path).constData(), &info) == 0) {
        QLocalSocket probe;
        probe.connectToServer(m_path);
        if (probe.waitForConnected(500)) {
            probe.abort();
            return false;
        }
    }
    QLocalServer::removeServer(m_path);
    delete m_server;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_path))
        return false;
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
    return true;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!peerIsSameUser(socket->socketDescriptor())) {
            socket->abort();
            continue;
        }
        // A sender that connects and then says nothing is dropped.
        Timer* idle = m_clock->createTimer(socket);
        idle->setSingleShot(true);
        connect(idle, &Timer::timeout, socket, &QLocalSocket::abort);
        idle->start(kIdleTimeout);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, idle] {
            QStringList lines;
            while (socket->canReadLine()) {
                const QByteArray line = socket->readLine(kMaxLineBytes + 2);
                if (!line.endsWith('\n')) {
                    socket->abort(); // longer than any command or sign-in link
                    return;
                }
                const QByteArray text = line.trimmed();
                if (!text.isEmpty())
                    lines << QString::fromUtf8(text);
            }
            if (socket->bytesAvailable() > kMaxLineBytes) {
                socket->abort();
                return;
            }
            idle->start(kIdleTimeout);
            // The lines are acted on after this handler has returned: acting may turn the event loop, in which the
            // sender's disconnect deletes this socket.
            if (!lines.isEmpty()) {
                QMetaObject::invokeMethod(
                    this,
                    [this, lines] {
                        for (const QString& line : lines)
                            emit messageReceived(line);
                    },
                    Qt::QueuedConnection);
            }
        });
    }
}

} // namespace quippet
