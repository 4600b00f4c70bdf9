#include "audio/PulseCore.h"

#include "audio/EchoCanceller.h"

#include <QMetaObject>

#include <sys/time.h>
#include <unistd.h>

namespace quippet {

void PulseCore::releaseStream(pa_stream* s) {
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    pa_stream_set_write_callback(s, nullptr, nullptr);
    if (pa_stream_get_state(s) == PA_STREAM_READY || pa_stream_get_state(s) == PA_STREAM_CREATING)
        pa_stream_disconnect(s);
    pa_stream_unref(s);
}

PulseCore::PulseCore() : m_mainloop(pa_threaded_mainloop_new()) {
    pa_threaded_mainloop_set_name(m_mainloop, "quippet.pulse");
    pa_threaded_mainloop_start(m_mainloop);
}

PulseCore::~PulseCore() {
    {
        auto l = lock();
        m_wantConnected = false;
        dropConnection();
        if (m_retry) {
            pa_threaded_mainloop_get_api(m_mainloop)->time_free(m_retry);
            m_retry = nullptr;
        }
    }
    pa_threaded_mainloop_stop(m_mainloop);
    pa_threaded_mainloop_free(m_mainloop);
}

void PulseCore::ensureConnected() {
    if (m_wantConnected)
        return;
    m_wantConnected = true;
    connect();
}

void PulseCore::connect() {
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Quippet");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "quippet");
    pa_proplist_sets(props, PA_PROP_APPLICATION_PROCESS_ID, std::to_string(getpid()).c_str());
    m_context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(m_mainloop), "Quippet", props);
    pa_proplist_free(props);
    if (!m_context) {
        scheduleRetry(kRetryUsec);
        return;
    }
    pa_context_set_state_callback(m_context, &PulseCore::onContextState, this);
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        dropConnection();
        if (!m_everConnected)
            postInput(PermissionState::Denied);
        scheduleRetry(kRetryUsec);
    }
}

void PulseCore::dropConnection() {
    closeStream(m_system);
    closeStream(m_mic);
    while (!m_playbacks.empty())
        endPlayback(m_playbacks.front().get(), QStringLiteral("utracono połączenie z serwerem dźwięku"));
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    m_defaultSink.clear();
    m_defaultSource.clear();
    m_sinkMonitor.clear();
    m_defaultSourceIndex = PA_INVALID_INDEX;
    m_sourceKnown = false;
}

void PulseCore::scheduleRetry(pa_usec_t after) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mainloop);
    if (m_retry)
        api->time_free(m_retry);
    timeval tv;
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, after);
    m_retry = api->time_new(api, &tv, &PulseCore::onRetry, this);
}

void PulseCore::onRetry(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    api->time_free(e);
    core->m_retry = nullptr;
    if (!core->m_wantConnected)
        return;
    if (core->ready())
        core->queryServer(); // a stream failed: look again at what the defaults are now
    else if (!core->m_context)
        core->connect();
}

void PulseCore::onContextState(pa_context* c, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY:
        core->m_everConnected = true;
        if (core->m_lossNoted) {
            core->m_lossNoted = false;
            core->postNote(QStringLiteral("audio systemowe: serwer dźwięku znowu dostępny"));
        }
        core->connectWaitingPlaybacks();
        pa_context_set_subscribe_callback(c, &PulseCore::onEvent, core);
        if (pa_operation* op = pa_context_subscribe(
                c,
                pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK |
                                       PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT),
                nullptr, nullptr))
            pa_operation_unref(op);
        core->queryServer();
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        if (core->m_everConnected && !core->m_lossNoted) {
            core->m_lossNoted = true;
            core->postNote(QStringLiteral("audio systemowe: utracono połączenie z serwerem dźwięku — ponawiam"));
        } else if (!core->m_everConnected) {
            core->postInput(PermissionState::Denied);
        }
        core->dropConnection();
        core->postSourceState(false);
        if (core->m_wantConnected)
            core->scheduleRetry(kRetryUsec);
        break;
    default:
        break;
    }
}

