// Document names from the backend: an accepted name is a plain, visible file name.
#include "backend/ContextSync.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString name = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    if (quippet::ContextSync::isSafeDocumentName(name) &&
        (name.startsWith(QLatin1Char('.')) || name.contains(QLatin1Char('/')) || name.contains(QChar(0))))
        __builtin_trap();
    return 0;
}
