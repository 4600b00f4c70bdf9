#pragma once

#include "peers/HttpPeer.h"
#include "peers/LlmPeer.h"
#include "server/Server.h"
#include "support/ManualClock.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <memory>

namespace quippet::test {

// The database a test runs on: QUIPPET_TEST_DATABASE when set (the PostgreSQL run sets it, and each test starts
// from an empty schema there), else a fresh SQLite file.
inline QString testDatabaseUrl(const QTemporaryDir& dir) {
    const QString shared = qEnvironmentVariable("QUIPPET_TEST_DATABASE");
    if (shared.isEmpty())
        return QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("server.sqlite"));
    const auto url = server::DatabaseUrl::parse(shared);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("wipe"));
        db.setHostName(url->host);
        db.setPort(url->port);
        db.setDatabaseName(url->name);
        db.setUserName(url->user);
        db.setPassword(url->password);
        if (db.open()) {
            QSqlQuery(db).exec(QStringLiteral("DROP SCHEMA public CASCADE"));
            QSqlQuery(db).exec(QStringLiteral("CREATE SCHEMA public"));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("wipe"));
    return shared;
}

inline constexpr const char* kEmail = "ania@example.com";
inline constexpr const char* kPassword = "correct horse 1";

struct Reply {
    int status = 0;
    QByteArray body;
    QList<QNetworkReply::RawHeaderPair> headers;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QJsonValue value(const QString& key) const { return json().value(key); }
    QByteArray header(const QByteArray& name) const {
        for (const auto& [key, value] : headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        return {};
    }
};

// A device sign-in as started by the app: the page it opens, and its codes.
struct Device {
    QUrl page;
    QString userCode;
    QString deviceCode;
    QJsonObject poll() const { return {{"device_code", deviceCode}}; }
};

using Fields = QList<std::pair<QString, QString>>;

// Plain HTTP against a server, as a browser or a stranger would send it; keeps cookies like a browser. Paths are
// resolved against `base`.
class Client {
public:
    explicit Client(QUrl base = {}) : base(std::move(base)) {}
    QUrl base;
    QList<QNetworkReply::RawHeaderPair> headers; // sent with every request

    Reply send(const QByteArray& method, const QUrl& url, const QByteArray& body = {},
               const QByteArray& type = "application/json", const QByteArray& token = {}) {
        QNetworkRequest request(url);
        if (!body.isEmpty() || method == "POST")
            request.setHeader(QNetworkRequest::ContentTypeHeader, type);
        if (!token.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + token);
        for (const auto& [name, value] : headers)
            request.setRawHeader(name, value);
        QNetworkReply* reply = m_network.sendCustomRequest(request, method, body);
        waitUntil([reply] { return reply->isFinished(); }, 10000);
        Reply out{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
                  reply->rawHeaderPairs()};
        reply->deleteLater();
        return out;
    }
    QUrl url(const QString& path) const { return base.resolved(QUrl(path)); }
    Reply get(const QString& path, const QByteArray& token = {}) { return send("GET", url(path), {}, {}, token); }
    Reply post(const QString& path, const QJsonObject& body = {}, const QByteArray& token = {}) {
        return send("POST", url(path), QJsonDocument(body).toJson(QJsonDocument::Compact), "application/json", token);
    }
    Reply form(const QString& path, const Fields& fields) {
        QUrlQuery query;
        for (const auto& [name, value] : fields)
            query.addQueryItem(name, QString::fromLatin1(QUrl::toPercentEncoding(value)));
        return send("POST", url(path), query.toString(QUrl::FullyEncoded).toLatin1(),
                    "application/x-www-form-urlencoded");
    }

    static QString hidden(const QByteArray& html, const QString& name) {
        const QRegularExpression re(QStringLiteral("name=\"%1\" value=\"([^\"]*)\"").arg(name));
        return re.match(QString::fromUtf8(html)).captured(1);
    }

    Device startDevice(const QJsonObject& body = {{"deviceName", "laptop"}}) {
        const QJsonObject start = post("api/auth/device/start", body).json();
        return {QUrl(start.value("verification_uri_complete").toString()), start.value("user_code").toString(),
                start.value("device_code").toString()};
    }
    // The browser's part of a sign-in on `page`: the password, then "connect". Answers the last page.
    Reply confirm(const QUrl& page, const QString& email = kEmail, const QString& password = kPassword) {
        const Reply form = send("GET", page);
        const Reply question = signInForm(form.body, email, password);
        if (question.status != 200)
            return question;
        return this->form(
            "device/confirm",
            {{"csrf", hidden(question.body, "csrf")}, {"code", hidden(question.body, "code")}, {"action", "connect"}});
    }
    // Sends the device page's sign-in form as filled in.
    Reply signInForm(const QByteArray& page, const QString& email = kEmail, const QString& password = kPassword) {
        return form(
            "device/signin",
            {{"csrf", hidden(page, "csrf")}, {"code", hidden(page, "code")}, {"email", email}, {"password", password}});
    }
    // A whole device sign-in over the raw API; answers the access token.
    QByteArray signIn(const QString& password = kPassword) {
        const Device device = startDevice();
        confirm(device.page, kEmail, password);
        return post("api/auth/device/token", device.poll()).value("access_token").toString().toLatin1();
    }

private:
    QNetworkAccessManager m_network;
};

// A quippet-server in this process on a loopback port, with the model and speech-token services stood in for.
class ServerHarness : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(llm.start());
        llm.setKey(QStringLiteral("gemini-server-key"));
        ASSERT_TRUE(speech.start());
        speech.route("POST", QStringLiteral("/v1/single-use-token/realtime_scribe"), [this](const HttpRequest& r) {
            if (r.header("xi-api-key") != "sk_server")
                return HttpResponse::json(401, R"({"detail":{"status":"invalid_api_key"}})");
            return HttpResponse::json(200, QByteArray(R"({"token":"stt-)") + QByteArray::number(++sttTokens) + "\"}");
        });
        server::Server::Options options;
        options.port = 0;
        databaseUrl = testDatabaseUrl(dir);
        options.databaseUrl = databaseUrl;
        options.cost = server::HashCost::Minimal;
        options.config.elevenLabsKey = "sk_server";
        options.config.geminiKey = "gemini-server-key";
        options.config.elevenLabsUrl = speech.baseUrl();
        options.config.geminiUrl = llm.baseUrl();
        options.config.pollInterval = 1;
        server = std::make_unique<server::Server>(clock);
        const auto failure = server->start(options);
        ASSERT_FALSE(failure) << qPrintable(*failure);
        client.base = server->url();
        ASSERT_FALSE(store().addUser(kEmail, kPassword, 3600, QStringLiteral("pro")));
    }

    server::Store& store() { return server->store(); }

    QTemporaryDir dir;
    QString databaseUrl;
    ManualClock clock;
    LlmPeer llm;
    HttpPeer speech;
    int sttTokens = 0;
    std::unique_ptr<server::Server> server;
    Client client; // on this server
};

} // namespace quippet::test
