#pragma once

namespace quippet::OwnerMode {
// QUIPPET_OWNER=1 turns it on; otherwise the "ownerMode" preference decides. Read afresh every time.
bool isOn();
} // namespace quippet::OwnerMode
