#include "audio/PulseSourceMonitor.h"

#include "audio/PulseCore.h"

#include <QMetaObject>

#include <unistd.h>

namespace quippet {

PulseSourceMonitor::~PulseSourceMonitor() {
    auto l = m_core->lock();
    if (m_core->m_monitor == this)
        m_core->m_monitor = nullptr;
}

void PulseSourceMonitor::start() {
    auto l = m_core->lock();
    m_core->m_monitor = this;
    m_core->ensureConnected();
    m_core->recountUse();
}

std::unique_ptr<SourceMonitor> PulseAudioSystem::sourceMonitor() {
    return std::make_unique<PulseSourceMonitor>(m_core);
}

namespace {
struct UseCount {
    PulseCore* core;
    uint32_t source;
    uint32_t ownClient;
    bool inUse = false;
};
} // namespace

void PulseCore::recountUse() {
    if (!m_monitor)
        return;
    if (!ready() || !m_sourceKnown || m_defaultSourceIsMonitor) {
        postSourceState(false);
        return;
    }
    auto* count = new UseCount{this, m_defaultSourceIndex, pa_context_get_index(m_context)};
    auto cb = [](pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
        auto* count = static_cast<UseCount*>(userdata);
        if (info && eol == 0) {
            const QString pid = paText(pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID));
            const bool own = info->client == count->ownClient || pid == QString::number(getpid());
            // Module streams (loopbacks, remaps) have no client; corked streams are not recording. (Every client
            // stream has an owner module too: the protocol module it came through.)
            if (info->source == count->source && !info->corked && info->client != PA_INVALID_INDEX && !own)
                count->inUse = true;
            return;
        }
        if (count->source == count->core->m_defaultSourceIndex)
            count->core->postSourceState(count->inUse);
        delete count;
    };
    if (pa_operation* op = pa_context_get_source_output_info_list(m_context, cb, count))
        pa_operation_unref(op);
    else
        delete count;
}

void PulseCore::postSourceState(bool inUse) {
    if (auto* monitor = m_monitor) {
        const QString source = m_sourceKnown ? QString::fromStdString(m_defaultSource) : QString();
        QMetaObject::invokeMethod(
            monitor, [monitor, source, inUse] { emit monitor->sourceState(source, inUse); }, Qt::QueuedConnection);
    }
}

} // namespace quippet