void PulseCore::onEvent(pa_context*, pa_subscription_event_type_t t, uint32_t, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    switch (t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
    case PA_SUBSCRIPTION_EVENT_SERVER:
    case PA_SUBSCRIPTION_EVENT_SINK: // ports switch (headphones plugged in), devices come and go
        core->queryServer();
        break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
        if ((t & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE)
            core->queryServer();
        break;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
        core->recountUse();
        break;
    default:
        break;
    }
}

void PulseCore::queryServer() {
    if (!ready())
        return;
    if (pa_operation* op = pa_context_get_server_info(m_context, &PulseCore::onServerInfo, this))
        pa_operation_unref(op);
}

void PulseCore::onServerInfo(pa_context* c, const pa_server_info* info, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    if (!info)
        return;
    core->m_defaultSink = info->default_sink_name ? info->default_sink_name : "";
    const std::string source = info->default_source_name ? info->default_source_name : "";
    if (source != core->m_defaultSource) {
        // Until its details arrive, what is known about the old default must not be reported under the new name.
        core->m_sourceKnown = false;
        core->m_defaultSourceIndex = PA_INVALID_INDEX;
        core->m_defaultSource = source;
    }
    if (core->m_defaultSink.empty()) {
        core->m_sinkMonitor.clear();
        OutputRoute none;
        none.description = QStringLiteral("brak urządzenia");
        core->postRoute(none);
    } else if (pa_operation* op =
                   pa_context_get_sink_info_by_name(c, core->m_defaultSink.c_str(), &PulseCore::onSinkInfo, core)) {
        pa_operation_unref(op);
    }
    if (core->m_defaultSource.empty()) {
        core->m_sourceKnown = false;
        core->postInput(PermissionState::Denied);
        core->reconcile();
        core->recountUse();
    } else if (pa_operation* op = pa_context_get_source_info_by_name(c, core->m_defaultSource.c_str(),
                                                                     &PulseCore::onSourceInfo, core)) {
        pa_operation_unref(op);
    }
}

void PulseCore::onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    if (eol < 0) { // the default sink vanished between the two answers
        core->m_sinkMonitor.clear();
        core->reconcile();
        return;
    }
    if (info) {
        core->m_sinkMonitor = info->monitor_source_name ? info->monitor_source_name : "";
        core->postRoute(classifyOutput(factsOf(*info)));
        return;
    }
    core->reconcile();
}

void PulseCore::onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self) {
    auto* core = static_cast<PulseCore*>(self);
    if (eol < 0) {
        core->m_sourceKnown = false;
        core->postInput(PermissionState::Denied);
        core->reconcile();
        core->recountUse();
        return;
    }
    if (info) {
        core->m_sourceKnown = true;
        core->m_defaultSourceIndex = info->index;
        core->m_defaultSourceIsMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
        core->m_sourceDescription = paText(info->description);
        return;
    }
    // A monitor of an output is not a microphone: recording it as the user would transcribe the client twice.
    core->postInput(core->m_sourceKnown && !core->m_defaultSourceIsMonitor ? PermissionState::Granted
                                                                           : PermissionState::Denied);
    core->reconcile();
    core->recountUse();
}

void PulseCore::postFailure(const QString& line) {
    // A device that keeps refusing is retried every half second, and two failures may take turns: each is said
    // once until something works again.
    if (m_failuresNoted.contains(line))
        return;
    m_failuresNoted.insert(line);
    post(line);
}

void PulseCore::postNote(const QString& line) {
    m_failuresNoted.clear();
    if (line == m_lastNote)
        return;
    post(line);
}

void PulseCore::post(const QString& line) {
    m_lastNote = line;
    if (auto* capture = m_capture)
        QMetaObject::invokeMethod(
            capture, [capture, line] { emit capture->noted(line); }, Qt::QueuedConnection);
}

void PulseCore::postInput(PermissionState state) {
    m_input = state;
    if (auto* capture = m_capture)
        QMetaObject::invokeMethod(
            capture, [capture, state] { capture->setInput(state); }, Qt::QueuedConnection);
}

void PulseCore::postRoute(const OutputRoute& route) {
    if (auto* capture = m_capture)
        QMetaObject::invokeMethod(
            capture, [capture, route] { capture->setRoute(route); }, Qt::QueuedConnection);
}

} // namespace quippet
