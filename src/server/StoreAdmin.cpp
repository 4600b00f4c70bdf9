// The account and admin pages' side of the store: roles, browser sessions, the audit log and what usage shows.
#include "server/Store.h"

#include <QDateTime>

namespace quippet::server {

namespace {

QString orEmpty(const QString& text) {
    return text.isNull() ? QString(QLatin1String("")) : text;
}

} // namespace

std::optional<QString> Store::setTier(const QString& email, const QString& tier) {
    if (const auto bad = checkTier(tier))
        return bad;
    const auto found = user(email);
    if (!found)
        return QStringLiteral("no such user: %1").arg(email.left(80));
    bool ok = false;
    m_db.exec(QStringLiteral("UPDATE users SET tier = ? WHERE id = ?"), {tier, found->id}, &ok);
    return ok ? std::nullopt : std::optional<QString>(QStringLiteral("the tier could not be stored"));
}

std::optional<QString> Store::setDisabled(const QString& email, bool disabled) {
    const auto found = user(email);
    if (!found)
        return QStringLiteral("no such user: %1").arg(email.left(80));
    bool ok = false;
    if (disabled) {
        m_db.exec(QStringLiteral("UPDATE users SET disabled_at = ? WHERE id = ?"), {now(), found->id}, &ok);
        m_db.exec(QStringLiteral("DELETE FROM web_sessions WHERE user_id = ?"), {found->id});
        if (ok)
            return revoke(email);
    } else {
        m_db.exec(QStringLiteral("UPDATE users SET disabled_at = NULL WHERE id = ?"), {found->id}, &ok);
    }
    return ok ? std::nullopt : std::optional<QString>(QStringLiteral("the account could not be changed"));
}

std::optional<QString> Store::setPassword(qint64 userId, const QByteArray& password) {
    if (password.size() < 8)
        return QStringLiteral("the password must have at least 8 characters");
    if (password.size() > 1024)
        return QStringLiteral("the password is longer than 1024 bytes");
    const auto hash = secrets::hashPassword(password, m_cost);
    if (!hash)
        return QStringLiteral("the password could not be hashed (out of memory)");
    bool ok = false;
    m_db.exec(QStringLiteral("UPDATE users SET password_hash = ? WHERE id = ?"), {QString::fromLatin1(*hash), userId},
              &ok);
    return ok ? std::nullopt : std::optional<QString>(QStringLiteral("the password could not be stored"));
}

// --- browser sessions ---

std::optional<QByteArray> Store::openWebSession(qint64 userId) {
    m_db.exec(QStringLiteral("DELETE FROM web_sessions WHERE expires_at < ?"), {now()});
    const QByteArray token = secrets::randomToken(32);
    bool ok = false;
    m_db.exec(QStringLiteral("INSERT INTO web_sessions (token_hash, user_id, created_at, expires_at) VALUES (?, ?, ?, "
                             "?)"),
              {QString::fromLatin1(secrets::sha256Hex(token)), userId, now(), now() + kWebSessionMs}, &ok);
    if (!ok)
        return std::nullopt;
    return token;
}

std::optional<User> Store::userByWebSession(const QByteArray& token) {
    if (token.isEmpty() || token.size() > 200)
        return std::nullopt;
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT u.id, u.email, u.tier, u.seconds_allowed, u.seconds_used, "
                                               "u.role, u.disabled_at FROM web_sessions w JOIN users u ON u.id = "
                                               "w.user_id WHERE w.token_hash = ? AND w.expires_at > ? AND "
                                               "u.disabled_at IS NULL"),
                                {QString::fromLatin1(secrets::sha256Hex(token)), now()});
    return readUser(query);
}

void Store::closeWebSession(const QByteArray& token) {
    if (!token.isEmpty())
        m_db.exec(QStringLiteral("DELETE FROM web_sessions WHERE token_hash = ?"),
                  {QString::fromLatin1(secrets::sha256Hex(token))});
}

// --- what the pages show ---

QList<SessionRecord> Store::recentSessions(qint64 userId, int limit) {
    QList<SessionRecord> out;
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT user_id, started_at, seconds_charged, company, topic FROM "
                                               "sessions WHERE user_id = ? ORDER BY started_at DESC LIMIT ?"),
                                {userId, limit});
    while (query.next())
        out.append({query.value(0).toLongLong(), query.value(1).toLongLong(), query.value(2).toLongLong(),
                    query.value(3).toString(), query.value(4).toString()});
    return out;
}

QList<SessionRecord> Store::sessionsSince(qint64 sinceMs) {
    QList<SessionRecord> out;
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT user_id, started_at, seconds_charged FROM sessions WHERE "
                                               "started_at >= ? ORDER BY started_at"),
                                {sinceMs});
    while (query.next())
        out.append({query.value(0).toLongLong(), query.value(1).toLongLong(), query.value(2).toLongLong(), {}, {}});
    return out;
}

QHash<qint64, qint64> Store::lastActivity() {
    QHash<qint64, qint64> out;
    QSqlQuery query =
        m_db.exec(QStringLiteral("SELECT user_id, MAX(last_heartbeat_at) FROM sessions GROUP BY user_id"));
    while (query.next())
        out.insert(query.value(0).toLongLong(), query.value(1).toLongLong());
    return out;
}

QStringList Store::adminEmails() {
    QStringList out;
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT email FROM users WHERE role = ? AND disabled_at IS NULL ORDER "
                                               "BY email"),
                                {QStringLiteral("admin")});
    while (query.next())
        out.append(query.value(0).toString());
    return out;
}

void Store::audit(const QString& actor, const QString& action, const QString& subject, const QString& detail) {
    m_db.exec(QStringLiteral("INSERT INTO audit_log (at, actor, action, subject, detail) VALUES (?, ?, ?, ?, ?)"),
              {now(), orEmpty(actor), orEmpty(action), orEmpty(subject.left(300)), orEmpty(detail.left(300))});
}

QList<AuditEntry> Store::auditLog(int limit) {
    QList<AuditEntry> out;
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT at, actor, action, subject, detail FROM audit_log ORDER BY id "
                                               "DESC LIMIT ?"),
                                {limit});
    while (query.next())
        out.append({query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toString(),
                    query.value(3).toString(), query.value(4).toString()});
    return out;
}

void Store::countRequest(qint64 userId, const QString& kind) {
    const QString day = QDateTime::fromMSecsSinceEpoch(now(), Qt::UTC).toString(QStringLiteral("yyyy-MM-dd"));
    m_db.exec(QStringLiteral("INSERT INTO request_counts (user_id, day, kind, count) VALUES (?, ?, ?, 1) ON CONFLICT "
                             "(user_id, day, kind) DO UPDATE SET count = request_counts.count + 1"),
              {userId, day, kind});
}

QList<RequestCount> Store::requestCounts(const QString& sinceDay) {
    QList<RequestCount> out;
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT user_id, day, kind, count FROM request_counts WHERE day >= ? "
                                               "ORDER BY day, user_id, kind"),
                                {sinceDay});
    while (query.next())
        out.append({query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toString(),
                    query.value(3).toLongLong()});
    return out;
}

qint64 Store::openSessionCount() {
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT COUNT(*) FROM sessions WHERE ended_at IS NULL AND "
                                               "last_heartbeat_at >= ?"),
                                {now() - kStaleMs});
    return query.next() ? query.value(0).toLongLong() : 0;
}

bool Store::reachable() {
    bool ok = false;
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT 1"), {}, &ok);
    return ok && query.next();
}

} // namespace quippet::server
