#include "peers/LlmPeer.h"

#include <algorithm>

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include <memory>

namespace quippet::test {

namespace {
const QList<std::pair<QByteArray, QByteArray>> kSseHeaders = {{"Content-Type", "text/event-stream"}};
const QByteArray kBadKey = R"({"error":{"code":400,"message":"API key not valid.","status":"INVALID_ARGUMENT"}})";

// Pieces go out one per timer tick so the client sees them arrive separately.
void writePiece(HttpStream* stream, std::shared_ptr<const LlmScript> script, qsizetype index) {
    QTimer::singleShot(index == 0 ? script->firstDelayMs : script->delayMs, stream, [stream, script, index] {
        if (!stream->isOpen())
            return;
        if (index >= script->pieces.size()) {
            if (script->cut)
                stream->drop();
            else
                stream->end();
            return;
        }
        stream->write(script->pieces.at(index));
        writePiece(stream, script, index + 1);
    });
}
} // namespace

LlmScript LlmScript::reply(const QStringList& texts, std::optional<QJsonObject> usage) {
    LlmScript script;
    for (const QString& text : texts)
        script.pieces.append(LlmPeer::textEvent({text}));
    QJsonObject closing{{"candidates", QJsonArray{QJsonObject{{"finishReason", "STOP"}}}}};
    if (usage)
        closing.insert("usageMetadata", *usage);
    script.pieces.append(LlmPeer::event(closing));
    return script;
}

LlmScript LlmScript::failure(int status, const QByteArray& body, const QByteArray& type) {
    LlmScript script;
    script.status = status;
    script.errorBody = body;
    script.errorType = type;
    return script;
}

QByteArray LlmPeer::event(const QJsonObject& object) {
    return "data: " + QJsonDocument(object).toJson(QJsonDocument::Compact) + "\r\n\r\n";
}

QByteArray LlmPeer::textEvent(const QStringList& texts) {
    QJsonArray parts;
    for (const QString& text : texts)
        parts.append(QJsonObject{{"text", text}});
    const QJsonObject content{{"role", "model"}, {"parts", parts}};
    return event(QJsonObject{{"candidates", QJsonArray{QJsonObject{{"content", content}}}}});
}

QJsonObject LlmPeer::usage(int prompt, int cached, int thoughts, int candidates) {
    return {{"promptTokenCount", prompt},
            {"cachedContentTokenCount", cached},
            {"thoughtsTokenCount", thoughts},
            {"candidatesTokenCount", candidates}};
}

LlmPeer::LlmPeer(QObject* parent) : QObject(parent) {
    for (const char* model : {"gemini-flash-latest", "gemini-flash-lite-latest", "gemini-2.5-flash-lite"})
        script(QString::fromLatin1(model), LlmScript::reply({"Dzień dobry"}));
    m_listing = {"models/gemini-flash-latest", "models/gemini-2.5-flash-lite"};
    m_http.route("GET", "/v1beta/models", [this](const HttpRequest& request) {
        if (request.query().queryItemValue("key", QUrl::FullyDecoded) != m_key)
            return HttpResponse::json(400, kBadKey);
        // Pages as Google's listing gives them: 50 models unless asked for more, 1000 at most.
        const QUrlQuery query = request.query();
        const int size =
            query.hasQueryItem("pageSize") ? std::clamp(query.queryItemValue("pageSize").toInt(), 1, 1000) : 50;
        const int from = query.queryItemValue("pageToken").toInt();
        QJsonArray models;
        for (qsizetype i = from; i < std::min<qsizetype>(from + size, m_listing.size()); ++i)
            models.append(QJsonObject{{"name", m_listing.at(i)}});
        QJsonObject page{{"models", models}};
        if (from + size < m_listing.size())
            page.insert("nextPageToken", QString::number(from + size));
        return HttpResponse::json(200, QJsonDocument(page).toJson());
    });
}

bool LlmPeer::start(quint16 port) {
    return m_http.start(port);
}

void LlmPeer::script(const QString& model, const LlmScript& script) {
    if (!m_scripts.contains(model))
        routeModel(model);
    m_scripts.insert(model, script);
}

void LlmPeer::routeModel(const QString& model) {
    m_http.routeStream("POST", "/v1beta/models/" + model + ":streamGenerateContent",
                       [this, model](const HttpRequest& request, HttpStream* stream) {
                           const QUrlQuery query = request.query();
                           if (query.queryItemValue("alt") != QLatin1String("sse") ||
                               (query.queryItemValue("key", QUrl::FullyDecoded) != m_key &&
                                request.header("x-goog-api-key") != m_key.toUtf8())) {
                               m_models.append(model);
                               stream->respond(400, "application/json", kBadKey);
                               return;
                           }
                           serve(model, request, stream);
                       });
}

void LlmPeer::serve(const QString& model, const HttpRequest& request, HttpStream* stream) {
    m_models.append(model);
    m_bodies.append(QJsonDocument::fromJson(request.body).object());
    const auto found = m_scripts.constFind(model);
    if (found == m_scripts.constEnd()) {
        stream->respond(404, "application/json",
                        R"({"error":{"code":404,"message":"model not found","status":"NOT_FOUND"}})");
        return;
    }
    const LlmScript script = *found;
    if (script.status != 200) {
        stream->respond(script.status, script.errorType, script.errorBody);
        return;
    }
    stream->writeHead(200, kSseHeaders);
    writePiece(stream, std::make_shared<const LlmScript>(script), 0);
}

} // namespace quippet::test
