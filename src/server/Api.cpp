#include "server/Api.h"

#include "server/Metrics.h"
#include "server/Pages.h"
#include "server/Upstream.h"
#include "server/Web.h"

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>

namespace quippet::server {

namespace {

constexpr int kUpstreamTimeoutMs = 120'000;
constexpr qsizetype kMaxUpstreamErrorBody = 64 * 1024;
constexpr qint64 kMaxFormBody = 64 * 1024;

const HeaderList kJsonHeaders = {{"Content-Type", "application/json; charset=utf-8"},
                                 {"Cache-Control", "no-store"},
                                 {"X-Content-Type-Options", "nosniff"}};

void json(HttpExchange* exchange, int status, const QVariantMap& body) {
    exchange->send(status, kJsonHeaders,
                   QJsonDocument(QJsonObject::fromVariantMap(body)).toJson(QJsonDocument::Compact));
}

void error(HttpExchange* exchange, int status, const QString& code) {
    json(exchange, status, {{QStringLiteral("error"), code}});
}

using web::escaped;
using web::field;
using web::formOf;

std::optional<QJsonObject> jsonBody(const HttpRequest& request) {
    if (request.body.trimmed().isEmpty())
        return QJsonObject();
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

QByteArray bearer(const HttpRequest& request) {
    const QByteArray header = request.header("authorization");
    if (!header.startsWith("Bearer "))
        return {};
    return header.mid(7).trimmed();
}

} // namespace

Api::Api(Store& store, ServerConfig config, Metrics* metrics, QObject* parent)
    : QObject(parent), m_store(store), m_config(std::move(config)), m_network(new QNetworkAccessManager(this)),
      m_metrics(metrics), m_pages(new Pages(store, m_config.publicUrl.scheme() == QLatin1String("https"), this)) {
    m_network->setAutoDeleteReplies(false);
}

Api::~Api() = default;

QStringList Api::models() {
    return {QStringLiteral("gemini-flash-latest"), QStringLiteral("gemini-flash-lite-latest"),
            QStringLiteral("gemini-2.5-flash-lite")};
}

qint64 Api::bodyLimit(const QByteArray& method, const QString& path) {
    if (method == "GET" || method == "HEAD")
        return 0;
    if (path == QLatin1String("/api/llm"))
        return kMaxModelBody;
    if (path == QLatin1String("/admin/documents/upload"))
        return Pages::kMaxUploadBody;
    if (!path.startsWith(QLatin1String("/api/")))
        return kMaxFormBody;
    return kMaxJsonBody;
}

void Api::handle(const HttpRequest& request, HttpExchange* exchange) {
    if (request.method == "GET" && request.path == QLatin1String("/healthz")) {
        const bool up = m_store.reachable();
        exchange->send(up ? 200 : 503, {{"Content-Type", "text/plain; charset=utf-8"}, {"Cache-Control", "no-store"}},
                       up ? "ok\n" : "database unreachable\n");
        return;
    }
    if (request.method == "GET" && request.path == QLatin1String("/metrics")) {
        exchange->send(200,
                       {{"Content-Type", "text/plain; version=0.0.4; charset=utf-8"}, {"Cache-Control", "no-store"}},
                       m_metrics ? m_metrics->text(m_store.openSessionCount()) : QByteArray());
        return;
    }
    if (request.path.startsWith(QLatin1String("/api/")))
        handleApi(request, exchange);
    else
        handlePage(request, exchange);
}

// --- the JSON API ---

void Api::handleApi(const HttpRequest& request, HttpExchange* exchange) {
    const QString& path = request.path;
    const bool post = request.method == "POST";
    const bool get = request.method == "GET";
    if (!post && !get) {
        error(exchange, 405, QStringLiteral("method_not_allowed"));
        return;
    }
    // The model's body is read by the relay itself; every other body is one JSON object.
    std::optional<QJsonObject> body;
    if (post && path != QLatin1String("/api/llm")) {
        body = jsonBody(request);
        if (!body) {
            error(exchange, 400, QStringLiteral("bad_request"));
            return;
        }
    }
    if (post && path == QLatin1String("/api/auth/device/start")) {
        const auto start =
            m_store.startDevice(body->value(QLatin1String("deviceName")).toString(), request.peer.toString());
        if (!start) {
            error(exchange, 429, QStringLiteral("slow_down"));
            return;
        }
        QUrl page = m_config.publicUrl.resolved(QUrl(QStringLiteral("device")));
        const QString verification = page.toString();
        page.setQuery(QStringLiteral("code=") + start->userCode);
        json(exchange, 200,
             {{QStringLiteral("device_code"), QString::fromLatin1(start->deviceCode)},
              {QStringLiteral("user_code"), start->userCode},
              {QStringLiteral("verification_uri"), verification},
              {QStringLiteral("verification_uri_complete"), page.toString()},
              {QStringLiteral("interval"), m_config.pollInterval},
              {QStringLiteral("expires_in"), start->expiresIn}});
        return;
    }
    if (post && path == QLatin1String("/api/auth/device/token")) {
        const auto result = m_store.exchangeDevice(body->value(QLatin1String("device_code")).toString().toUtf8(),
                                                   body->value(QLatin1String("device_name")).toString());
        if (const auto* token = std::get_if<QByteArray>(&result))
            json(exchange, 200,
                 {{QStringLiteral("access_token"), QString::fromLatin1(*token)},
                  {QStringLiteral("token_type"), QStringLiteral("Bearer")}});
        else
            error(exchange, 400, std::get<QString>(result));
        return;
    }

    const auto user = m_store.userByToken(bearer(request));
    if (!user) {
        error(exchange, 401, QStringLiteral("unauthorized"));
        return;
    }
    exchange->userId = user->id;
    auto text = [&body](const char* key) { return body->value(QLatin1String(key)).toString(); };
    auto seconds = [&body]() -> std::optional<qint64> {
        const QJsonValue value = body->value(QLatin1String("secondsUsed"));
        if (!value.isDouble())
            return std::nullopt;
        return qint64(value.toDouble());
    };
    auto reply = [exchange](const Store::Answer& answer) { json(exchange, answer.status, answer.body); };

    if (get && path == QLatin1String("/api/me")) {
        json(exchange, 200,
             {{QStringLiteral("email"), user->email},
              {QStringLiteral("secondsRemaining"), user->remaining()},
              {QStringLiteral("tier"), user->tier}});
    } else if (post && path == QLatin1String("/api/session/start")) {
        reply(m_store.startSession(*user, text("company"), text("topic")));
    } else if (post && (path == QLatin1String("/api/session/heartbeat") || path == QLatin1String("/api/session/end"))) {
        const auto used = seconds();
        if (!used || !body->value(QLatin1String("sessionId")).isString()) {
            error(exchange, 400, QStringLiteral("bad_request"));
            return;
        }
        if (path.endsWith(QLatin1String("heartbeat")))
            reply(m_store.heartbeat(*user, text("sessionId"), *used));
        else
            reply(m_store.endSession(*user, text("sessionId"), *used, text("company"), text("topic")));
    } else if (post && (path == QLatin1String("/api/stt/token") || path == QLatin1String("/api/llm"))) {
        if (const auto refusal = m_store.mayUseProviders(*user)) {
            error(exchange, refusal->first, refusal->second);
            return;
        }
        m_store.countRequest(user->id, path == QLatin1String("/api/llm") ? QStringLiteral("model")
                                                                         : QStringLiteral("speech_token"));
        if (path == QLatin1String("/api/llm"))
            relayModel(request, exchange);
        else
            speechToken(exchange);
    } else if (get && path == QLatin1String("/api/context")) {
        QJsonArray documents;
        for (const Document& doc : m_store.documents())
            documents.append(QJsonObject{{QStringLiteral("name"), doc.name},
                                         {QStringLiteral("mime"), doc.mime},
                                         {QStringLiteral("size"), doc.size},
                                         {QStringLiteral("updatedAt"), doc.updatedAt}});
        exchange->send(
            200, kJsonHeaders,
            QJsonDocument(QJsonObject{{QStringLiteral("documents"), documents}}).toJson(QJsonDocument::Compact));
    } else if (get && path.startsWith(QLatin1String("/api/context/"))) {
        const QString name = path.mid(13);
        const auto doc = Store::isSafeDocumentName(name) ? m_store.document(name) : std::nullopt;
        if (!doc) {
            error(exchange, 404, QStringLiteral("not_found"));
            return;
        }
        exchange->send(200,
                       {{"Content-Type", doc->mime.toUtf8()},
                        {"Cache-Control", "no-store"},
                        {"X-Content-Type-Options", "nosniff"},
                        {"Content-Disposition", "attachment"}},
                       doc->content);
    } else {
        error(exchange, 404, QStringLiteral("not_found"));
    }
}

void Api::speechToken(HttpExchange* exchange) {
    if (m_config.elevenLabsKey.isEmpty()) {
        error(exchange, 503, QStringLiteral("speech_not_configured"));
        return;
    }
    QUrl url = m_config.elevenLabsUrl;
    url.setPath(url.path().chopped(url.path().endsWith(QLatin1Char('/')) ? 1 : 0) +
                QStringLiteral("/v1/single-use-token/realtime_scribe"));
    QNetworkRequest request(url);
    request.setTransferTimeout(kUpstreamTimeoutMs);
    request.setRawHeader("xi-api-key", m_config.elevenLabsKey);
    QNetworkReply* reply = m_network->post(request, QByteArray());
    QPointer<HttpExchange> answer(exchange);
    QElapsedTimer timer;
    timer.start();
    connect(exchange, &HttpExchange::gone, reply, &QNetworkReply::abort);
    connect(reply, &QNetworkReply::finished, this, [this, reply, answer, timer] {
        reply->deleteLater();
        if (m_metrics)
            m_metrics->upstream(QStringLiteral("speech"), double(timer.elapsed()) / 1000);
        if (!answer)
            return;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QJsonValue token = QJsonDocument::fromJson(reply->readAll()).object().value(QLatin1String("token"));
        if (status == 200 && token.isString() && !token.toString().isEmpty()) {
            json(answer, 200, {{QStringLiteral("token"), token.toString()}});
            return;
        }
        std::fprintf(stderr, "quippet-server: the speech service gave no token (HTTP %d)\n", status);
        error(answer, 502, QStringLiteral("speech_upstream"));
    });
}

// The request goes on without "model" and with the server's key in a header; the answer's bytes go back to the
// program as they arrive, in the same socket callback that read them, so every event leaves as soon as it came in.
void Api::relayModel(const HttpRequest& request, HttpExchange* exchange) {
    QJsonParseError parseError;
    QJsonDocument doc = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        error(exchange, 400, QStringLiteral("bad_request"));
        return;
    }
    QJsonObject body = doc.object();
    const QString model = body.take(QLatin1String("model")).toString();
    if (!models().contains(model)) {
        error(exchange, 400, QStringLiteral("unknown_model"));
        return;
    }
    if (m_config.geminiKey.isEmpty()) {
        error(exchange, 503, QStringLiteral("model_not_configured"));
        return;
    }
    QUrl url = m_config.geminiUrl;
    url.setPath(url.path().chopped(url.path().endsWith(QLatin1Char('/')) ? 1 : 0) + QStringLiteral("/v1beta/models/") +
                model + QStringLiteral(":streamGenerateContent"));
    url.setQuery(QStringLiteral("alt=sse"));
    auto* upstream =
        new UpstreamRequest(url, {{"Content-Type", "application/json"}, {"x-goog-api-key", m_config.geminiKey}},
                            QJsonDocument(body).toJson(QJsonDocument::Compact), kUpstreamTimeoutMs, this);
    QPointer<HttpExchange> answer(exchange);
    connect(exchange, &HttpExchange::gone, upstream, [upstream] {
        upstream->abort();
        upstream->deleteLater();
    });
    auto errorBody = std::make_shared<QByteArray>();
    QElapsedTimer timer;
    timer.start();
    connect(upstream, &UpstreamRequest::headReceived, this, [this, upstream, answer, timer] {
        if (m_metrics)
            m_metrics->upstream(QStringLiteral("model"), double(timer.elapsed()) / 1000);
        if (answer && upstream->status() == 200)
            answer->beginStream(
                200,
                {{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-store"}, {"X-Accel-Buffering", "no"}});
    });
    connect(upstream, &UpstreamRequest::data, this, [this, upstream, answer, errorBody](const QByteArray& bytes) {
        if (!answer)
            return;
        if (upstream->status() == 200) {
            answer->write(bytes);
            if (m_metrics)
                m_metrics->proxiedEvents(bytes.count("data:"));
        } else if (errorBody->size() < kMaxUpstreamErrorBody)
            *errorBody += bytes.left(kMaxUpstreamErrorBody - errorBody->size());
    });
    connect(upstream, &UpstreamRequest::finished, this, [upstream, answer, errorBody](bool) {
        upstream->deleteLater();
        if (!answer)
            return;
        if (answer->isStreaming()) {
            answer->end(); // a cut upstream ends the stream without its last event; the program sees that
            return;
        }
        const int code = upstream->status();
        if (code == 0) {
            error(answer, 502, QStringLiteral("model_upstream"));
            return;
        }
        // The provider refusing the server's key is the operator's matter, not the user's sign-in.
        if (code == 401 || code == 403) {
            std::fprintf(stderr, "quippet-server: the model provider refused the server's key (HTTP %d)\n", code);
            error(answer, 502, QStringLiteral("model_upstream"));
            return;
        }
        // 429 and 404 keep their status: the program walks its model chain on them.
        QByteArray type = upstream->header("content-type");
        if (type.isEmpty())
            type = "application/json";
        answer->send(code, {{"Content-Type", type}, {"Cache-Control", "no-store"}}, *errorBody);
    });
    upstream->start();
}

// --- the sign-in pages ---

QByteArray Api::cookie(const QByteArray& name, const QByteArray& value, int maxAge) const {
    return web::cookie(name, value, maxAge, m_config.publicUrl.scheme() == QLatin1String("https"));
}

void Api::page(HttpExchange* exchange, int status, const QString& title, const QString& body,
               const QList<QByteArray>& cookies) {
    HeaderList headers = web::pageHeaders();
    for (const QByteArray& c : cookies)
        headers.append({"Set-Cookie", c});
    exchange->send(status, headers, web::document(m_lang, title, body));
}

QString Api::signInForm(const QString& userCode, const QByteArray& csrf, const QString& message, const QString& email) {
    const auto device = m_store.deviceByUserCode(userCode);
    QString intro;
    QString codeField;
    if (device) {
        intro = m_lang("<p>Signing in <b>%1</b> with the code <span class=\"code\">%2</span>.</p>",
                       "<p>Logowanie komputera <b>%1</b> kodem <span class=\"code\">%2</span>.</p>")
                    .arg(escaped(device->deviceName), escaped(device->userCode));
        codeField = QStringLiteral("<input type=\"hidden\" name=\"code\" value=\"%1\">").arg(escaped(device->userCode));
    } else {
        codeField = QStringLiteral("<label for=\"code\">%1</label><input type=\"text\" id=\"code\" "
                                   "name=\"code\" value=\"%2\" autocomplete=\"off\" required>")
                        .arg(m_lang("Code shown by Quippet", "Kod pokazany przez Quippet"), escaped(userCode.left(16)));
    }
    return QStringLiteral("<h1>%6</h1>%1%2<form method=\"post\" action=\"/device/signin\">"
                          "<input type=\"hidden\" name=\"csrf\" value=\"%3\">%4"
                          "<label for=\"email\">E-mail</label><input type=\"email\" id=\"email\" name=\"email\" "
                          "value=\"%5\" autocomplete=\"username\" required>"
                          "<label for=\"password\">%7</label><input type=\"password\" id=\"password\" "
                          "name=\"password\" autocomplete=\"current-password\" required>"
                          "<button type=\"submit\" id=\"signin\">%8</button></form>")
        .arg(message.isEmpty() ? QString()
                               : QStringLiteral("<p class=\"error\" id=\"message\">%1</p>").arg(escaped(message)),
             intro, QString::fromLatin1(csrf), codeField, escaped(email.left(254)), signInTitle(),
             m_lang("Password", "Hasło"), m_lang("Sign in", "Zaloguj"));
}

QString Api::signInTitle() const {
    return m_lang("Sign in to Quippet", "Zaloguj się do Quippet");
}

void Api::handlePage(const HttpRequest& request, HttpExchange* exchange) {
    const QString& path = request.path;
    m_lang = web::langOf(request);
    if (request.method == "GET" && path == QLatin1String("/style.css")) {
        exchange->send(200,
                       {{"Content-Type", "text/css; charset=utf-8"},
                        {"X-Content-Type-Options", "nosniff"},
                        {"Cache-Control", "max-age=3600"}},
                       web::styleSheet());
        return;
    }
    if (request.method == "GET" && (path == QLatin1String("/") || path == QLatin1String("/device"))) {
        // The form token and the browser's cookie hold the same value (double submit); a browser that already has
        // one keeps it, so two open sign-in tabs both still work.
        const QByteArray csrf = web::formToken(request);
        page(exchange, 200, signInTitle(),
             signInForm(request.query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded), csrf, {}),
             {cookie("qs_csrf", csrf, 3600)});
        return;
    }
    if (m_pages->handle(request, exchange))
        return;
    if (request.method == "POST" &&
        (path == QLatin1String("/device/signin") || path == QLatin1String("/device/confirm"))) {
        const QUrlQuery form = formOf(request);
        const QByteArray sent = field(form, "csrf").toLatin1();
        const QByteArray held = request.cookie("qs_csrf");
        if (held.isEmpty() || !secrets::equal(sent, held)) {
            page(exchange, 403, m_lang("Sign-in form expired", "Formularz logowania wygasł"),
                 m_lang("<h1>This form has expired</h1><p class=\"error\">Open the sign-in page again from Quippet and "
                        "send the form once more.</p><a class=\"button\" href=\"/device\">Sign-in page</a>",
                        "<h1>Ten formularz wygasł</h1><p class=\"error\">Otwórz stronę logowania ponownie z Quippet i "
                        "wyślij formularz jeszcze raz.</p><a class=\"button\" href=\"/device\">Strona logowania</a>"));
            return;
        }
        if (path.endsWith(QLatin1String("signin")))
            signIn(request, exchange);
        else
            confirm(request, exchange);
        return;
    }
    page(exchange, request.method == "GET" ? 404 : 405, m_lang("Not found", "Nie znaleziono"),
         QStringLiteral("<h1>%1</h1><p><a href=\"/device\">%2</a></p>")
             .arg(m_lang("Not found", "Nie znaleziono"), signInTitle()));
}

void Api::signIn(const HttpRequest& request, HttpExchange* exchange) {
    const QUrlQuery form = formOf(request);
    const QString code = field(form, "code");
    const QString email = field(form, "email");
    const QByteArray csrf = request.cookie("qs_csrf");
    const auto device = m_store.deviceByUserCode(code);
    if (!device || device->confirmed) {
        page(exchange, 400, m_lang("Unknown code", "Nieznany kod"),
             signInForm(code, csrf,
                        m_lang("This code is unknown or has expired. Start the sign-in again in Quippet.",
                               "Ten kod jest nieznany lub wygasł. Zacznij logowanie od nowa w Quippet.")));
        return;
    }
    const Store::PasswordCheck check = m_store.beginPasswordCheck(email, request.peer.toString());
    if (check.locked) {
        page(exchange, 429, signInTitle(),
             signInForm(code, csrf,
                        m_lang("Too many sign-in attempts. Wait 15 minutes and try again.",
                               "Zbyt wiele prób logowania. Odczekaj 15 minut i spróbuj ponownie."),
                        email));
        return;
    }
    // Argon2id takes a good part of a second by design: it runs on a worker thread, so that streams and other
    // requests go on meanwhile.
    QPointer<HttpExchange> answer(exchange);
    auto* watcher = new QFutureWatcher<bool>(this);
    connect(watcher, &QFutureWatcher<bool>::finished, this,
            [this, watcher, answer, check, code, csrf, email, deviceId = device->id, lang = m_lang] {
                m_lang = lang; // other requests may have been answered meanwhile
                watcher->deleteLater();
                const auto checked = m_store.finishPasswordCheck(check, watcher->result());
                if (answer)
                    signedIn(answer, checked, deviceId, code, csrf, email);
            });
    watcher->setFuture(QtConcurrent::run([hash = check.hash, password = field(form, "password").toUtf8()] {
        return secrets::verifyPassword(hash, password);
    }));
}

void Api::signedIn(HttpExchange* exchange, const std::variant<qint64, QString>& checked, qint64 deviceId,
                   const QString& code, const QByteArray& csrf, const QString& email) {
    if (std::holds_alternative<QString>(checked)) {
        page(exchange, 401, signInTitle(),
             signInForm(code, csrf, m_lang("Wrong e-mail or password.", "Błędny e-mail lub hasło."), email));
        return;
    }
    const qint64 userId = std::get<qint64>(checked);
    const auto secret = m_store.holdForConfirmation(deviceId, userId);
    const auto device = m_store.deviceByUserCode(code);
    const auto user = m_store.userById(userId);
    if (!secret || !user || !device) {
        page(exchange, 400, m_lang("Unknown code", "Nieznany kod"),
             signInForm(code, csrf,
                        m_lang("This code has expired. Start the sign-in again in Quippet.",
                               "Ten kod wygasł. Zacznij logowanie od nowa w Quippet.")));
        return;
    }
    page(exchange, 200, m_lang("Connect this computer", "Połącz ten komputer"),
         m_lang("<h1 id=\"question\">Connect this computer (%1)?</h1><p>Signed in as <b>%2</b>. Quippet on this "
                "computer will use your team's listening time and documents.</p>"
                "<form method=\"post\" action=\"/device/confirm\"><input type=\"hidden\" name=\"csrf\" "
                "value=\"%3\"><input type=\"hidden\" name=\"code\" value=\"%4\">"
                "<button type=\"submit\" name=\"action\" value=\"connect\" id=\"connect\">Connect</button>"
                "<button type=\"submit\" name=\"action\" value=\"cancel\" class=\"quiet\" id=\"cancel\">"
                "Cancel</button></form>",
                "<h1 id=\"question\">Połączyć ten komputer (%1)?</h1><p>Zalogowano jako <b>%2</b>. Quippet na tym "
                "komputerze będzie korzystał z czasu słuchania i dokumentów twojego zespołu.</p>"
                "<form method=\"post\" action=\"/device/confirm\"><input type=\"hidden\" name=\"csrf\" "
                "value=\"%3\"><input type=\"hidden\" name=\"code\" value=\"%4\">"
                "<button type=\"submit\" name=\"action\" value=\"connect\" id=\"connect\">Połącz</button>"
                "<button type=\"submit\" name=\"action\" value=\"cancel\" class=\"quiet\" id=\"cancel\">"
                "Anuluj</button></form>")
             .arg(escaped(device->deviceName), escaped(user->email), QString::fromLatin1(csrf),
                  escaped(device->userCode)),
         {cookie("qs_confirm", *secret, int(Store::kDeviceLifetimeS)),
          // The same browser is then signed in to the account page as well.
          m_pages->sessionCookie(m_store.openWebSession(userId).value_or(QByteArray()))});
}

void Api::confirm(const HttpRequest& request, HttpExchange* exchange) {
    const QUrlQuery form = formOf(request);
    const QList<QByteArray> forget = {cookie("qs_confirm", "", 0)};
    if (field(form, "action") != QLatin1String("connect")) {
        page(exchange, 200, m_lang("Not connected", "Nie połączono"),
             m_lang("<h1>Not connected</h1><p>This computer was not signed in. You can close this page.</p>",
                    "<h1>Nie połączono</h1><p>Ten komputer nie został zalogowany. Możesz zamknąć tę stronę.</p>"),
             forget);
        return;
    }
    if (!m_store.confirmDevice(field(form, "code"), request.cookie("qs_confirm"))) {
        page(exchange, 400, m_lang("Not connected", "Nie połączono"),
             m_lang("<h1>Not connected</h1><p class=\"error\">This sign-in has expired or was not started in this "
                    "browser. Start the sign-in again in Quippet.</p>",
                    "<h1>Nie połączono</h1><p class=\"error\">To logowanie wygasło lub nie zaczęło się w tej "
                    "przeglądarce. Zacznij logowanie od nowa w Quippet.</p>"),
             forget);
        return;
    }
    page(exchange, 200, m_lang("Connected", "Połączono"),
         m_lang("<h1 id=\"done\">This computer is connected</h1><p>Return to Quippet: it finishes signing in by "
                "itself within a few seconds.</p><a class=\"button\" id=\"return\" href=\"quippet://auth\">Return "
                "to Quippet</a>",
                "<h1 id=\"done\">Ten komputer jest połączony</h1><p>Wróć do Quippet: sam dokończy logowanie w ciągu "
                "kilku sekund.</p><a class=\"button\" id=\"return\" href=\"quippet://auth\">Wróć do Quippet</a>"),
         forget);
}

} // namespace quippet::server
