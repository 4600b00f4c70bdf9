#pragma once

#include <QObject>
#include <QStringList>

#include <chrono>
#include <memory>

class QLocalServer;

namespace quippet {

class Clock;

// One Quippet per user session. The first process listens on a local socket in the user's private runtime folder; a
// later one (typically started by the browser with a quippet:// URL, or a desktop shortcut's command) hands its
// arguments over and exits. Only processes of the same user are heard, and only whole lines of bounded length.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxLineBytes = 16 * 1024;
    static constexpr std::chrono::seconds kIdleTimeout{5};

    // name: the socket; a bare name is placed in socketDirectory(), an absolute path is taken as it is.
    // clock: drives the idle timeout of a connection (the system clock when null).
    explicit SingleInstance(QString name = QStringLiteral("quippet.sock"), Clock* clock = nullptr,
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR when it is ours and private, else a 0700 folder of our own in the temporary folder; empty
    // when neither can be trusted (someone else owns it or it is open to others).
    static QString socketDirectory();
    QString path() const { return m_path; }

    // Tries to deliver messages to a running instance of this user. True when one took them (this process should
    // then exit).
    bool sendToRunning(const QStringList& messages, int timeoutMs = 1500);
    // Starts listening as the running instance. A socket file nobody answers on is a crashed instance's and is
    // replaced; with TakeOver, also one that still answers (a relaunch replacing an instance that does not end).
    // False when the socket cannot be taken.
    enum class Mode { Normal, TakeOver };
    bool listen(Mode mode = Mode::Normal);

signals:
    // Delivered through the event loop, never from inside the socket's own reading, so a handler may do anything
    // (including run a nested event loop) while the sender goes away.
    void messageReceived(const QString& message);

private:
    void accept();

    QString m_path;
    Clock* m_clock;
    std::unique_ptr<Clock> m_ownClock;
    QLocalServer* m_server = nullptr;
};

} // namespace quippet
