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

TEST_F(Security, ForgedTokensAreRefusedAsUnauthorized) {
    for (const char* token : {"x", "' OR '1'='1", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"}) {
        const Reply reply = client.get("api/me", token);
        EXPECT_EQ(reply.status, 401) << token;
        EXPECT_EQ(reply.value("error"), QStringLiteral("unauthorized")) << token;
    }
}

TEST_F(Security, WrongPasswordShowsTheFormAgainUntilTheAccountIsLocked) {
    const QUrl page = client.startDevice().page;
    for (int i = 0; i < server::Store::kFailuresPerAccount; ++i) {
        const Reply reply = client.confirm(page, kEmail, QStringLiteral("wrong password"));
        EXPECT_EQ(reply.status, 401);
        EXPECT_TRUE(reply.body.contains("Wrong e-mail or password"));
    }
    EXPECT_EQ(client.confirm(page).status, 429);
}

// The sign-in form sent by a browser that never loaded it (no cookie), or with a forged form token.
TEST_F(Security, SignInFormWithoutItsFormTokenIsRefused) {
    for (const bool forged : {false, true}) {
        const Device device = client.startDevice();
        Client other(server->url());
        QByteArray form = client.get(device.page.toString()).body;
        if (forged)
            form.replace(Client::hidden(form, "csrf").toLatin1(), "forged");
        EXPECT_EQ((forged ? client : other).signInForm(form).status, 403) << forged;
        EXPECT_FALSE(store().deviceByUserCode(device.userCode)->pendingUserId.has_value());
    }
}

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

// Bodies above what their route takes are refused from the head, before any of the body is read; chunked ones too.
TEST_F(Security, OversizeAndChunkedBodiesAreRefusedFromTheHead) {
    for (const auto& [path, length] : {std::pair{"/api/session/start", (1 << 20) + 1},
                                       {"/api/llm", (8 << 20) + 1},
                                       {"/device/signin", (64 << 10) + 1}}) {
        EXPECT_EQ(headOnly("POST " + QByteArray(path) + " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n" +
                           "Content-Length: " + QByteArray::number(length) + "\r\n\r\n"),
                  "HTTP/1.1 413 Content Too Large")
            << path;
    }
    EXPECT_EQ(headOnly("POST /api/me HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"),
              "HTTP/1.1 411 Length Required");
}

// Document names that could leave the app's context folder, hide a file or replace the user's profile: refused when
// added, not found when asked for.
TEST_F(Security, HostileDocumentNamesAreRefusedAndNotFound) {
    const QByteArray token = client.signIn();
    for (const char* name : {"../etc/passwd", "a/b.md", "a\\b.md", ".quippet-sync.json", "o-mnie.md", "line\nbreak.md",
                             " padded.md", ""}) {
        EXPECT_TRUE(store().addDocument(QString::fromUtf8(name), QStringLiteral("text/plain"), "x").has_value())
            << name;
        const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(name)));
        EXPECT_EQ(client.get("api/context/" + encoded, token).status, 404) << name;
    }
}

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
