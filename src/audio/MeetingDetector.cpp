#include "audio/MeetingDetector.h"

#include "audio/SourceMonitor.h"
#include "core/Settings.h"

namespace quippet {

MeetingDetector::MeetingDetector(std::unique_ptr<SourceMonitor> monitor, QObject* parent)
    : QObject(parent), m_monitor(std::move(monitor)) {}

MeetingDetector::~MeetingDetector() = default;

void MeetingDetector::start() {
    connect(m_monitor.get(), &SourceMonitor::sourceState, this, &MeetingDetector::sourceState);
    m_monitor->start();
}

bool MeetingDetector::isEnabled() {
    const QVariant v = Settings::value(Settings::kMeetingDetection);
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    // Stored settings come back as text.
    if (v.typeId() == QMetaType::QString) {
        const QString s = v.toString();
        if (s == QLatin1String("false"))
            return false;
    }
    return true;
}

void MeetingDetector::setEnabled(bool enabled) {
    Settings::setValue(Settings::kMeetingDetection, enabled);
}

void MeetingDetector::sourceState(const QString& source, bool inUse) {
    if (source.isEmpty())
        return; // no answer about the default input: keep watching what we had
    if (source != m_device) {
        // A device that is already in use when it becomes the default is not a new meeting.
        m_device = source;
        m_wasRunning = inUse;
        return;
    }
    if (!inUse) {
        m_wasRunning = false;
        return;
    }
    if (m_wasRunning)
        return;
    m_wasRunning = true;
    if (!isEnabled())
        return;
    if (!isCapturing())
        emit meetingDetected();
}

} // namespace quippet
