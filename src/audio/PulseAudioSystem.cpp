#include "audio/PulseAudioSystem.h"

#include "audio/EchoCanceller.h"
#include "audio/PulseCore.h"

namespace quippet {

PulseAudioSystem::PulseAudioSystem(QObject* parent) : AudioSystem(parent), m_core(std::make_shared<PulseCore>()) {
    auto l = m_core->lock();
    m_core->m_capture = this;
}

PulseAudioSystem::~PulseAudioSystem() {
    auto l = m_core->lock();
    m_core->m_capture = nullptr;
    m_core->m_audio = nullptr;
    m_core->m_systemWanted = false;
    m_core->m_micWanted = false;
    m_core->reconcile();
    m_core->m_canceller.reset();
}

void PulseAudioSystem::setAudioHandler(AudioFn handler) {
    auto l = m_core->lock();
    m_core->m_audio = std::move(handler);
}

void PulseAudioSystem::start() {
    auto l = m_core->lock();
    m_core->m_systemWanted = true;
    m_core->ensureConnected();
    m_core->reconcile();
}

void PulseAudioSystem::startMic(std::unique_ptr<EchoCanceller> canceller) {
    auto l = m_core->lock();
    m_core->m_canceller = std::move(canceller);
    m_core->m_micWanted = true;
    m_core->m_micRestart = true;
    m_core->reconcile();
}

void PulseAudioSystem::recheck() {
    auto l = m_core->lock();
    m_core->ensureConnected();
    m_core->queryServer();
}

void PulseAudioSystem::setInput(PermissionState state) {
    if (state == m_input)
        return;
    m_input = state;
    emit inputAvailabilityChanged();
}

void PulseAudioSystem::setRoute(const OutputRoute& route) {
    if (route.sameRoute(m_route) && route.deviceName == m_route.deviceName)
        return;
    m_route = route;
    emit outputRouteChanged();
}

} // namespace quippet
