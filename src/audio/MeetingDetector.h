#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace quippet {

class SourceMonitor;

// Notices that a call has probably begun: another program starts recording from the default input. This program
// keeps the microphone open for its whole life, so only other programs' recordings count. Main thread.
class MeetingDetector : public QObject {
    Q_OBJECT
public:
    explicit MeetingDetector(std::unique_ptr<SourceMonitor> monitor, QObject* parent = nullptr);
    ~MeetingDetector() override;

    // Whether this program is listening itself (then a recording starting is no news).
    std::function<bool()> isCapturing = [] { return false; };

    void start();

    // The "meetingDetection" preference; absent or not a flag counts as enabled.
    static bool isEnabled();
    static void setEnabled(bool enabled);

    QString device() const { return m_device; }
    bool wasRunning() const { return m_wasRunning; }

signals:
    void meetingDetected();

private:
    void sourceState(const QString& source, bool inUse);

    std::unique_ptr<SourceMonitor> m_monitor;
    QString m_device;
    bool m_wasRunning = false;
};

} // namespace quippet
