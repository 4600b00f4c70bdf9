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
    m_http.route("POST", "/api/auth/device/start", [this](const HttpRequest&) {
        const QString code = QString("dev-%1").arg(m_devices.size() + 1);
        m_devices.insert(code, {});
        m_lastDeviceCode = code;
        QJsonObject answer{{"device_code", code},
                           {"user_code", "ABCD-1234"},
                           {"verification_uri_complete", baseUrl().toString() + "/device?code=" + code}};
        if (m_interval)
            answer.insert("interval", *m_interval);
        if (m_expiresIn)
            answer.insert("expires_in", *m_expiresIn);
        return jsonAnswer(200, answer);
    });
    m_http.route("POST", "/api/auth/device/token", [this](const HttpRequest& request) { return deviceToken(request); });
    // Everything else needs the bearer token.
    auto guarded = [this](const char* method, const QString& path, HttpPeer::Handler handler) {
        m_http.route(method, path, [this, handler](const HttpRequest& request) {
            return authorised(request) ? handler(request) : unauthorised();
        });
    };
    guarded("GET", "/api/me", [this](const HttpRequest&) {
        return jsonAnswer(
            200,
            {{"email", m_account.email}, {"secondsRemaining", m_account.secondsRemaining}, {"tier", m_account.tier}});
    });
    guarded("POST", "/api/session/start", [this](const HttpRequest& r) { return sessionStart(r); });
    guarded("POST", "/api/session/heartbeat", [this](const HttpRequest& r) { return heartbeat(r); });
    guarded("POST", "/api/session/end", [this](const HttpRequest& r) { return sessionEnd(r); });
    guarded("GET", "/api/context", [this](const HttpRequest&) { return contextListing(); });
    guarded("POST", "/api/stt/token", [this](const HttpRequest&) {
        return jsonAnswer(200, {{"token", QString("stt-%1").arg(++m_sttTokens)}});
    });
    m_http.routeStream("POST", "/api/llm", [this](const HttpRequest& request, HttpStream* stream) {
        const QString model = bodyOf(request).value("model").toString();
        if (!authorised(request))
            stream->respond(401, "application/json", R"({"error":"unauthorized"})");
        else if (!m_llm || model.isEmpty())
            stream->respond(502, "application/json", R"({"error":"upstream"})");
        else
            m_llm->serve(model, request, stream);
    });
    // A document download: GET /api/context/<name>.
    m_http.setFallback([this](const HttpRequest& request) {
        const QString prefix = "/api/context/";
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
        return jsonAnswer(400, {{"error", *m_tokenRefusal}});
    const QString code = bodyOf(request).value("device_code").toString();
    const auto device = m_devices.find(code);
    if (device == m_devices.end())
        return jsonAnswer(400, {{"error", "invalid_grant"}});
    if (!device->confirmed)
        return jsonAnswer(400, {{"error", "authorization_pending"}});
    if (device->spent)
        return jsonAnswer(400, {{"error", "invalid_grant"}});
    device->spent = true;
    const QString token = QString("token-%1").arg(++m_tokensIssued);
    m_tokens.insert(token);
    return jsonAnswer(200, {{"access_token", token}, {"token_type", "bearer"}});
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
        return jsonAnswer(402, {{"error", "insufficient_credit"}, {"secondsRemaining", 0}});
    // The free plan allows one listening session.
    if (m_account.tier == "free" && !m_sessions.isEmpty())
        return jsonAnswer(403, {{"error", "free_session_limit"}});
    const QJsonObject body = bodyOf(request);
    Session s;
    s.id = QString("sess-%1").arg(m_sessions.size() + 1);
    s.company = body.value("company").toString();
    s.topic = body.value("topic").toString();
    m_sessions.append(s);
    return jsonAnswer(200, {{"session", QJsonObject{{"id", s.id}}},
                            {"secondsRemaining", m_account.secondsRemaining},
                            {"maxSeconds", qMin(m_account.maxSeconds, m_account.secondsRemaining)},
                            {"tier", m_account.tier}});
}

HttpResponse BackendPeer::heartbeat(const HttpRequest& request) {
    const QJsonObject body = bodyOf(request);
    Session* s = session(body.value("sessionId").toString());
    if (!s)
        return jsonAnswer(404, {{"error", "no_open_session"}});
    s->secondsUsed = body.value("secondsUsed").toInt();
    const int remaining = qMax(0, m_account.secondsRemaining - s->secondsUsed);
    return jsonAnswer(200, {{"secondsRemaining", remaining},
                            {"maxSeconds", qMin(m_account.maxSeconds, m_account.secondsRemaining)},
                            {"exhausted", remaining == 0 || s->secondsUsed >= m_account.maxSeconds}});
}

HttpResponse BackendPeer::sessionEnd(const HttpRequest& request) {
    const QJsonObject body = bodyOf(request);
    Session* s = session(body.value("sessionId").toString());
    if (!s)
        return jsonAnswer(404, {{"error", "no_open_session"}});
    s->ended = true;
    s->secondsUsed = body.value("secondsUsed").toInt();
    if (body.contains("company"))
        s->company = body.value("company").toString();
    if (body.contains("topic"))
        s->topic = body.value("topic").toString();
    m_account.secondsRemaining = qMax(0, m_account.secondsRemaining - s->secondsUsed);
    return jsonAnswer(200, {{"secondsRemaining", m_account.secondsRemaining}});
}

HttpResponse BackendPeer::contextListing() const {
    QJsonArray documents;
    for (auto it = m_documents.begin(); it != m_documents.end(); ++it) {
        documents.append(QJsonObject{
            {"name", it.key()}, {"mime", it->mime}, {"size", int(it->bytes.size())}, {"updatedAt", it->updatedAt}});
    }
    return jsonAnswer(200, {{"documents", documents}});
}

} // namespace quippet::test
