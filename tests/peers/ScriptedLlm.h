#pragma once

#include "assistant/LlmClient.h"

#include <QList>
#include <QPointer>

namespace quippet::test {

// An in-process language model for engine tests: records every request and lets the test drive its stream
// (fragments, status lines, the end) one step at a time.
class ScriptedLlm final : public LlmClient {
public:
    struct Request {
        QString system;
        QList<LlmPart> parts;
        Callbacks callbacks;
        QPointer<QObject> context;
        bool done = false;
    };

    void stream(const QString& systemInstruction, const QList<LlmPart>& parts, Callbacks callbacks,
                QObject* context) override;

    int count() const { return int(m_requests.size()); }
    const Request& last() const { return m_requests.back(); }
    QString lastUserText() const;

    void chunk(int i, const QString& fragment);
    void status(int i, const QString& line);
    void finish(int i, const std::optional<QString>& error = std::nullopt);
    // Streams the fragments and ends the newest request successfully.
    void reply(const QStringList& fragments);

private:
    bool live(int i) const;
    QList<Request> m_requests;
};

} // namespace quippet::test
