#include "peers/BackendPeer.h"

#include "peers/LlmPeer.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace quippet::test {

namespace {
QJsonObject bodyOf(const HttpRequest& request) {
    return QJsonDocument::fromJson(request.body).object();
}
HttpResponse jsonAnswer(int status, const QJsonObject& object) {
    return HttpResponse::json(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}
} // namespace

BackendPeer::BackendPeer(QObject* parent) : QObject(parent) {
    m_http.route("POST", QStringLiteral("/api/auth/device/start"), [this](const HttpRequest&) {
        const QString code = QStringLiteral("dev-%1").arg(m_devices.size() + 1);
        m_devices.insert(code, {});
        m_lastDeviceCode = code;
        QJsonObject answer{{QStringLiteral("device_code"), code},
                           {QStringLiteral("user_code"), QStringLiteral("ABCD-1234")},
                           {QStringLiteral("verification_uri_complete"),
                            baseUrl().toString() + QStringLiteral("/device?code=") + code}};
        if (m_interval)
            answer.insert(QStringLiteral("interval"), *m_interval);
        if (m_expiresIn)
            answer.insert(QStringLiteral("expires_in"), *m_expiresIn);
        return jsonAnswer(200, answer);
    });
    m_http.route("POST", QStringLiteral("/api/auth/device/token"),
                 [this](const HttpRequest& request) { return deviceToken(request); });
    // Everything else needs the bearer token.
    auto guarded = [this](const char* method, const QString& path, HttpPeer::Handler handler) {
        m_http.route(method, path, [this, handler](const HttpRequest& request) {
            return authorised(request) ? handler(request) : unauthorised();
        });
    };
    guarded("GET", QStringLiteral("/api/me"), [this](const HttpRequest&) {
        return jsonAnswer(200, {{QStringLiteral("email"), m_account.email},
                                {QStringLiteral("secondsRemaining"), m_account.secondsRemaining},
                                {QStringLiteral("tier"), m_account.tier}});
    });
    guarded("POST", QStringLiteral("/api/session/start"), [this](const HttpRequest& r) { return sessionStart(r); });
    guarded("POST", QStringLiteral("/api/session/heartbeat"), [this](const HttpRequest& r) { return heartbeat(r); });
    guarded("POST", QStringLiteral("/api/session/end"), [this](const HttpRequest& r) { return sessionEnd(r); });
    guarded("GET", QStringLiteral("/api/context"), [this](const HttpRequest&) { return contextListing(); });
    guarded("POST", QStringLiteral("/api/stt/token"), [this](const HttpRequest&) {
        return jsonAnswer(200, {{QStringLiteral("token"), QStringLiteral("stt-%1").arg(++m_sttTokens)}});
    });
    m_http.routeStream("POST", QStringLiteral("/api/llm"), [this](const HttpRequest& request, HttpStream* stream) {
        const QString model = bodyOf(request).value(QLatin1String("model")).toString();
        if (!authorised(request))
            stream->respond(401, "application/json", R"({"error":"unauthorized"})");
        else if (!m_llm || model.isEmpty())
            stream->respond(502, "application/json", R"({"error":"upstream"})");
        else
            m_llm->serve(model, request, stream);
    });
    // A document download: GET /api/context/<name>.
    m_http.setFallback([this](const HttpRequest& request) {
        const QString prefix = QStringLiteral("/api/context/");
        if (request.method != "GET" || !request.path().startsWith(prefix))
            return HttpResponse::json(404, R"({"error":"not_found"})");
        if (!authorised(request))
            return unauthorised();
        const auto doc = m_documents.constFind(request.path().mid(prefix.size()));
        if (doc == m_documents.constEnd() || doc->status == 404)
            return HttpResponse::json(404, R"({"error":"not_found"})");
        if (doc->status != 200)
            return HttpResponse::json(doc->status, R"({"error":"failed"})");
        return HttpResponse::text(200, doc->bytes, doc->mime.toUtf8());
    });
}

bool BackendPeer::start(quint16 port) {
    return m_http.start(port);
}

void BackendPeer::confirm(const QString& deviceCode) {
    const QString code = deviceCode.isEmpty() ? m_lastDeviceCode : deviceCode;
    if (m_devices.contains(code))
        m_devices[code].confirmed = true;
}

void BackendPeer::putDocument(const QString& name, const QByteArray& bytes, const QString& updatedAt,
                              const QString& mime) {
    m_documents.insert(name, Document{bytes, updatedAt, mime, 200});
}

bool BackendPeer::authorised(const HttpRequest& request) const {
    const QByteArray header = request.header("authorization");
    return header.startsWith("Bearer ") && m_tokens.contains(QString::fromUtf8(header.mid(7)));
}

HttpResponse BackendPeer::unauthorised() {
    return HttpResponse::json(401, R"({"error":"unauthorized"})");
}

HttpResponse BackendPeer::deviceToken(const HttpRequest& request) {
    if (m_tokenRefusal)
        return jsonAnswer(400, {{QStringLiteral("error"), *m_tokenRefusal}});
    const QString code = bodyOf(request).value(QLatin1String("device_code")).toString();
    const auto device = m_devices.find(code);
    if (device == m_devices.end())
        return jsonAnswer(400, {{QStringLiteral("error"), QStringLiteral("invalid_grant")}});
    if (!device->confirmed)
        return jsonAnswer(400, {{QStringLiteral("error"), QStringLiteral("authorization_pending")}});
    if (device->spent && !m_reissue)
        return jsonAnswer(400, {{QStringLiteral("error"), QStringLiteral("invalid_grant")}});
    device->spent = true;
    const QString token = QStringLiteral("token-%1").arg(++m_tokensIssued);
    m_tokens.insert(token);
    return jsonAnswer(
        200, {{QStringLiteral("access_token"), token}, {QStringLiteral("token_type"), QStringLiteral("bearer")}});
}

BackendPeer::Session* BackendPeer::session(const QString& id) {
    for (Session& s : m_sessions) {
        if (s.id == id && !s.ended)
            return &s;
    }
    return nullptr;
}

HttpResponse BackendPeer::sessionStart(const HttpRequest& request) {
    if (m_account.secondsRemaining <= 0)
        return jsonAnswer(402, {{QStringLiteral("error"), QStringLiteral("insufficient_credit")},
                                {QStringLiteral("secondsRemaining"), 0}});
    // The free plan allows one listening session.
    if (m_account.tier == QLatin1String("free") && !m_sessions.isEmpty())
        return jsonAnswer(403, {{QStringLiteral("error"), QStringLiteral("free_session_limit")}});
    const QJsonObject body = bodyOf(request);
    Session s;
    s.id = QStringLiteral("sess-%1").arg(m_sessions.size() + 1);
    s.company = body.value(QLatin1String("company")).toString();
    s.topic = body.value(QLatin1String("topic")).toString();
    m_sessions.append(s);
    return jsonAnswer(200, {{QStringLiteral("session"), QJsonObject{{QStringLiteral("id"), s.id}}},
                            {QStringLiteral("secondsRemaining"), m_account.secondsRemaining},
                            {QStringLiteral("maxSeconds"), qMin(m_account.maxSeconds, m_account.secondsRemaining)},
                            {QStringLiteral("tier"), m_account.tier}});
}

HttpResponse BackendPeer::heartbeat(const HttpRequest& request) {
    const QJsonObject body = bodyOf(request);
    Session* s = session(body.value(QLatin1String("sessionId")).toString());
    if (!s)
        return jsonAnswer(404, {{QStringLiteral("error"), QStringLiteral("no_open_session")}});
    s->secondsUsed = body.value(QLatin1String("secondsUsed")).toInt();
    const int remaining = qMax(0, m_account.secondsRemaining - s->secondsUsed);
    return jsonAnswer(200, {{QStringLiteral("secondsRemaining"), remaining},
                            {QStringLiteral("maxSeconds"), qMin(m_account.maxSeconds, m_account.secondsRemaining)},
                            {QStringLiteral("exhausted"), remaining == 0 || s->secondsUsed >= m_account.maxSeconds}});
}

HttpResponse BackendPeer::sessionEnd(const HttpRequest& request) {
    const QJsonObject body = bodyOf(request);
    Session* s = session(body.value(QLatin1String("sessionId")).toString());
    if (!s)
        return jsonAnswer(404, {{QStringLiteral("error"), QStringLiteral("no_open_session")}});
    s->ended = true;
    s->secondsUsed = body.value(QLatin1String("secondsUsed")).toInt();
    if (body.contains(QLatin1String("company")))
        s->company = body.value(QLatin1String("company")).toString();
    if (body.contains(QLatin1String("topic")))
        s->topic = body.value(QLatin1String("topic")).toString();
    m_account.secondsRemaining = qMax(0, m_account.secondsRemaining - s->secondsUsed);
    return jsonAnswer(200, {{QStringLiteral("secondsRemaining"), m_account.secondsRemaining}});
}

HttpResponse BackendPeer::contextListing() const {
    QJsonArray documents;
    for (auto it = m_documents.begin(); it != m_documents.end(); ++it) {
        documents.append(QJsonObject{{QStringLiteral("name"), it.key()},
                                     {QStringLiteral("mime"), it->mime},
                                     {QStringLiteral("size"), int(it->bytes.size())},
                                     {QStringLiteral("updatedAt"), it->updatedAt}});
    }
    return jsonAnswer(200, {{QStringLiteral("documents"), documents}});
}

} // namespace quippet::test
