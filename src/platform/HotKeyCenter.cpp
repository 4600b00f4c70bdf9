#include "platform/HotKeyCenter.h"

namespace quippet {

HotKeyCenter::HotKeyCenter(std::unique_ptr<HotKeyBackend> backend, QObject* parent)
    : QObject(parent), m_backend(std::move(backend)) {
    if (!m_backend)
        return;
    connect(
        m_backend.get(), &HotKeyBackend::pressed, this,
        [this](std::uint32_t id) {
            if (isRegistered(id))
                emit activated(id);
        },
        Qt::QueuedConnection);
}

HotKeyCenter::~HotKeyCenter() {
    if (!m_backend)
        return;
    m_backend->disconnect(this);
    for (std::uint32_t id : std::as_const(m_registered))
        m_backend->ungrab(id);
}

bool HotKeyCenter::registerHotKey(std::uint32_t id, std::uint32_t keySym, std::uint32_t modifiers) {
    if (!m_backend || isRegistered(id) || !m_backend->grab(id, keySym, modifiers))
        return false;
    m_registered << id;
    return true;
}

} // namespace quippet
