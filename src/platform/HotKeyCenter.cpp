#include "platform/HotKeyCenter.h"

#include <QPointer>

namespace quippet {

HotKeyCenter::HotKeyCenter(std::unique_ptr<HotKeyBackend> backend, QObject* parent)
    : QObject(parent), m_backend(std::move(backend)) {
    if (!m_backend)
        return;
    QPointer<HotKeyCenter> self(this);
    m_backend->onPressed = [self](std::uint32_t id) {
        if (self)
            self->pressed(id);
    };
}

HotKeyCenter::~HotKeyCenter() {
    if (!m_backend)
        return;
    m_backend->onPressed = {};
    for (std::uint32_t id : std::as_const(m_registered))
        m_backend->ungrab(id);
}

bool HotKeyCenter::registerHotKey(std::uint32_t keySym, std::uint32_t modifiers, std::function<void()> handler) {
    const std::uint32_t id = m_nextId++;
    m_handlers.insert(id, std::move(handler));
    if (!m_backend || !m_backend->grab(id, keySym, modifiers)) {
        m_handlers.remove(id);
        return false;
    }
    m_registered << id;
    return true;
}

void HotKeyCenter::pressed(std::uint32_t id) {
    // The handler runs on a later turn of the loop, outside the native event dispatch (handlers open windows and
    // start network requests), and is looked up only then.
    QMetaObject::invokeMethod(
        this,
        [this, id] {
            const auto it = m_handlers.constFind(id);
            if (it != m_handlers.constEnd() && *it) {
                const std::function<void()> handler = *it; // a handler may register more shortcuts
                handler();
            }
        },
        Qt::QueuedConnection);
}

} // namespace quippet
