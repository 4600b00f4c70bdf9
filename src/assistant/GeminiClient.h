#pragma once

#include "assistant/LlmClient.h"
#include "assistant/RateGate.h"
#include "core/Clock.h"
#include "secrets/Keychain.h"

#include <QJsonObject>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <variant>

class QNetworkAccessManager;

namespace quippet {

// Streams replies from Google Gemini over server-sent events: directly with the user's own key, or through the
// backend's proxy when the user is signed in. Walks the model chain when a model answers 429. A stream that ends
// before the answer's last event (the one with the finish reason) has failed, though its text stays delivered.
// Every request of the process passes one shared rate gate. Runs on the calling thread's event loop (the main thread).
class GeminiClient final : public LlmClient {
public:
    static constexpr const char* kModel = "gemini-flash-latest";
    // The primary model followed by the fallbacks, in the order they are tried.
    static QStringList modelChain();

    // Every client of the process shares the program's one gate.
    GeminiClient(Keychain& keychain, Clock& clock, RateGate& gate);
    ~GeminiClient() override;

    void stream(const QString& systemInstruction, const QList<LlmPart>& parts, Callbacks callbacks,
                QObject* context) override;

    // The models the stored key can see, or the user-facing description of why they could not be listed.
    void verify(std::function<void(std::variant<QStringList, QString>)> done, QObject* context);

    // The localised sentence for a backend error body ({"error": code}), or nothing for any other body.
    static std::optional<QString> humanMessage(const QByteArray& body);
    static QString noKeyText();
    // Why the model listing of the own key was refused, in the user's words.
    static QString listingFailureText(int status, const QString& body);
    static QString httpFailureText(int status, const QString& body);
    // The developer line written to stderr after a stream that reported token usage.
    static QString usageLine(const QString& model, const QJsonObject& usage);
    // model is set on the proxy route only.
    static QByteArray requestBody(const QString& systemInstruction, const QList<LlmPart>& parts,
                                  const std::optional<QString>& model);
    static QUrl baseUrl(); // "geminiBaseURL" preference, else Google's address

    // One line of the server-sent event stream, read: the text pieces it carries, its token usage, and whether it is
    // the answer's last event. A line that is not "data: " followed by a JSON object carries nothing.
    struct StreamEvent {
        QStringList texts;
        std::optional<QJsonObject> usage;
        bool last = false;
    };
    static StreamEvent readEvent(QByteArrayView line);

private:
    friend class GeminiStream;

    Keychain& m_keychain;
    Clock& m_clock;
    RateGate& m_gate;
    std::unique_ptr<QNetworkAccessManager> m_network;
    // Models the provider answered 404 for on the own-key route: gone for this key, skipped from then on.
    std::shared_ptr<QSet<QString>> m_retired = std::make_shared<QSet<QString>>();
};

} // namespace quippet
