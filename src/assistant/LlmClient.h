#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace quippet {

// One entry of the user content of a model request: text, a JPEG image, or both (text goes first on the wire).
struct LlmPart {
    std::optional<QString> text;
    std::optional<QByteArray> imageJpeg;
};

// A streamed language-model reply. The assistant engine talks to this interface; the real client and test doubles
// implement it.
class LlmClient {
public:
    struct Callbacks {
        std::function<void(const QString& line)> onStatus;    // progress lines (e.g. falling back to another model)
        std::function<void(const QString& fragment)> onChunk; // reply text, in arrival order
        // Exactly once at the end: nothing on success, else the user-facing description of the failure.
        std::function<void(const std::optional<QString>& error)> onDone;
    };

    virtual ~LlmClient() = default;

    // Starts one reply. Callbacks arrive on the main thread; none arrive after `context` is destroyed.
    virtual void stream(const QString& systemInstruction, const QList<LlmPart>& parts, Callbacks callbacks,
                        QObject* context) = 0;
};

} // namespace quippet
