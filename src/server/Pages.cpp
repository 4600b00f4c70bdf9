#include "server/Pages.h"

#include <QDateTime>
#include <QFutureWatcher>
#include <QMimeDatabase>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <map>

namespace quippet::server {

using web::escaped;
using web::field;

namespace {

constexpr int kUsageDays = 30;
constexpr int kAuditRows = 200;
// Bar colours of the usage chart, one per user in turn; the legend uses the same classes (c0…c7).
constexpr const char* kColours[] = {"#3b5bdb", "#e8590c", "#2b8a3e", "#ae3ec9",
                                    "#c92a2a", "#1098ad", "#f08c00", "#5c940d"};

QString when(qint64 ms) {
    if (ms <= 0)
        return QStringLiteral("—");
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm")) +
           QStringLiteral(" UTC");
}

QString duration(qint64 seconds) {
    seconds = std::max<qint64>(0, seconds);
    const qint64 h = seconds / 3600, m = seconds % 3600 / 60, s = seconds % 60;
    if (h > 0)
        return QStringLiteral("%1 h %2 min").arg(h).arg(m, 2, 10, QLatin1Char('0'));
    if (m > 0)
        return QStringLiteral("%1 min %2 s").arg(m).arg(s);
    return QStringLiteral("%1 s").arg(s);
}

QString size(qint64 bytes) {
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KiB").arg(double(bytes) / 1024, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
}

QString day(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd"));
}

// A spreadsheet must not read a cell as a formula.
QString csvCell(const QString& text) {
    QString out = text;
    if (!out.isEmpty() && QStringLiteral("=+-@").contains(out.front()))
        out.prepend(QLatin1Char('\''));
    if (out.contains(QLatin1Char(',')) || out.contains(QLatin1Char('"')) || out.contains(QLatin1Char('\n')))
        out = QLatin1Char('"') + out.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
    return out;
}

} // namespace

Pages::Pages(Store& store, bool secureCookies, QObject* parent)
    : QObject(parent), m_store(store), m_secure(secureCookies) {}

QByteArray Pages::sessionCookie(const QByteArray& token) const {
    return web::cookie("qs_session", token, int(Store::kWebSessionMs / 1000), m_secure);
}

void Pages::send(const Context& c, int status, const QString& title, const QString& body, bool wide,
                 QList<QByteArray> cookies) {
    HeaderList headers = web::pageHeaders();
    cookies.prepend(web::cookie("qs_csrf", c.csrf, 3600 * 12, m_secure));
    for (const QByteArray& cookie : cookies)
        headers.append({"Set-Cookie", cookie});
    headers.append({QByteArray("Vary"), QByteArray("Accept-Language, Cookie")});
    c.exchange->send(status, headers, web::document(c.lang, title, body, wide));
}

void Pages::redirect(const Context& c, const QString& to, QList<QByteArray> cookies) {
    HeaderList headers = {{"Location", to.toUtf8()}, {"Cache-Control", "no-store"}};
    for (const QByteArray& cookie : cookies)
        headers.append({"Set-Cookie", cookie});
    c.exchange->send(303, headers, {});
}

QString Pages::csrfField(const Context& c) const {
    return QStringLiteral("<input type=\"hidden\" name=\"csrf\" value=\"%1\">").arg(QString::fromLatin1(c.csrf));
}

void Pages::forbidden(const Context& c, bool signedIn) {
    const web::Lang& l = c.lang;
    send(c, 403, l("Not allowed", "Brak dostępu"),
         QStringLiteral("<h1 id=\"forbidden\">%1</h1><p>%2</p><a class=\"button\" href=\"/panel\">%3</a>")
             .arg(l("Not allowed", "Brak dostępu"),
                  signedIn ? l("These pages are for the server's administrators.",
                               "Te strony są dla administratorów serwera.")
                           : l("Sign in first.", "Najpierw się zaloguj."),
                  l("Your account", "Twoje konto")));
}

QString Pages::nav(const Context& c, const User& user) const {
    const web::Lang& l = c.lang;
    QString out = QStringLiteral("<nav aria-label=\"%1\">").arg(l("Pages", "Strony"));
    if (user.isAdmin())
        out += QStringLiteral("<a href=\"/admin/users\">%1</a><a href=\"/admin/documents\">%2</a>"
                              "<a href=\"/admin/usage\">%3</a><a href=\"/admin/audit\">%4</a>")
                   .arg(l("Users", "Użytkownicy"), l("Documents", "Dokumenty"), l("Usage", "Zużycie"),
                        l("Audit log", "Dziennik zmian"));
    out += QStringLiteral("<a href=\"/panel\">%1</a><form method=\"post\" action=\"/panel/signout\">%2"
                          "<button type=\"submit\" class=\"quiet\" id=\"signout\">%3</button></form></nav>")
               .arg(l("Your account", "Twoje konto"), csrfField(c), l("Sign out", "Wyloguj"));
    return out;
}

bool Pages::handle(const HttpRequest& request, HttpExchange* exchange) {
    const QString& path = request.path;
    const bool panel = path == QLatin1String("/panel") || path.startsWith(QLatin1String("/panel/"));
    const bool adminPath = path == QLatin1String("/admin") || path.startsWith(QLatin1String("/admin/"));
    if (!panel && !adminPath)
        return false;
    const Context c{request, exchange, web::langOf(request), web::formToken(request)};
    const bool get = request.method == "GET";
    const bool post = request.method == "POST";
    if (!get && !post) {
        send(c, 405, QStringLiteral("405"), QStringLiteral("<h1>405</h1>"));
        return true;
    }
    // Every post carries the form token the browser got with the page (double submit).
    if (post) {
        QString sent;
        if (path == QLatin1String("/admin/documents/upload")) {
            const auto parts = web::multipartOf(request);
            for (const web::Part& part : parts.value_or(QList<web::Part>()))
                if (part.name == QLatin1String("csrf") && part.fileName.isEmpty())
                    sent = QString::fromLatin1(part.data);
        } else {
            sent = field(web::formOf(request), "csrf");
        }
        if (!web::formTokenMatches(request, sent)) {
            send(c, 403, c.lang("Form expired", "Formularz wygasł"),
                 QStringLiteral("<h1 id=\"expired\">%1</h1><p class=\"error\">%2</p><a class=\"button\" "
                                "href=\"/panel\">%3</a>")
                     .arg(c.lang("This form has expired", "Ten formularz wygasł"),
                          c.lang("Open the page again and send the form once more.",
                                 "Otwórz stronę ponownie i wyślij formularz jeszcze raz."),
                          c.lang("Your account", "Twoje konto")));
            return true;
        }
    }
    if (post && path == QLatin1String("/panel/signin")) {
        signIn(c);
        return true;
    }
    const QByteArray sessionToken = request.cookie("qs_session");
    const auto user = m_store.userByWebSession(sessionToken);
    if (user)
        exchange->userId = user->id;
    if (post && path == QLatin1String("/panel/signout")) {
        m_store.closeWebSession(sessionToken);
        redirect(c, QStringLiteral("/panel"), {web::cookie("qs_session", "", 0, m_secure)});
        return true;
    }
    if (panel) {
        if (!user) {
            if (get && path == QLatin1String("/panel"))
                signInForm(c, 200, {});
            else
                forbidden(c, false);
        } else if (get && path == QLatin1String("/panel")) {
            account(c, *user);
        } else if (post && path == QLatin1String("/panel/revoke")) {
            m_store.revoke(user->email);
            m_store.audit(user->email, QStringLiteral("account.signout-computers"), user->email);
            redirect(c, QStringLiteral("/panel?done=revoked"));
        } else if (post && path == QLatin1String("/panel/password")) {
            changePassword(c, *user);
        } else {
            send(c, 404, QStringLiteral("404"), QStringLiteral("<h1>404</h1>"));
        }
        return true;
    }
    if (!user || !user->isAdmin()) {
        forbidden(c, user.has_value());
        return true;
    }
    if (get && (path == QLatin1String("/admin") || path == QLatin1String("/admin/users")))
        users(c, *user);
    else if (post && path.startsWith(QLatin1String("/admin/users/")))
        userAction(c, *user, path.mid(13));
    else if (get && path == QLatin1String("/admin/documents"))
        documents(c, *user);
    else if (post && path == QLatin1String("/admin/documents/upload"))
        upload(c, *user);
    else if (post && path == QLatin1String("/admin/documents/remove")) {
        const QString name = field(web::formOf(request), "name");
        if (!m_store.removeDocument(name))
            m_store.audit(user->email, QStringLiteral("document.remove"), name);
        redirect(c, QStringLiteral("/admin/documents?done=removed"));
    } else if (get && path == QLatin1String("/admin/usage"))
        usage(c, *user);
    else if (get && path == QLatin1String("/admin/usage.csv"))
        usageCsv(c);
    else if (get && path == QLatin1String("/admin/audit"))
        auditLog(c, *user);
    else
        send(c, 404, QStringLiteral("404"), QStringLiteral("<h1>404</h1>"));
    return true;
}

// --- signing in ---

void Pages::signInForm(const Context& c, int status, const QString& message, const QString& email) {
    const web::Lang& l = c.lang;
    send(c, status, l("Your Quippet account", "Twoje konto Quippet"),
         QStringLiteral("<h1>%1</h1>%2<form method=\"post\" action=\"/panel/signin\">%3"
                        "<label for=\"email\">%4</label><input type=\"email\" id=\"email\" name=\"email\" value=\"%5\" "
                        "autocomplete=\"username\" required><label for=\"password\">%6</label><input type=\"password\" "
                        "id=\"password\" name=\"password\" autocomplete=\"current-password\" required>"
                        "<button type=\"submit\" id=\"signin\">%7</button></form>")
             .arg(l("Your Quippet account", "Twoje konto Quippet"),
                  message.isEmpty() ? QString()
                                    : QStringLiteral("<p class=\"error\" id=\"message\">%1</p>").arg(escaped(message)),
                  csrfField(c), l("E-mail", "E-mail"), escaped(email.left(254)), l("Password", "Hasło"),
                  l("Sign in", "Zaloguj")));
}

void Pages::checkPassword(const QString& email, const QString& address, const QByteArray& password,
                          std::function<void(std::variant<qint64, QString>)> done) {
    const Store::PasswordCheck check = m_store.beginPasswordCheck(email, address);
    if (check.locked) {
        done(QStringLiteral("locked"));
        return;
    }
    auto* watcher = new QFutureWatcher<bool>(this);
    connect(watcher, &QFutureWatcher<bool>::finished, this, [this, watcher, check, done = std::move(done)] {
        watcher->deleteLater();
        done(m_store.finishPasswordCheck(check, watcher->result()));
    });
    watcher->setFuture(
        QtConcurrent::run([hash = check.hash, password] { return secrets::verifyPassword(hash, password); }));
}

void Pages::signIn(const Context& c) {
    const QUrlQuery form = web::formOf(c.request);
    const QString email = field(form, "email");
    QPointer<HttpExchange> answer(c.exchange);
    const web::Lang lang = c.lang;
    const QByteArray csrf = c.csrf;
    const HttpRequest& request = c.request;
    // The request lives only as long as this call: what the answer needs is copied.
    auto held = std::make_shared<HttpRequest>(request);
    checkPassword(
        email, request.peer.toString(), field(form, "password").toUtf8(),
        [this, answer, lang, csrf, email, held](const std::variant<qint64, QString>& result) {
            if (!answer)
                return;
            const Context later{*held, answer, lang, csrf};
            if (const auto* reason = std::get_if<QString>(&result)) {
                if (*reason == QLatin1String("locked"))
                    signInForm(later, 429,
                               lang("Too many sign-in attempts. Wait 15 minutes and try again.",
                                    "Zbyt wiele prób logowania. Odczekaj 15 minut i spróbuj ponownie."),
                               email);
                else
                    signInForm(later, 401, lang("Wrong e-mail or password.", "Błędny e-mail lub hasło."), email);
                return;
            }
            const auto token = m_store.openWebSession(std::get<qint64>(result));
            if (!token) {
                signInForm(later, 500, lang("The server could not sign you in.", "Serwer nie mógł cię zalogować."));
                return;
            }
            answer->userId = std::get<qint64>(result);
            redirect(later, QStringLiteral("/panel"), {sessionCookie(*token)});
        });
}

// --- the account page ---

void Pages::account(const Context& c, const User& user) {
    const web::Lang& l = c.lang;
    const QString done = c.request.query.queryItemValue(QStringLiteral("done"));
    QString note;
    if (done == QLatin1String("revoked"))
        note = l("Every computer signed in to your account has been signed out.",
                 "Wszystkie komputery zalogowane na twoje konto zostały wylogowane.");
    else if (done == QLatin1String("password"))
        note = l("Your password has been changed.", "Hasło zostało zmienione.");
    QString body = nav(c, user);
    if (!note.isEmpty())
        body += QStringLiteral("<p class=\"note\" id=\"note\" role=\"status\">%1</p>").arg(note);
    body +=
        QStringLiteral("<h1>%1</h1><table><tr><th scope=\"row\">%2</th><td id=\"email\">%3</td></tr>"
                       "<tr><th scope=\"row\">%4</th><td id=\"tier\">%5</td></tr>"
                       "<tr><th scope=\"row\">%6</th><td id=\"remaining\">%7</td></tr></table>")
            .arg(l("Your account", "Twoje konto"), l("E-mail", "E-mail"), escaped(user.email), l("Plan", "Plan"),
                 escaped(user.tier), l("Listening time left", "Pozostały czas słuchania"), duration(user.remaining()));
    // Top-up: on a server of one's own, more time comes from its administrators.
    const QStringList admins = m_store.adminEmails();
    QStringList links;
    for (const QString& admin : admins)
        links << QStringLiteral("<a href=\"mailto:%1\">%1</a>").arg(escaped(admin));
    body += QStringLiteral("<h2 id=\"topup\">%1</h2><p>%2</p>")
                .arg(l("More time", "Więcej czasu"),
                     links.isEmpty() ? l("Ask whoever runs this server for more listening time.",
                                         "Poproś osobę, która prowadzi ten serwer, o więcej czasu słuchania.")
                                     : l("Ask an administrator of this server: ", "Poproś administratora serwera: ") +
                                           links.join(QStringLiteral(", ")));
    body += QStringLiteral("<h2>%1</h2>").arg(l("Your last sessions", "Ostatnie sesje"));
    const QList<SessionRecord> sessions = m_store.recentSessions(user.id, 20);
    if (sessions.isEmpty()) {
        body += QStringLiteral("<p>%1</p>").arg(l("No sessions yet.", "Jeszcze żadnej sesji."));
    } else {
        body +=
            QStringLiteral("<table id=\"sessions\"><tr><th scope=\"col\">%1</th><th scope=\"col\" class=\"n\">%2</th>"
                           "<th scope=\"col\">%3</th><th scope=\"col\">%4</th></tr>")
                .arg(l("Start", "Początek"), l("Duration", "Czas"), l("Company", "Firma"), l("Topic", "Temat"));
        for (const SessionRecord& s : sessions)
            body += QStringLiteral("<tr><td>%1</td><td class=\"n\">%2</td><td>%3</td><td>%4</td></tr>")
                        .arg(when(s.startedAt), duration(s.seconds), escaped(s.company), escaped(s.topic));
        body += QStringLiteral("</table>");
    }
    body +=
        QStringLiteral("<h2>%1</h2><form method=\"post\" action=\"/panel/revoke\">%2<p>%3</p>"
                       "<button type=\"submit\" id=\"revoke\">%1</button></form>")
            .arg(l("Sign out all my computers", "Wyloguj wszystkie moje komputery"), csrfField(c),
                 l("Quippet on every computer signed in to your account will have to sign in again.",
                   "Quippet na każdym komputerze zalogowanym na twoje konto będzie musiał zalogować się ponownie."));
    body += QStringLiteral("<h2>%1</h2><form method=\"post\" action=\"/panel/password\">%2"
                           "<label for=\"current\">%3</label><input type=\"password\" id=\"current\" name=\"current\" "
                           "autocomplete=\"current-password\" required><label for=\"new\">%4</label><input "
                           "type=\"password\" id=\"new\" name=\"new\" autocomplete=\"new-password\" minlength=\"8\" "
                           "required><label for=\"repeat\">%5</label><input type=\"password\" id=\"repeat\" "
                           "name=\"repeat\" autocomplete=\"new-password\" minlength=\"8\" required>"
                           "<button type=\"submit\" id=\"change\">%1</button></form>")
                .arg(l("Change password", "Zmień hasło"), csrfField(c), l("Current password", "Obecne hasło"),
                     l("New password (at least 8 characters)", "Nowe hasło (co najmniej 8 znaków)"),
                     l("New password again", "Nowe hasło jeszcze raz"));
    send(c, 200, l("Your Quippet account", "Twoje konto Quippet"), body, true);
}

void Pages::changePassword(const Context& c, const User& user) {
    const QUrlQuery form = web::formOf(c.request);
    const QByteArray fresh = field(form, "new").toUtf8();
    const web::Lang lang = c.lang;
    auto fail = [this, user, lang](const Context& at, int status, const QString& why) {
        send(at, status, lang("Change password", "Zmień hasło"),
             nav(at, user) + QStringLiteral("<h1>%1</h1><p class=\"error\" id=\"message\">%2</p><a class=\"button\" "
                                            "href=\"/panel\">%3</a>")
                                 .arg(lang("Change password", "Zmień hasło"), escaped(why), lang("Back", "Wróć")));
    };
    if (fresh != field(form, "repeat").toUtf8() || fresh.size() < 8 || fresh.size() > 1024) {
        fail(c, 400,
             lang("The new password must have at least 8 characters and be typed the same twice.",
                  "Nowe hasło musi mieć co najmniej 8 znaków i zostać wpisane dwa razy tak samo."));
        return;
    }
    QPointer<HttpExchange> answer(c.exchange);
    auto held = std::make_shared<HttpRequest>(c.request);
    const QByteArray csrf = c.csrf;
    checkPassword(user.email, c.request.peer.toString(), field(form, "current").toUtf8(),
                  [this, answer, held, lang, csrf, user, fresh, fail](const std::variant<qint64, QString>& result) {
                      if (!answer)
                          return;
                      const Context later{*held, answer, lang, csrf};
                      if (!std::holds_alternative<qint64>(result)) {
                          fail(later, 401, lang("The current password is not right.", "Obecne hasło jest błędne."));
                          return;
                      }
                      if (m_store.setPassword(user.id, fresh)) {
                          fail(later, 500, lang("The password could not be stored.", "Nie udało się zapisać hasła."));
                          return;
                      }
                      m_store.audit(user.email, QStringLiteral("account.password"), user.email);
                      redirect(later, QStringLiteral("/panel?done=password"));
                  });
}

// --- users ---

void Pages::users(const Context& c, const User& admin) {
    const web::Lang& l = c.lang;
    const QString done = c.request.query.queryItemValue(QStringLiteral("done"));
    QString body = nav(c, admin);
    if (!done.isEmpty())
        body += QStringLiteral("<p class=\"note\" id=\"note\" role=\"status\">%1</p>").arg(l("Saved.", "Zapisano."));
    body += QStringLiteral("<h1>%1</h1>").arg(l("Users", "Użytkownicy"));
    const QHash<qint64, qint64> active = m_store.lastActivity();
    body +=
        QStringLiteral("<table id=\"users\"><tr><th scope=\"col\">%1</th><th scope=\"col\">%2</th>"
                       "<th scope=\"col\" class=\"n\">%3</th><th scope=\"col\">%4</th><th scope=\"col\">%5</th></tr>")
            .arg(l("E-mail", "E-mail"), l("Plan", "Plan"), l("Time left", "Pozostały czas"),
                 l("Last activity", "Ostatnia aktywność"), l("Change", "Zmień"));
    for (const User& u : m_store.users()) {
        const QString who = escaped(u.email);
        auto form = [&](const QString& action, const QString& inputs, const QString& button) {
            // Each row's buttons name their user, so that a screen reader tells the rows apart.
            return QStringLiteral("<form method=\"post\" action=\"/admin/users/%1\">%2<input type=\"hidden\" "
                                  "name=\"email\" value=\"%3\">%4<button type=\"submit\" aria-label=\"%5: %3\">%5"
                                  "</button></form>")
                .arg(action, csrfField(c), who, inputs, button);
        };
        QString actions =
            form(QStringLiteral("time"),
                 QStringLiteral("<input type=\"number\" name=\"minutes\" min=\"1\" max=\"600000\" value=\"60\" "
                                "aria-label=\"%1\">")
                     .arg(l("Minutes to add for %1", "Minuty do dodania dla %1").arg(who)),
                 l("Add minutes", "Dodaj minuty")) +
            form(QStringLiteral("tier"),
                 QStringLiteral("<input type=\"text\" name=\"tier\" value=\"%1\" aria-label=\"%2\">")
                     .arg(escaped(u.tier), l("Plan of %1", "Plan %1").arg(who)),
                 l("Set plan", "Ustaw plan")) +
            form(QStringLiteral("revoke"), {}, l("Sign out devices", "Wyloguj urządzenia")) +
            (u.disabled ? form(QStringLiteral("enable"), {}, l("Enable", "Włącz"))
                        : form(QStringLiteral("disable"), {}, l("Disable", "Wyłącz")));
        body += QStringLiteral("<tr><td>%1%2%3</td><td>%4</td><td class=\"n\">%5</td><td>%6</td><td>%7</td></tr>")
                    .arg(who, u.isAdmin() ? QStringLiteral(" (admin)") : QString(),
                         u.disabled ? QStringLiteral(" — <b>%1</b>").arg(l("disabled", "wyłączony")) : QString(),
                         escaped(u.tier), duration(u.remaining()), when(active.value(u.id)), actions);
    }
    body += QStringLiteral("</table>");
    body +=
        QStringLiteral("<h2>%1</h2><form method=\"post\" action=\"/admin/users/add\" class=\"inline\">%2"
                       "<div><label for=\"new-email\">%3</label><input type=\"email\" id=\"new-email\" "
                       "name=\"email\" required></div><div><label for=\"new-hours\">%4</label><input "
                       "type=\"number\" id=\"new-hours\" name=\"hours\" min=\"0\" max=\"10000\" value=\"10\"></div>"
                       "<div><label for=\"new-tier\">%5</label><input type=\"text\" id=\"new-tier\" name=\"tier\" "
                       "value=\"pro\"></div><div><label><input type=\"checkbox\" name=\"admin\" value=\"1\"> %6"
                       "</label></div><button type=\"submit\" id=\"add-user\">%1</button></form>")
            .arg(l("Add a user", "Dodaj użytkownika"), csrfField(c), l("E-mail", "E-mail"),
                 l("Hours of listening", "Godziny słuchania"), l("Plan", "Plan"), l("Administrator", "Administrator"));
    send(c, 200, l("Users", "Użytkownicy"), body, true);
}

void Pages::userAction(const Context& c, const User& admin, const QString& action) {
    const web::Lang& l = c.lang;
    const QUrlQuery form = web::formOf(c.request);
    const QString email = field(form, "email");
    std::optional<QString> failure;
    QString detail;
    if (action == QLatin1String("add")) {
        bool ok = false;
        const qint64 hours = field(form, "hours").toLongLong(&ok);
        const QString tier =
            field(form, "tier").trimmed().isEmpty() ? QStringLiteral("pro") : field(form, "tier").trimmed();
        const bool makeAdmin = field(form, "admin") == QLatin1String("1");
        // The first password is made here and shown once; the user changes it on the account page.
        const QByteArray password = secrets::randomToken(12);
        failure = !ok || hours < 0 || hours > 10000
                      ? std::optional<QString>(l("Hours must be a whole number from 0 to 10000.",
                                                 "Godziny muszą być liczbą całkowitą od 0 do 10000."))
                      : m_store.addUser(email, password, hours * 3600, tier,
                                        makeAdmin ? QStringLiteral("admin") : QStringLiteral("user"));
        if (!failure) {
            const QString added = Store::normalisedEmail(email).value_or(email);
            m_store.audit(
                admin.email, QStringLiteral("user.add"), added,
                QStringLiteral("%1 h, %2%3").arg(hours).arg(tier, makeAdmin ? QStringLiteral(", admin") : QString()));
            send(
                c, 200, l("User added", "Dodano użytkownika"),
                nav(c, admin) +
                    QStringLiteral("<h1>%1</h1><p>%2</p><p class=\"note\"><span class=\"code\" id=\"initial-password\">"
                                   "%3</span></p><p>%4</p><a class=\"button\" href=\"/admin/users\">%5</a>")
                        .arg(l("User added", "Dodano użytkownika"),
                             l("The first password of %1 is shown only now:",
                               "Pierwsze hasło %1 jest pokazane tylko teraz:")
                                 .arg(escaped(added)),
                             QString::fromLatin1(password),
                             l("Pass it on in person or by phone. They sign in with it in Quippet and change it on "
                               "their account page.",
                               "Przekaż je osobiście lub telefonicznie. Użytkownik loguje się nim w Quippet i zmienia "
                               "je "
                               "na stronie swojego konta."),
                             l("Back to users", "Wróć do użytkowników")),
                true);
            return;
        }
    } else if (action == QLatin1String("time")) {
        bool ok = false;
        const qint64 minutes = field(form, "minutes").toLongLong(&ok);
        failure = !ok || minutes <= 0 || minutes > 600000
                      ? std::optional<QString>(l("Minutes must be a positive whole number.",
                                                 "Minuty muszą być dodatnią liczbą całkowitą."))
                      : m_store.allow(email, minutes * 60);
        detail = QStringLiteral("+%1 min").arg(minutes);
    } else if (action == QLatin1String("tier")) {
        detail = field(form, "tier").trimmed();
        failure = m_store.setTier(email, detail);
    } else if (action == QLatin1String("revoke")) {
        failure = m_store.revoke(email);
    } else if (action == QLatin1String("disable") || action == QLatin1String("enable")) {
        if (action == QLatin1String("disable") && Store::normalisedEmail(email) == admin.email)
            failure = l("You cannot disable your own account.", "Nie możesz wyłączyć własnego konta.");
        else
            failure = m_store.setDisabled(email, action == QLatin1String("disable"));
    } else {
        send(c, 404, QStringLiteral("404"), QStringLiteral("<h1>404</h1>"));
        return;
    }
    if (failure) {
        send(c, 400, l("Not saved", "Nie zapisano"),
             nav(c, admin) + QStringLiteral("<h1>%1</h1><p class=\"error\" id=\"message\">%2</p><a class=\"button\" "
                                            "href=\"/admin/users\">%3</a>")
                                 .arg(l("Not saved", "Nie zapisano"), escaped(*failure), l("Back", "Wróć")),
             true);
        return;
    }
    m_store.audit(admin.email, QStringLiteral("user.") + action, Store::normalisedEmail(email).value_or(email), detail);
    redirect(c, QStringLiteral("/admin/users?done=") + action);
}

// --- documents ---

void Pages::documents(const Context& c, const User& admin) {
    const web::Lang& l = c.lang;
    QString body = nav(c, admin);
    const QString done = c.request.query.queryItemValue(QStringLiteral("done"));
    if (!done.isEmpty())
        body += QStringLiteral("<p class=\"note\" id=\"note\" role=\"status\">%1</p>").arg(l("Saved.", "Zapisano."));
    body += QStringLiteral("<h1>%1</h1><p>%2</p>")
                .arg(l("Documents", "Dokumenty"),
                     l("Every rep's Quippet pulls these documents and uses them in its answers.",
                       "Quippet każdego handlowca pobiera te dokumenty i korzysta z nich w podpowiedziach."));
    const QList<Document> docs = m_store.documents();
    if (!docs.isEmpty()) {
        body += QStringLiteral("<table id=\"documents\"><tr><th scope=\"col\">%1</th><th scope=\"col\" class=\"n\">%2"
                               "</th><th scope=\"col\">%3</th><th scope=\"col\">%4</th></tr>")
                    .arg(l("Name", "Nazwa"), l("Size", "Rozmiar"), l("Updated", "Zmieniono"), l("Change", "Zmień"));
        for (const Document& d : docs) {
            const QString name = escaped(d.name);
            body += QStringLiteral(
                        "<tr><td>%1</td><td class=\"n\">%2</td><td>%3</td><td><form method=\"post\" "
                        "action=\"/admin/documents/upload\" enctype=\"multipart/form-data\">%4<input type=\"hidden\" "
                        "name=\"name\" value=\"%1\"><input type=\"file\" name=\"files\" required aria-label=\"%5\">"
                        "<button type=\"submit\" aria-label=\"%6: %1\">%6</button></form><form method=\"post\" "
                        "action=\"/admin/documents/remove\">%4<input type=\"hidden\" name=\"name\" value=\"%1\">"
                        "<button type=\"submit\" class=\"quiet\" aria-label=\"%7: %1\">%7</button></form></td></tr>")
                        .arg(name, size(d.size), escaped(d.updatedAt), csrfField(c),
                             l("New content for %1", "Nowa treść dla %1").arg(name), l("Replace", "Zastąp"),
                             l("Remove", "Usuń"));
        }
        body += QStringLiteral("</table>");
    }
    body += QStringLiteral("<h2>%1</h2><form method=\"post\" action=\"/admin/documents/upload\" "
                           "enctype=\"multipart/form-data\">%2<label for=\"files\">%3</label><input type=\"file\" "
                           "id=\"files\" name=\"files\" multiple required><button type=\"submit\" id=\"upload\">%1"
                           "</button></form><p class=\"small\">%4</p>")
                .arg(l("Upload documents", "Wyślij dokumenty"), csrfField(c),
                     l("Files (a file of the same name is replaced)",
                       "Pliki (plik o tej samej nazwie zostanie zastąpiony)"),
                     l("Up to 16 MiB each. Names may not start with a dot or contain slashes.",
                       "Do 16 MiB każdy. Nazwa nie może zaczynać się od kropki ani zawierać ukośników."));
    send(c, 200, l("Documents", "Dokumenty"), body, true);
}

void Pages::upload(const Context& c, const User& admin) {
    const web::Lang& l = c.lang;
    const auto parts = web::multipartOf(c.request);
    QString replacing;
    for (const web::Part& part : parts.value_or(QList<web::Part>()))
        if (part.name == QLatin1String("name") && part.fileName.isEmpty())
            replacing = QString::fromUtf8(part.data);
    QStringList failures;
    int stored = 0;
    for (const web::Part& part : parts.value_or(QList<web::Part>())) {
        if (part.name != QLatin1String("files") || part.fileName.isEmpty())
            continue;
        // Some browsers send a whole path; only its last piece names the document.
        QString name = replacing.isEmpty() ? part.fileName.section(QLatin1Char('/'), -1).section(QLatin1Char('\\'), -1)
                                           : replacing;
        const QString mime = QMimeDatabase().mimeTypeForFileNameAndData(name, part.data).name();
        if (const auto failure = m_store.addDocument(name, mime, part.data)) {
            failures << *failure;
            continue;
        }
        ++stored;
        m_store.audit(admin.email,
                      replacing.isEmpty() ? QStringLiteral("document.upload") : QStringLiteral("document.replace"),
                      name, size(part.data.size()));
    }
    if (!failures.isEmpty() || stored == 0) {
        if (failures.isEmpty())
            failures << l("No file was sent.", "Nie wysłano żadnego pliku.");
        QString list;
        for (const QString& failure : failures)
            list += QStringLiteral("<li>%1</li>").arg(escaped(failure));
        send(c, 400, l("Not saved", "Nie zapisano"),
             nav(c, admin) + QStringLiteral("<h1>%1</h1><ul class=\"error\" id=\"message\">%2</ul><a class=\"button\" "
                                            "href=\"/admin/documents\">%3</a>")
                                 .arg(l("Some files were not stored", "Niektóre pliki nie zostały zapisane"), list,
                                      l("Back", "Wróć")),
             true);
        return;
    }
    redirect(c, QStringLiteral("/admin/documents?done=uploaded"));
}

// --- usage ---

namespace {

struct UsageTable {
    QStringList days;                                                        // the last 30, oldest first
    std::map<qint64, std::map<QString, qint64>> seconds;                     // user -> day -> listening seconds
    std::map<qint64, std::map<QString, std::pair<qint64, qint64>>> requests; // user -> day -> (model, speech)
};

UsageTable usageTable(Store& store) {
    UsageTable t;
    const qint64 today =
        QDateTime::fromMSecsSinceEpoch(store.now(), Qt::UTC).date().startOfDay(Qt::UTC).toMSecsSinceEpoch();
    const qint64 since = today - qint64(kUsageDays - 1) * 86'400'000;
    for (int i = 0; i < kUsageDays; ++i)
        t.days << day(since + qint64(i) * 86'400'000);
    for (const SessionRecord& s : store.sessionsSince(since))
        t.seconds[s.userId][day(s.startedAt)] += s.seconds;
    for (const RequestCount& r : store.requestCounts(t.days.first())) {
        auto& cell = t.requests[r.userId][r.day];
        (r.kind == QLatin1String("model") ? cell.first : cell.second) += r.count;
    }
    return t;
}

// Stacked bars, one per day, one colour per user; drawn here so the page loads nothing.
QString chart(const UsageTable& t, const QList<User>& users, const web::Lang& l) {
    constexpr int width = 900, height = 260, left = 48, bottom = 28, top = 10;
    const double barWidth = double(width - left) / t.days.size();
    qint64 peak = 0;
    for (const QString& d : t.days) {
        qint64 total = 0;
        for (const auto& [user, days] : t.seconds)
            total += days.count(d) ? days.at(d) : 0;
        peak = std::max(peak, total);
    }
    // The axis in whole hours, or in minutes below two hours.
    const bool hours = peak >= 7200;
    const qint64 unit = hours ? 3600 : 60;
    const qint64 step = std::max<qint64>(1, (peak / unit + 4) / 4);
    const qint64 axisMax = std::max<qint64>(step * 4, 1) * unit;
    const double scale = double(height - bottom - top) / double(axisMax);
    QString svg = QStringLiteral("<svg id=\"chart\" viewBox=\"0 0 %1 %2\" width=\"%1\" height=\"%2\" role=\"img\" "
                                 "aria-labelledby=\"chart-title\" xmlns=\"http://www.w3.org/2000/svg\"><title "
                                 "id=\"chart-title\">%3</title>")
                      .arg(width)
                      .arg(height)
                      .arg(l("Listening time per day and user, last 30 days",
                             "Czas słuchania dziennie na użytkownika, ostatnie 30 dni"));
    for (int i = 0; i <= 4; ++i) {
        const double y = height - bottom - i * step * unit * scale;
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" stroke=\"#ddd\"/><text x=\"%4\" y=\"%5\" "
                              "font-size=\"11\" text-anchor=\"end\" fill=\"#555\">%6 %7</text>")
                   .arg(left)
                   .arg(width)
                   .arg(y, 0, 'f', 1)
                   .arg(left - 4)
                   .arg(y + 4, 0, 'f', 1)
                   .arg(i * step)
                   .arg(hours ? QStringLiteral("h") : QStringLiteral("min"));
    }
    for (int i = 0; i < t.days.size(); ++i) {
        double y = height - bottom;
        const double x = left + i * barWidth + 2;
        int colour = 0;
        for (const User& u : users) {
            const auto found = t.seconds.find(u.id);
            const qint64 value =
                found != t.seconds.end() && found->second.count(t.days[i]) ? found->second.at(t.days[i]) : 0;
            if (value > 0) {
                const double h = value * scale;
                y -= h;
                svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"><title>%6 %7: %8"
                                      "</title></rect>")
                           .arg(x, 0, 'f', 1)
                           .arg(y, 0, 'f', 1)
                           .arg(barWidth - 4, 0, 'f', 1)
                           .arg(h, 0, 'f', 1)
                           .arg(QLatin1String(kColours[colour % 8]), t.days[i], escaped(u.email), duration(value));
            }
            ++colour;
        }
        if (i % 5 == 0 || i == t.days.size() - 1)
            svg += QStringLiteral(
                       "<text x=\"%1\" y=\"%2\" font-size=\"11\" text-anchor=\"middle\" fill=\"#555\">%3</text>")
                       .arg(x + barWidth / 2 - 2, 0, 'f', 1)
                       .arg(height - 8)
                       .arg(t.days[i].mid(5));
    }
    return svg + QStringLiteral("</svg>");
}

} // namespace

