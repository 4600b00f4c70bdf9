// The language model's event stream: the body is cut into lines as it arrives, the last one may lack its line feed.
#include "assistant/GeminiClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView body(data, qsizetype(size));
    qsizetype start = 0;
    for (qsizetype end; (end = body.indexOf('\n', start)) >= 0; start = end + 1)
        quippet::GeminiClient::readEvent(body.sliced(start, end - start));
    const auto last = quippet::GeminiClient::readEvent(body.sliced(start));
    for (const QString& text : last.texts)
        if (text.isEmpty())
            __builtin_trap();
    return 0;
}
