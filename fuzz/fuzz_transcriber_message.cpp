// Messages from the speech service, as text frames and as binary frames (which must be valid UTF-8).
#include "speech/ElevenLabsTranscriber.h"

#include <QStringDecoder>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using quippet::ElevenLabsTranscriber;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    ElevenLabsTranscriber::readMessage(QString::fromUtf8(bytes));
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    if (!decoder.hasError())
        ElevenLabsTranscriber::readMessage(text);
    return 0;
}
