#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

namespace quippet {

// One Quippet per user session. The first process listens on a local socket; a later one (typically started by the
// browser with a quippet:// URL) hands its arguments over and exits.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // name: the socket name; by default one per user and display-independent.
    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    static QString defaultName();

    // Tries to deliver messages to a running instance. True when one took them (this process should then exit).
    bool sendToRunning(const QStringList& messages, int timeoutMs = 1500);
    // Starts listening as the running instance; false when the socket cannot be taken.
    bool listen();

signals:
    void messageReceived(const QString& message);

private:
    QString m_name;
    QLocalServer* m_server = nullptr;
};

} // namespace quippet
