#include "server/Web.h"

#include "server/Secrets.h"

#include <QRegularExpression>

#include <optional>

namespace quippet::server::web {

QByteArray styleSheet() {
    return QByteArrayLiteral(R"(body{font:16px/1.5 system-ui,sans-serif;background:#f4f2ee;color:#1d1d1f;margin:0}
main{max-width:26rem;margin:4rem auto;padding:2rem;background:#fff;border-radius:12px;box-shadow:0 2px 12px #0002}
main.wide{max-width:64rem;margin:2rem auto}
h1{font-size:1.35rem;margin:0 0 1rem}h2{font-size:1.1rem;margin:1.6rem 0 .6rem}
label{display:block;margin:.8rem 0 .2rem;font-weight:600}
input[type=email],input[type=password],input[type=text],input[type=number]{width:100%;box-sizing:border-box;
padding:.55rem;border:1px solid #bbb;border-radius:6px;font-size:1rem}button,a.button{display:inline-block;
margin-top:1.2rem;padding:.6rem 1.2rem;border:0;border-radius:6px;background:#3b5bdb;color:#fff;font-size:1rem;
text-decoration:none;cursor:pointer}button.quiet{background:#e9e9ee;color:#1d1d1f;margin-left:.5rem}
.error{color:#b00020}.note{background:#eef3ff;padding:.6rem .8rem;border-radius:6px}
.code{font-family:monospace;font-size:1.1rem;letter-spacing:.1em}p.small{color:#666;font-size:.85rem}
nav{display:flex;flex-wrap:wrap;gap:1rem;margin:0 0 1.2rem;padding:0 0 .6rem;border-bottom:1px solid #ddd}
nav form{margin:0 0 0 auto}nav button{margin:0;padding:.2rem .8rem}
table{border-collapse:collapse;width:100%;font-size:.9rem}th,td{text-align:left;padding:.35rem .4rem;
border-bottom:1px solid #e3e3e3;vertical-align:top}td.n,th.n{text-align:right}
td form{display:inline-flex;gap:.3rem;margin:.1rem .3rem .1rem 0}td input{width:6rem!important;padding:.2rem!important}
td button{margin:0;padding:.2rem .6rem;font-size:.85rem}.inline{display:flex;gap:.5rem;align-items:end;flex-wrap:wrap}
.inline label{margin:0}.inline button{margin:0}svg{max-width:100%;height:auto}.legend span{margin-right:1rem}
.swatch{display:inline-block;width:.8rem;height:.8rem;border-radius:2px;margin-right:.3rem}
.c0{background:#3b5bdb}.c1{background:#e8590c}.c2{background:#2b8a3e}.c3{background:#ae3ec9}.c4{background:#c92a2a}
.c5{background:#1098ad}.c6{background:#f08c00}.c7{background:#5c940d})");
}

QUrlQuery formOf(const HttpRequest& request) {
    QByteArray body = request.body;
    body.replace('+', "%20");
    return QUrlQuery(QString::fromUtf8(body));
}

namespace {

// The value of one parameter of a header such as Content-Disposition: name="x"; filename="y".
QByteArray parameter(const QByteArray& header, const QByteArray& name) {
    for (const QByteArray& item : header.split(';')) {
        const QByteArray trimmed = item.trimmed();
        const qsizetype eq = trimmed.indexOf('=');
        if (eq <= 0 || trimmed.left(eq).trimmed().toLower() != name)
            continue;
        QByteArray value = trimmed.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return {};
}

} // namespace

std::optional<QList<Part>> multipartOf(const HttpRequest& request) {
    const QByteArray type = request.header("content-type");
    if (!type.toLower().startsWith("multipart/form-data"))
        return std::nullopt;
    const QByteArray boundary = parameter(type, "boundary");
    if (boundary.isEmpty() || boundary.size() > 200)
        return std::nullopt;
    const QByteArray delimiter = "--" + boundary;
    const QByteArray& body = request.body;
    qsizetype at = body.indexOf(delimiter);
    if (at < 0)
        return std::nullopt;
    QList<Part> parts;
    while (true) {
        at += delimiter.size();
        if (body.mid(at, 2) == "--")
            return parts; // the closing delimiter
        if (body.mid(at, 2) != "\r\n")
            return std::nullopt;
        at += 2;
        const qsizetype headEnd = body.indexOf("\r\n\r\n", at);
        if (headEnd < 0)
            return std::nullopt;
        const qsizetype next = body.indexOf("\r\n" + delimiter, headEnd + 4);
        if (next < 0)
            return std::nullopt;
        Part part;
        for (const QByteArray& line : body.mid(at, headEnd - at).split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "content-disposition") {
                part.name = QString::fromUtf8(parameter(value, "name"));
                part.fileName = QString::fromUtf8(parameter(value, "filename"));
            } else if (name == "content-type") {
                part.type = value;
            }
        }
        part.data = body.mid(headEnd + 4, next - headEnd - 4);
        parts.append(part);
        if (parts.size() > 200)
            return std::nullopt;
        at = next + 2;
    }
}

QByteArray cookie(const QByteArray& name, const QByteArray& value, int maxAge, bool secure) {
    QByteArray out =
        name + '=' + value + "; Path=/; Max-Age=" + QByteArray::number(maxAge) + "; HttpOnly; SameSite=Strict";
    if (secure)
        out += "; Secure";
    return out;
}

QByteArray formToken(const HttpRequest& request) {
    const QByteArray held = request.cookie("qs_csrf");
    static const QRegularExpression wellFormed(QStringLiteral("^[A-Za-z0-9_-]{32}$"));
    if (wellFormed.match(QString::fromLatin1(held)).hasMatch())
        return held;
    return secrets::randomToken(24);
}

bool formTokenMatches(const HttpRequest& request, const QString& sent) {
    const QByteArray held = request.cookie("qs_csrf");
    return !held.isEmpty() && secrets::equal(sent.toLatin1(), held);
}

Lang langOf(const HttpRequest& request) {
    // "pl-PL,pl;q=0.9,en;q=0.8": the highest weight wins, the earlier one on a tie.
    double best = -1;
    Lang lang;
    for (const QByteArray& item : request.header("accept-language").split(',')) {
        const QList<QByteArray> pieces = item.trimmed().split(';');
        const QByteArray tag = pieces.value(0).trimmed().toLower().left(2);
        double weight = 1;
        for (const QByteArray& piece : pieces.mid(1))
            if (piece.trimmed().startsWith("q="))
                weight = piece.trimmed().mid(2).toDouble();
        if ((tag == "pl" || tag == "en") && weight > best) {
            best = weight;
            lang.polish = tag == "pl";
        }
    }
    return lang;
}

QByteArray document(const Lang& lang, const QString& title, const QString& body, bool wide) {
    return QStringLiteral("<!DOCTYPE html>\n<html lang=\"%1\"><head><meta charset=\"utf-8\">"
                          "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
                          "<title>%2</title><link rel=\"stylesheet\" href=\"/style.css\"></head>"
                          "<body><main%3>%4</main></body></html>\n")
        .arg(lang.code(), escaped(title), wide ? QStringLiteral(" class=\"wide\"") : QString(), body)
        .toUtf8();
}

} // namespace quippet::server::web
