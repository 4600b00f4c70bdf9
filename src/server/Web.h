#pragma once

#include "server/Http.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrlQuery>

#include <optional>

namespace quippet::server::web {

// Pages load nothing from elsewhere, run no script, post only to this server and are never framed.
inline const HeaderList& pageHeaders() {
    static const HeaderList headers = {{"Content-Type", "text/html; charset=utf-8"},
                                       {"Content-Security-Policy",
                                        "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
                                        "frame-ancestors 'none'; base-uri 'none'"},
                                       {"X-Frame-Options", "DENY"},
                                       {"X-Content-Type-Options", "nosniff"},
                                       {"Referrer-Policy", "no-referrer"},
                                       {"Cache-Control", "no-store"}};
    return headers;
}

// The stylesheet every page links to (/style.css).
QByteArray styleSheet();

inline QString escaped(const QString& text) {
    return text.toHtmlEscaped();
}

// A form body: "+" is a blank there, and every value is percent-decoded.
QUrlQuery formOf(const HttpRequest& request);
inline QString field(const QUrlQuery& form, const char* name) {
    return form.queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
}

// One part of a multipart/form-data body.
struct Part {
    QString name;
    QString fileName; // empty for a plain field
    QByteArray type;
    QByteArray data;
};
// The parts, or nothing when the body is not well-formed multipart.
std::optional<QList<Part>> multipartOf(const HttpRequest& request);

// A cookie for this server's pages: HttpOnly, SameSite=Strict, and Secure behind https.
QByteArray cookie(const QByteArray& name, const QByteArray& value, int maxAge, bool secure);

// The browser's form token (the qs_csrf cookie) when it is well-formed, else a new one.
QByteArray formToken(const HttpRequest& request);
// Whether a posted form token matches the browser's cookie (double submit).
bool formTokenMatches(const HttpRequest& request, const QString& sent);

// Polish or English, whichever the browser prefers first.
struct Lang {
    bool polish = false;
    QString operator()(const char* english, const char* polishText) const {
        return QString::fromUtf8(polish ? polishText : english);
    }
    QString code() const { return polish ? QStringLiteral("pl") : QStringLiteral("en"); }
};
Lang langOf(const HttpRequest& request);

// The whole HTML document around a page's body.
QByteArray document(const Lang& lang, const QString& title, const QString& body, bool wide = false);

} // namespace quippet::server::web
