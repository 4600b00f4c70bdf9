#pragma once

#include "peers/HttpPeer.h"

#include <QJsonObject>
#include <QStringList>

#include <optional>

namespace quippet::test {

// What the model peer answers for one model.
struct LlmScript {
    int status = 200;
    QByteArray errorBody; // sent with a status other than 200
    QByteArray errorType = "application/json";
    QList<QByteArray> pieces; // the event stream, written one piece per chunk, exactly as given
    int delayMs = 0;          // between pieces
    int firstDelayMs = 0;     // before the first piece (the model's time to its first event)
    bool cut = false;         // drop the connection after the last piece instead of ending

    // One event per text, then the closing event: finishReason "STOP" and the token usage when given.
    static LlmScript reply(const QStringList& texts, std::optional<QJsonObject> usage = std::nullopt);
    static LlmScript failure(int status, const QByteArray& body, const QByteArray& type = "application/json");
};

// A stand-in for the Gemini API on 127.0.0.1: "streamGenerateContent?alt=sse" per model with scripted replies,
// and the model listing. Checks the key on the direct route (query item "key" or header "x-goog-api-key"); the backend
// peer relays its proxy requests here. Records every request so tests can check the wire format and the order in which
// models were tried.
class LlmPeer : public QObject {
    Q_OBJECT
public:
    explicit LlmPeer(QObject* parent = nullptr);

    bool start(quint16 port = 0);
    QUrl baseUrl() const { return m_http.baseUrl(); }
    HttpPeer& http() { return m_http; }

    void setKey(const QString& key) { m_key = key; }
    void script(const QString& model, const LlmScript& script);
    void setListing(const QStringList& names) { m_listing = names; }

    // Models asked for, in order, by either route; and the JSON bodies received.
    const QStringList& modelsRequested() const { return m_models; }
    const QList<QJsonObject>& bodies() const { return m_bodies; }

    // Answers one streaming request for model (the proxy route calls this for its relayed requests).
    void serve(const QString& model, const HttpRequest& request, HttpStream* stream);

    static QByteArray event(const QJsonObject& object);    // "data: {...}\n\n"
    static QByteArray textEvent(const QStringList& texts); // one candidate with these text parts
    static QJsonObject usage(int prompt, int cached, int thoughts, int candidates);

private:
    void routeModel(const QString& model);

    HttpPeer m_http;
    QString m_key = QStringLiteral("test-key");
    QHash<QString, LlmScript> m_scripts;
    QStringList m_listing;
    QStringList m_models;
    QList<QJsonObject> m_bodies;
};

} // namespace quippet::test
