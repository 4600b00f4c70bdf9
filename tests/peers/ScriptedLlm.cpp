#include "peers/ScriptedLlm.h"

namespace quippet::test {

void ScriptedLlm::stream(const QString& systemInstruction, const QList<LlmPart>& parts, Callbacks callbacks,
                         QObject* context) {
    m_requests.append({systemInstruction, parts, std::move(callbacks), context, false});
}

QString ScriptedLlm::lastUserText() const {
    if (m_requests.isEmpty() || m_requests.back().parts.isEmpty())
        return {};
    return m_requests.back().parts.first().text.value_or(QString());
}

bool ScriptedLlm::live(int i) const {
    // Like the real client: nothing arrives once the context is gone or after the end.
    const Request& r = m_requests.at(i);
    return r.context && !r.done;
}

void ScriptedLlm::chunk(int i, const QString& fragment) {
    // Copies: a callback may start a new request, which grows the list.
    if (auto f = m_requests[i].callbacks.onChunk; live(i) && f)
        f(fragment);
}

void ScriptedLlm::status(int i, const QString& line) {
    if (auto f = m_requests[i].callbacks.onStatus; live(i) && f)
        f(line);
}

void ScriptedLlm::finish(int i, const std::optional<QString>& error) {
    if (!live(i))
        return;
    m_requests[i].done = true;
    if (auto f = m_requests[i].callbacks.onDone)
        f(error);
}

void ScriptedLlm::reply(const QStringList& fragments) {
    const int i = count() - 1;
    for (const QString& f : fragments)
        chunk(i, f);
    finish(i);
}

} // namespace quippet::test
