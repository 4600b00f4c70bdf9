// The update feed: the newest release it names, whose page is an https address or none.
#include "platform/UpdateChecker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QString error;
    const auto release =
        quippet::appcast::newest(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), &error);
    if (release && !release->page.isEmpty() && release->page.scheme() != QLatin1String("https"))
        __builtin_trap();
    return 0;
}
