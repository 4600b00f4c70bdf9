#pragma once

#include "platform/HotKeyCenter.h"

#include <QList>

#include <tuple>
#include <utility>

namespace quippet::test {

using Grab = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>; // id, keysym, modifiers

// Records grabs and ungrabs; combinations listed in heldElsewhere are refused as another client's.
class FakeHotKeyBackend final : public HotKeyBackend {
public:
    struct Log {
        QList<Grab> grabs;
        QList<std::uint32_t> ungrabs;
        QList<std::pair<std::uint32_t, std::uint32_t>> heldElsewhere;
    };
    explicit FakeHotKeyBackend(Log& log) : m_log(log) {}
    bool grab(std::uint32_t id, std::uint32_t keySym, std::uint32_t modifiers) override {
        m_log.grabs << Grab{id, keySym, modifiers};
        return !m_log.heldElsewhere.contains({keySym, modifiers});
    }
    void ungrab(std::uint32_t id) override { m_log.ungrabs << id; }
    void press(std::uint32_t id) { emit pressed(id); }

private:
    Log& m_log;
};

} // namespace quippet::test
