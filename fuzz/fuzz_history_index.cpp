// The history index read from disk: whatever decodes is written back and reads the same.
#include "records/SessionStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using quippet::SessionStore;
    const auto entries = SessionStore::decodeIndex(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (entries && SessionStore::decodeIndex(SessionStore::encodeIndex(*entries)) != entries)
        __builtin_trap();
    return 0;
}
