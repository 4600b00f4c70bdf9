// What a stranger or a careless client may send, and what the server answers.
#include "ServerHarness.h"

#include <QTcpSocket>

namespace quippet::test {
namespace {

class Security : public ServerHarness {
protected:
    // Sends only a request head (no body follows) and reads the answer's status line.
    QByteArray headOnly(const QByteArray& head) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server->port());
        EXPECT_TRUE(waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
        socket.write(head);
        QByteArray answer;
        waitUntil([&] {
            answer += socket.readAll();
            return answer.contains("\r\n");
        });
        return answer.left(answer.indexOf("\r\n"));
    }
};

// Bearer tokens that must not open the account.
class ForgedToken : public Security, public ::testing::WithParamInterface<const char*> {};

TEST_P(ForgedToken, IsRefusedAsUnauthorized) {
    const Reply reply = client.get("api/me", GetParam());
    EXPECT_EQ(reply.status, 401);
    EXPECT_EQ(reply.value("error"), QStringLiteral("unauthorized"));
}

INSTANTIATE_TEST_SUITE_P(Tokens, ForgedToken,
                         ::testing::Values("x", "' OR '1'='1", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"));

TEST_F(Security, WrongPasswordShowsTheFormAgain) {
    const Reply page = client.confirm(client.startDevice().page, kEmail, QStringLiteral("wrong password"));
    EXPECT_EQ(page.status, 401);
    EXPECT_TRUE(page.body.contains("Wrong e-mail or password"));
}

TEST_F(Security, SignInIsLockedAfterTooManyWrongPasswords) {
    const QUrl page = client.startDevice().page;
    for (int i = 0; i < server::Store::kFailuresPerAccount; ++i)
        client.confirm(page, kEmail, QStringLiteral("wrong password"));
    EXPECT_EQ(client.confirm(page).status, 429);
}

// Forms sent without the browser's form token, or with another one.
struct CsrfCase {
    const char* name;
    bool sendCookie;
    bool sendField;
};
class MissingCsrf : public Security, public ::testing::WithParamInterface<CsrfCase> {};

TEST_P(MissingCsrf, FormIsRefused) {
    const Device device = client.startDevice();
    Client other(server->url()); // a browser that never loaded the form: no cookie
    QByteArray form = client.get(device.page.toString()).body;
    if (!GetParam().sendField)
        form.replace(Client::hidden(form, "csrf").toLatin1(), "forged");
    const Reply reply = (GetParam().sendCookie ? client : other).signInForm(form);
    EXPECT_EQ(reply.status, 403);
    EXPECT_FALSE(store().deviceByUserCode(device.userCode)->pendingUserId.has_value());
}

INSTANTIATE_TEST_SUITE_P(Forms, MissingCsrf,
                         ::testing::Values(CsrfCase{"NoCookie", false, true}, CsrfCase{"ForgedField", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Security, ConfirmNeedsTheBrowserThatSignedIn) {
    const Device device = client.startDevice();
    client.signInForm(client.get(device.page.toString()).body);
    Client other(server->url());
    const Reply otherForm = other.get(device.page.toString());
    const Reply reply = other.form(
        "device/confirm",
        {{"csrf", Client::hidden(otherForm.body, "csrf")}, {"code", device.userCode}, {"action", "connect"}});
    EXPECT_EQ(reply.status, 400);
    EXPECT_FALSE(store().deviceByUserCode(device.userCode)->confirmed);
}

TEST_F(Security, PagesForbidFramingScriptsAndForeignForms) {
    const Reply page = client.get("device");
    EXPECT_TRUE(page.header("Content-Security-Policy").contains("default-src 'none'"));
    EXPECT_TRUE(page.header("Content-Security-Policy").contains("frame-ancestors 'none'"));
    EXPECT_EQ(page.header("X-Frame-Options"), "DENY");
    EXPECT_TRUE(page.header("Set-Cookie").contains("HttpOnly; SameSite=Strict"));
}

TEST_F(Security, HostileDeviceNameIsShownAsText) {
    const Reply page = client.get(client.startDevice({{"deviceName", "<script>x</script>"}}).page.toString());
    EXPECT_FALSE(page.body.contains("<script>"));
    EXPECT_TRUE(page.body.contains("&lt;script&gt;"));
}

// Bodies above what their route takes are refused from the head, before any of the body is read.
struct Oversize {
    const char* path;
    qint64 length;
};
class OversizeBody : public Security, public ::testing::WithParamInterface<Oversize> {};

TEST_P(OversizeBody, IsRefusedWith413) {
    const QByteArray head = "POST " + QByteArray(GetParam().path) +
                            " HTTP/1.1\r\nHost: x\r\nContent-Type: "
                            "application/json\r\nContent-Length: " +
                            QByteArray::number(GetParam().length) + "\r\n\r\n";
    EXPECT_EQ(headOnly(head), "HTTP/1.1 413 Content Too Large");
}

INSTANTIATE_TEST_SUITE_P(Bodies, OversizeBody,
                         ::testing::Values(Oversize{"/api/session/start", (1 << 20) + 1},
                                           Oversize{"/api/llm", (8 << 20) + 1},
                                           Oversize{"/device/signin", (64 << 10) + 1}));

TEST_F(Security, ChunkedRequestBodyIsRefused) {
    EXPECT_EQ(headOnly("POST /api/me HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"),
              "HTTP/1.1 411 Length Required");
}

// Document names that could leave the app's context folder, hide a file or replace the user's profile.
class HostileDocumentName : public Security, public ::testing::WithParamInterface<const char*> {};

TEST_P(HostileDocumentName, IsRefusedWhenAdded) {
    EXPECT_TRUE(store().addDocument(QString::fromUtf8(GetParam()), QStringLiteral("text/plain"), "x").has_value());
}

TEST_P(HostileDocumentName, IsNotFoundWhenAskedFor) {
    const QByteArray token = client.signIn();
    EXPECT_EQ(
        client.get("api/context/" + QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(GetParam()))), token)
            .status,
        404);
}

INSTANTIATE_TEST_SUITE_P(Names, HostileDocumentName,
                         ::testing::Values("../etc/passwd", "a/b.md", "a\\b.md", ".quippet-sync.json", "o-mnie.md",
                                           "line\nbreak.md", " padded.md", ""));

// E-mail addresses full of SQL's own characters are plain data.
TEST_F(Security, SqlMetaEmailIsAnOrdinaryAccount) {
    const QString email = QStringLiteral("o'brien\";--@example.com");
    ASSERT_FALSE(store().addUser(email, kPassword, 60, QStringLiteral("pro")));
    EXPECT_EQ(client.confirm(client.startDevice().page, email).status, 200);
    EXPECT_EQ(store().users().size(), 2);
    EXPECT_EQ(
        std::get<QString>(store().checkPassword(QStringLiteral("' OR '1'='1"), kPassword, QStringLiteral("1.2.3.4"))),
        QStringLiteral("wrong"));
}

TEST_F(Security, UnknownModelIsNotRelayed) {
    const QByteArray token = client.signIn();
    client.post("api/session/start", {}, token);
    const Reply reply = client.post("api/llm", {{"model", "gemini-ultra-expensive"}}, token);
    EXPECT_EQ(reply.status, 400);
    EXPECT_TRUE(llm.http().requests().isEmpty());
}

} // namespace
} // namespace quippet::test