void Pages::usage(const Context& c, const User& admin) {
    const web::Lang& l = c.lang;
    const QList<User> users = m_store.users();
    const UsageTable t = usageTable(m_store);
    QString legend;
    int colour = 0;
    for (const User& u : users)
        legend += QStringLiteral("<span><i class=\"swatch c%1\"></i>%2</span>").arg(colour++ % 8).arg(escaped(u.email));
    QString rows;
    for (const User& u : users) {
        qint64 seconds = 0, model = 0, speech = 0;
        if (t.seconds.count(u.id))
            for (const auto& [d, value] : t.seconds.at(u.id))
                seconds += value;
        if (t.requests.count(u.id))
            for (const auto& [d, value] : t.requests.at(u.id)) {
                model += value.first;
                speech += value.second;
            }
        rows +=
            QStringLiteral("<tr><td>%1</td><td class=\"n\">%2</td><td class=\"n\">%3</td><td class=\"n\">%4</td></tr>")
                .arg(escaped(u.email), duration(seconds), QString::number(model), QString::number(speech));
    }
    const QString body =
        nav(c, admin) +
        QStringLiteral(
            "<h1>%1</h1>%2<p class=\"legend\">%3</p><h2>%4</h2><table id=\"usage\"><tr><th scope=\"col\">%5"
            "</th><th scope=\"col\" class=\"n\">%6</th><th scope=\"col\" class=\"n\">%7</th><th scope=\"col\" "
            "class=\"n\">%8</th></tr>%9</table><a class=\"button\" href=\"/admin/usage.csv\" id=\"csv\" "
            "download>%10</a>")
            .arg(l("Usage, last 30 days", "Zużycie, ostatnie 30 dni"), chart(t, users, l), legend, l("Totals", "Razem"),
                 l("User", "Użytkownik"), l("Listening", "Słuchanie"), l("Model requests", "Zapytania do modelu"),
                 l("Speech tokens", "Tokeny mowy"), rows, l("Download CSV", "Pobierz CSV"));
    send(c, 200, l("Usage", "Zużycie"), body, true);
}

