#pragma once

#include <QObject>
#include <QString>

namespace quippet {

// Watches the default audio input for the meeting detector. Main thread.
class SourceMonitor : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SourceMonitor() override = default;

    virtual void start() = 0;

signals:
    // The current default input and whether another program records from it (this program's own streams, module
    // streams and monitors of outputs never count). Sent on every change of either.
    void sourceState(const QString& defaultSource, bool inUseByOthers);
};

} // namespace quippet
