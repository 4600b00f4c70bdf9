#pragma once

#include "server/Http.h"
#include "server/Store.h"
#include "server/Web.h"

#include <QObject>

#include <functional>

namespace quippet::server {

// The browser pages beside the device sign-in: the account page ("panel") every user has, and the admin pages
// (users, documents, usage, audit log) for users with the admin role. Plain HTML forms, no script; every post
// carries the form token, and the browser session is a random cookie stored as a hash.
class Pages : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxUploadBody = 48 << 20; // several documents at once, each up to 16 MiB

    Pages(Store& store, bool secureCookies, QObject* parent = nullptr);

    // Answers /panel… and /admin…; false for any other path.
    bool handle(const HttpRequest& request, HttpExchange* exchange);
    QByteArray sessionCookie(const QByteArray& token) const;

private:
    struct Context {
        const HttpRequest& request;
        HttpExchange* exchange;
        web::Lang lang;
        QByteArray csrf;
    };
    void send(const Context& c, int status, const QString& title, const QString& body, bool wide = false,
              QList<QByteArray> cookies = {});
    void redirect(const Context& c, const QString& to, QList<QByteArray> cookies = {});
    void forbidden(const Context& c, bool signedIn);
    QString csrfField(const Context& c) const;
    QString nav(const Context& c, const User& user) const;

    void signInForm(const Context& c, int status, const QString& message, const QString& email = {});
    void signIn(const Context& c);
    void account(const Context& c, const User& user);
    void changePassword(const Context& c, const User& user);
    // Checks a password off the serving thread (Argon2id takes a good part of a second by design).
    void checkPassword(const QString& email, const QString& address, const QByteArray& password,
                       std::function<void(std::variant<qint64, QString>)> done);

    void admin(const Context& c, const User& user);
    void users(const Context& c, const User& user);
    void userAction(const Context& c, const User& user, const QString& action);
    void documents(const Context& c, const User& user);
    void upload(const Context& c, const User& user);
    void usage(const Context& c, const User& user);
    void usageCsv(const Context& c);
    void auditLog(const Context& c, const User& user);

    Store& m_store;
    bool m_secure;
};

} // namespace quippet::server
