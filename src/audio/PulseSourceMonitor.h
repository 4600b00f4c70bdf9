#pragma once

#include "audio/SourceMonitor.h"

#include <memory>

namespace quippet {

class PulseCore;

// The meeting detector's view of the default input, on the capture's PulseAudio connection; may outlive the
// PulseAudioSystem that made it.
class PulseSourceMonitor final : public SourceMonitor {
public:
    explicit PulseSourceMonitor(std::shared_ptr<PulseCore> core) : m_core(std::move(core)) {}
    ~PulseSourceMonitor() override;
    void start() override;

private:
    std::shared_ptr<PulseCore> m_core;
};

} // namespace quippet