void Pages::usageCsv(const Context& c) {
    const UsageTable t = usageTable(m_store);
    QByteArray out = "date,email,listening_seconds,model_requests,speech_tokens\n";
    for (const QString& d : t.days)
        for (const User& u : m_store.users()) {
            const qint64 seconds = t.seconds.count(u.id) && t.seconds.at(u.id).count(d) ? t.seconds.at(u.id).at(d) : 0;
            const auto requests = t.requests.count(u.id) && t.requests.at(u.id).count(d) ? t.requests.at(u.id).at(d)
                                                                                         : std::pair<qint64, qint64>{};
            if (seconds == 0 && requests.first == 0 && requests.second == 0)
                continue;
            out += (QStringList{d, csvCell(u.email), QString::number(seconds), QString::number(requests.first),
                                QString::number(requests.second)}
                        .join(QLatin1Char(',')) +
                    QLatin1Char('\n'))
                       .toUtf8();
        }
    c.exchange->send(200,
                     {{"Content-Type", "text/csv; charset=utf-8"},
                      {"Content-Disposition", "attachment; filename=\"quippet-usage.csv\""},
                      {"Cache-Control", "no-store"},
                      {"X-Content-Type-Options", "nosniff"}},
                     out);
}

// --- audit log ---

void Pages::auditLog(const Context& c, const User& admin) {
    const web::Lang& l = c.lang;
    QString rows;
    for (const AuditEntry& e : m_store.auditLog(kAuditRows))
        rows += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td></tr>")
                    .arg(when(e.at), escaped(e.actor), escaped(e.action), escaped(e.subject), escaped(e.detail));
    send(c, 200, l("Audit log", "Dziennik zmian"),
         nav(c, admin) +
             QStringLiteral("<h1>%1</h1><table id=\"audit\"><tr><th scope=\"col\">%2</th><th scope=\"col\">%3"
                            "</th><th scope=\"col\">%4</th><th scope=\"col\">%5</th><th scope=\"col\">%6"
                            "</th></tr>%7</table>")
                 .arg(l("Audit log", "Dziennik zmian"), l("When", "Kiedy"), l("Who", "Kto"), l("What", "Co"),
                      l("Subject", "Dotyczy"), l("Detail", "Szczegóły"), rows),
         true);
}

} // namespace quippet::server
