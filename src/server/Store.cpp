#include "server/Store.h"

#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>

namespace quippet::server {

namespace {

constexpr qsizetype kMaxDeviceName = 100;
constexpr qsizetype kMaxLabel = 200; // company and topic of a session
constexpr qsizetype kMaxDocumentBytes = 16 << 20;
constexpr qsizetype kMaxTokenChars = 200;

QString plainText(const QString& text, qsizetype limit) {
    QString out;
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            continue;
        out += c;
    }
    out = out.trimmed().left(limit);
    return out.isNull() ? QString(QLatin1String("")) : out; // bound as '' rather than NULL
}

} // namespace

Store::Store(Database& db, Clock& clock, HashCost cost) : m_db(db), m_clock(clock), m_cost(cost) {}

QByteArray Store::dummyHash() {
    if (m_dummyHash.isEmpty())
        m_dummyHash = secrets::hashPassword("not a password of anyone", m_cost).value_or(QByteArray());
    return m_dummyHash;
}

// --- accounts ---

std::optional<QString> Store::normalisedEmail(const QString& email) {
    const QString text = email.trimmed().toLower();
    if (text.size() < 3 || text.size() > 254 || text.count(QLatin1Char('@')) != 1 ||
        text.startsWith(QLatin1Char('@')) || text.endsWith(QLatin1Char('@')))
        return std::nullopt;
    for (const QChar c : text) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return std::nullopt;
    }
    return text;
}

qint64 Store::sessionCap(const QString& tier) {
    return tier == QLatin1String("free") ? 15 * 60 : 4 * 3600;
}

QString Store::noCreditCode(const User& user) {
    return user.tier == QLatin1String("free") ? QStringLiteral("free_session_limit")
                                              : QStringLiteral("insufficient_credit");
}

// The columns readUser() reads, in its order.
#define USER_COLUMNS "id, email, tier, seconds_allowed, seconds_used, role, disabled_at"

std::optional<User> Store::readUser(QSqlQuery& query) {
    if (!query.next())
        return std::nullopt;
    User user;
    user.role = query.value(5).toString();
    user.disabled = !query.value(6).isNull();
    user.id = query.value(0).toLongLong();
    user.email = query.value(1).toString();
    user.tier = query.value(2).toString();
    user.secondsAllowed = query.value(3).toLongLong();
    user.secondsUsed = query.value(4).toLongLong();
    return user;
}

std::optional<User> Store::user(const QString& email) {
    const auto normal = normalisedEmail(email);
    if (!normal)
        return std::nullopt;
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT " USER_COLUMNS " FROM users WHERE email = ?"), {*normal});
    return readUser(query);
}

std::optional<User> Store::userById(qint64 id) {
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT " USER_COLUMNS " FROM users WHERE id = ?"), {id});
    return readUser(query);
}

QList<User> Store::users(const QString& email) {
    QList<User> out;
    if (!email.isEmpty()) {
        if (const auto found = user(email))
            out.append(*found);
        return out;
    }
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT " USER_COLUMNS " FROM users ORDER BY email"));
    while (const auto found = readUser(query))
        out.append(*found);
    return out;
}

std::optional<QString> Store::checkTier(const QString& tier) {
    static const QRegularExpression tierPattern(QStringLiteral("^[a-z0-9_-]{1,32}$"));
    if (!tierPattern.match(tier).hasMatch())
        return QStringLiteral("a tier is 1 to 32 of a-z, 0-9, _ and -");
    return std::nullopt;
}

std::optional<QString> Store::addUser(const QString& email, const QByteArray& password, qint64 seconds,
                                      const QString& tier, const QString& role) {
    const auto normal = normalisedEmail(email);
    if (!normal)
        return QStringLiteral("not an e-mail address: %1").arg(email.left(80));
    if (password.size() < 8)
        return QStringLiteral("the password must have at least 8 characters");
    if (password.size() > 1024)
        return QStringLiteral("the password is longer than 1024 bytes");
    if (const auto bad = checkTier(tier))
        return bad;
    if (role != QLatin1String("user") && role != QLatin1String("admin"))
        return QStringLiteral("a role is user or admin");
    if (seconds < 0)
        return QStringLiteral("seconds must not be negative");
    if (user(*normal))
        return QStringLiteral("%1 already exists").arg(*normal);
    const auto hash = secrets::hashPassword(password, m_cost);
    if (!hash)
        return QStringLiteral("the password could not be hashed (out of memory)");
    bool ok = false;
    m_db.exec(QStringLiteral("INSERT INTO users (email, password_hash, tier, seconds_allowed, seconds_used, "
                             "created_at, role) VALUES (?, ?, ?, ?, 0, ?, ?)"),
              {*normal, QString::fromLatin1(*hash), tier, seconds, now(), role}, &ok);
    if (!ok)
        return QStringLiteral("the user could not be stored");
    return std::nullopt;
}

std::optional<QString> Store::allow(const QString& email, qint64 seconds) {
    if (seconds <= 0)
        return QStringLiteral("--seconds must be a positive number");
    const auto found = user(email);
    if (!found)
        return QStringLiteral("no such user: %1").arg(email.left(80));
    bool ok = false;
    m_db.exec(QStringLiteral("UPDATE users SET seconds_allowed = seconds_allowed + ? WHERE id = ?"),
              {seconds, found->id}, &ok);
    return ok ? std::nullopt : std::optional<QString>(QStringLiteral("the allowance could not be stored"));
}

std::optional<QString> Store::revoke(const QString& email) {
    const auto found = user(email);
    if (!found)
        return QStringLiteral("no such user: %1").arg(email.left(80));
    bool ok = false;
    m_db.exec(QStringLiteral("UPDATE access_tokens SET revoked_at = ? WHERE user_id = ? AND revoked_at IS NULL"),
              {now(), found->id}, &ok);
    // Its open session ends with what was charged up to its last heartbeat.
    m_db.exec(QStringLiteral("UPDATE sessions SET ended_at = last_heartbeat_at WHERE user_id = ? AND ended_at IS "
                             "NULL"),
              {found->id});
    return ok ? std::nullopt : std::optional<QString>(QStringLiteral("the devices could not be signed out"));
}

// --- documents ---

bool Store::isSafeDocumentName(const QString& name) {
    if (name.isEmpty() || name.size() > 200 || name.startsWith(QLatin1Char('.')) || name != name.trimmed())
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control ||
            c.category() == QChar::Other_Format)
            return false;
    }
    return name != QLatin1String("o-mnie.md"); // the user's own profile in the same folder
}

std::optional<QString> Store::addDocument(const QString& name, const QString& mime, const QByteArray& content) {
    if (!isSafeDocumentName(name))
        return QStringLiteral("not a plain file name: %1").arg(name.left(80));
    if (content.size() > kMaxDocumentBytes)
        return QStringLiteral("a document may have at most 16 MiB");
    const QString stamp = QDateTime::fromMSecsSinceEpoch(now(), Qt::UTC).toString(Qt::ISODateWithMs);
    bool ok = false;
    m_db.exec(QStringLiteral("INSERT INTO documents (name, mime, content, size, updated_at) VALUES (?, ?, ?, ?, ?) "
                             "ON CONFLICT (name) DO UPDATE SET mime = excluded.mime, content = excluded.content, "
                             "size = excluded.size, updated_at = excluded.updated_at"),
              {name, mime, content, qint64(content.size()), stamp}, &ok);
    return ok ? std::nullopt : std::optional<QString>(QStringLiteral("the document could not be stored"));
}

std::optional<QString> Store::removeDocument(const QString& name) {
    bool ok = false;
    QSqlQuery query = m_db.exec(QStringLiteral("DELETE FROM documents WHERE name = ?"), {name}, &ok);
    if (!ok)
        return QStringLiteral("the document could not be removed");
    if (query.numRowsAffected() < 1)
        return QStringLiteral("no such document: %1").arg(name.left(80));
    return std::nullopt;
}

QList<Document> Store::documents() {
    QList<Document> out;
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT name, mime, size, updated_at FROM documents ORDER BY name"));
    while (query.next())
        out.append({query.value(0).toString(),
                    query.value(1).toString(),
                    query.value(2).toLongLong(),
                    query.value(3).toString(),
                    {}});
    return out;
}

std::optional<Document> Store::document(const QString& name) {
    QSqlQuery query =
        m_db.exec(QStringLiteral("SELECT name, mime, size, updated_at, content FROM documents WHERE name = ?"), {name});
    if (!query.next())
        return std::nullopt;
    return Document{query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong(),
                    query.value(3).toString(), query.value(4).toByteArray()};
}

// --- device sign-in ---

std::optional<Store::DeviceStart> Store::startDevice(const QString& deviceName, const QString& address) {
    QString name = plainText(deviceName, kMaxDeviceName);
    if (name.isEmpty())
        name = QStringLiteral("computer");
    m_db.exec(QStringLiteral("DELETE FROM device_codes WHERE expires_at < ?"), {now() - 86'400'000});
    QSqlQuery recent =
        m_db.exec(QStringLiteral("SELECT COUNT(*) FROM device_codes WHERE address = ? AND created_at > ?"),
                  {address, now() - kFailureWindowMs});
    if (recent.next() && recent.value(0).toInt() >= kDeviceStartsPerAddress)
        return std::nullopt;
    DeviceStart start;
    start.deviceCode = secrets::randomToken(32);
    start.expiresIn = kDeviceLifetimeS;
    for (int attempt = 0; attempt < 5; ++attempt) {
        start.userCode = secrets::userCode();
        bool ok = false;
        m_db.exec(QStringLiteral("INSERT INTO device_codes (code_hash, user_code, device_name, created_at, expires_at, "
                                 "address) VALUES (?, ?, ?, ?, ?, ?)"),
                  {QString::fromLatin1(secrets::sha256Hex(start.deviceCode)), start.userCode, name, now(),
                   now() + kDeviceLifetimeS * 1000, address.isNull() ? QString(QLatin1String("")) : address},
                  &ok);
        if (ok)
            return start;
    }
    return std::nullopt;
}

std::optional<DeviceSignIn> Store::deviceByUserCode(const QString& userCode) {
    QString code = userCode.trimmed().toUpper().remove(QLatin1Char(' ')).remove(QLatin1Char('-'));
    if (code.size() != 8)
        return std::nullopt;
    code.insert(4, QLatin1Char('-'));
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT id, user_code, device_name, expires_at, pending_user_id, "
                                               "confirmed_at FROM device_codes WHERE user_code = ? AND expires_at > ? "
                                               "AND spent_at IS NULL"),
                                {code, now()});
    if (!query.next())
        return std::nullopt;
    DeviceSignIn device;
    device.id = query.value(0).toLongLong();
    device.userCode = query.value(1).toString();
    device.deviceName = query.value(2).toString();
    device.expiresAt = query.value(3).toLongLong();
    if (!query.value(4).isNull())
        device.pendingUserId = query.value(4).toLongLong();
    device.confirmed = !query.value(5).isNull();
    return device;
}

std::variant<qint64, QString> Store::checkPassword(const QString& email, const QByteArray& password,
                                                   const QString& address) {
    const PasswordCheck check = beginPasswordCheck(email, address);
    if (check.locked)
        return QStringLiteral("locked");
    return finishPasswordCheck(check, secrets::verifyPassword(check.hash, password));
}

Store::PasswordCheck Store::beginPasswordCheck(const QString& email, const QString& address) {
    PasswordCheck check;
    check.account = normalisedEmail(email).value_or(email.left(254));
    const qint64 since = now() - kFailureWindowMs;
    auto count = [&](const QString& sql, const QString& value) {
        QSqlQuery query = m_db.exec(sql, {value, since});
        return query.next() ? query.value(0).toInt() : 0;
    };
    if (count(QStringLiteral("SELECT COUNT(*) FROM signin_failures WHERE email = ? AND at > ?"), check.account) >=
            kFailuresPerAccount ||
        count(QStringLiteral("SELECT COUNT(*) FROM signin_failures WHERE address = ? AND at > ?"), address) >=
            kFailuresPerAddress) {
        check.locked = true;
        return check;
    }
    m_db.exec(QStringLiteral("DELETE FROM signin_failures WHERE at < ?"), {since});
    QSqlQuery attempt = m_db.exec(QStringLiteral("INSERT INTO signin_failures (email, address, at) VALUES (?, ?, ?) "
                                                 "RETURNING id"),
                                  {check.account, address, now()});
    check.attemptId = attempt.next() ? attempt.value(0).toLongLong() : 0;
    QSqlQuery query = m_db.exec(
        QStringLiteral("SELECT id, password_hash FROM users WHERE email = ? AND disabled_at IS NULL"), {check.account});
    if (query.next()) {
        check.userId = query.value(0).toLongLong();
        check.hash = query.value(1).toString().toLatin1();
    } else {
        // An unknown account costs the same check, so the answer's timing does not tell which accounts exist.
        check.hash = dummyHash();
    }
    return check;
}

std::variant<qint64, QString> Store::finishPasswordCheck(const PasswordCheck& check, bool passwordRight) {
    if (check.locked)
        return QStringLiteral("locked");
    if (check.userId == 0 || !passwordRight)
        return QStringLiteral("wrong");
    m_db.exec(QStringLiteral("DELETE FROM signin_failures WHERE email = ?"), {check.account});
    return check.userId;
}

std::optional<QByteArray> Store::holdForConfirmation(qint64 deviceId, qint64 userId) {
    const QByteArray secret = secrets::randomToken(32);
    QSqlQuery query = m_db.exec(QStringLiteral("UPDATE device_codes SET pending_user_id = ?, pending_secret_hash = ? "
                                               "WHERE id = ? AND expires_at > ? AND confirmed_at IS NULL AND spent_at "
                                               "IS NULL"),
                                {userId, QString::fromLatin1(secrets::sha256Hex(secret)), deviceId, now()});
    if (query.numRowsAffected() != 1)
        return std::nullopt;
    return secret;
}

bool Store::confirmDevice(const QString& userCode, const QByteArray& browserSecret) {
    const auto device = deviceByUserCode(userCode);
    if (!device || device->confirmed || !device->pendingUserId || browserSecret.isEmpty())
        return false;
    QSqlQuery query =
        m_db.exec(QStringLiteral("SELECT pending_secret_hash FROM device_codes WHERE id = ?"), {device->id});
    if (!query.next() || !secrets::equal(query.value(0).toString().toLatin1(), secrets::sha256Hex(browserSecret)))
        return false;
    QSqlQuery update = m_db.exec(QStringLiteral("UPDATE device_codes SET user_id = pending_user_id, confirmed_at = ? "
                                                "WHERE id = ? AND confirmed_at IS NULL AND pending_secret_hash = ?"),
                                 {now(), device->id, query.value(0).toString()});
    return update.numRowsAffected() == 1;
}

std::variant<QByteArray, QString> Store::exchangeDevice(const QByteArray& deviceCode, const QString& deviceName) {
    if (deviceCode.isEmpty() || deviceCode.size() > kMaxTokenChars)
        return QStringLiteral("invalid_grant");
    QSqlQuery query = m_db.exec(QStringLiteral("SELECT id, expires_at, user_id, spent_at, device_name FROM "
                                               "device_codes WHERE code_hash = ?"),
                                {QString::fromLatin1(secrets::sha256Hex(deviceCode))});
    if (!query.next() || !query.value(3).isNull())
        return QStringLiteral("invalid_grant");
    if (now() >= query.value(1).toLongLong())
        return QStringLiteral("expired_token");
    if (query.value(2).isNull())
        return QStringLiteral("authorization_pending");
    const qint64 id = query.value(0).toLongLong();
    const qint64 userId = query.value(2).toLongLong();
    QString name = query.value(4).toString();
    if (name == QLatin1String("computer") && !deviceName.trimmed().isEmpty())
        name = plainText(deviceName, kMaxDeviceName);
    query.finish();
    // Spent by whichever exchange gets here first, also when two servers answer at once.
    QSqlQuery spend = m_db.exec(QStringLiteral("UPDATE device_codes SET spent_at = ? WHERE id = ? AND spent_at IS "
                                               "NULL"),
                                {now(), id});
    if (spend.numRowsAffected() != 1)
        return QStringLiteral("invalid_grant");
    if (auto token = issueToken(userId, name))
        return *token;
    return QStringLiteral("server_error");
}

std::optional<QByteArray> Store::issueToken(qint64 userId, const QString& deviceName) {
    const QByteArray token = secrets::randomToken(32);
    bool ok = false;
    m_db.exec(QStringLiteral("INSERT INTO access_tokens (token_hash, user_id, device_name, created_at) VALUES (?, ?, "
                             "?, ?)"),
              {QString::fromLatin1(secrets::sha256Hex(token)), userId, deviceName, now()}, &ok);
    if (!ok)
        return std::nullopt;
    return token;
}

std::optional<User> Store::userByToken(const QByteArray& token) {
    if (token.isEmpty() || token.size() > kMaxTokenChars)
        return std::nullopt;
    QSqlQuery query =
        m_db.exec(QStringLiteral("SELECT u.id, u.email, u.tier, u.seconds_allowed, u.seconds_used, u.role, "
                                 "u.disabled_at FROM access_tokens t JOIN users u ON u.id = t.user_id "
                                 "WHERE t.token_hash = ? AND t.revoked_at IS NULL AND u.disabled_at IS "
                                 "NULL"),
                  {QString::fromLatin1(secrets::sha256Hex(token))});
    return readUser(query);
}

// --- sessions ---

void Store::closeStale(qint64 userId) {
    m_db.exec(QStringLiteral("UPDATE sessions SET ended_at = last_heartbeat_at WHERE user_id = ? AND ended_at IS "
                             "NULL AND last_heartbeat_at < ?"),
              {userId, now() - kStaleMs});
}

std::optional<Store::OpenSession> Store::openSession(qint64 userId, const QString& sessionId) {
    closeStale(userId);
    QString sql = QStringLiteral("SELECT id, started_at, seconds_charged FROM sessions WHERE user_id = ? AND "
                                 "ended_at IS NULL");
    QVariantList values{userId};
    if (!sessionId.isNull()) {
        sql += QStringLiteral(" AND id = ?");
        values.append(sessionId);
    }
    QSqlQuery query = m_db.exec(sql + QStringLiteral(" ORDER BY started_at DESC LIMIT 1"), values);
    if (!query.next())
        return std::nullopt;
    return OpenSession{query.value(0).toString(), query.value(1).toLongLong(), query.value(2).toLongLong()};
}

Store::Answer Store::startSession(const User& user, const QString& company, const QString& topic) {
    // One listening session per account: a new start closes the one left open, charged to its last heartbeat.
    m_db.exec(QStringLiteral("UPDATE sessions SET ended_at = last_heartbeat_at WHERE user_id = ? AND ended_at IS "
                             "NULL"),
              {user.id});
    const User fresh = userById(user.id).value_or(user);
    const qint64 remaining = fresh.remaining();
    if (remaining <= 0)
        return {402, {{QStringLiteral("error"), noCreditCode(fresh)}, {QStringLiteral("secondsRemaining"), 0}}};
    const QString id = QString::fromLatin1(secrets::randomToken(16));
    bool ok = false;
    m_db.exec(QStringLiteral("INSERT INTO sessions (id, user_id, company, topic, started_at, last_heartbeat_at, "
                             "seconds_charged) VALUES (?, ?, ?, ?, ?, ?, 0)"),
              {id, user.id, plainText(company, kMaxLabel), plainText(topic, kMaxLabel), now(), now()}, &ok);
    if (!ok)
        return {500, {{QStringLiteral("error"), QStringLiteral("server_error")}}};
    return {200,
            {{QStringLiteral("session"), QVariantMap{{QStringLiteral("id"), id}}},
             {QStringLiteral("secondsRemaining"), remaining},
             {QStringLiteral("maxSeconds"), std::min(remaining, sessionCap(fresh.tier))},
             {QStringLiteral("tier"), fresh.tier}}};
}

std::optional<qint64> Store::charge(const User& user, const OpenSession& session, qint64 secondsUsed, bool end) {
    // The server's clock decides: never more than the time since the session opened, nor the tier's cap, nor what
    // is left; and a charge never goes back.
    const qint64 elapsed = std::max<qint64>(0, (now() - session.startedAt) / 1000);
    const qint64 claimed = std::min({std::max<qint64>(0, secondsUsed), elapsed, sessionCap(user.tier)});
    const User fresh = userById(user.id).value_or(user);
    const qint64 delta = std::min(std::max<qint64>(0, claimed - session.charged), fresh.remaining());
    if (!m_db.begin())
        return std::nullopt;
    QSqlQuery update = m_db.exec(
        end ? QStringLiteral("UPDATE sessions SET seconds_charged = seconds_charged + ?, last_heartbeat_at = ?, "
                             "ended_at = ? WHERE id = ? AND ended_at IS NULL AND seconds_charged = ?")
            : QStringLiteral("UPDATE sessions SET seconds_charged = seconds_charged + ?, last_heartbeat_at = ?, "
                             "ended_at = NULL WHERE id = ? AND ended_at IS NULL AND seconds_charged = ?"),
        end ? QVariantList{delta, now(), now(), session.id, session.charged}
            : QVariantList{delta, now(), session.id, session.charged});
    if (update.numRowsAffected() != 1) {
        m_db.rollback();
        return std::nullopt;
    }
    bool ok = true;
    if (delta > 0)
        m_db.exec(QStringLiteral("UPDATE users SET seconds_used = seconds_used + ? WHERE id = ?"), {delta, user.id},
                  &ok);
    if (!ok || !m_db.commit()) {
        m_db.rollback();
        return std::nullopt;
    }
    return session.charged + delta;
}

Store::Answer Store::heartbeat(const User& user, const QString& sessionId, qint64 secondsUsed) {
    std::optional<qint64> charged;
    for (int attempt = 0; attempt < 3 && !charged; ++attempt) {
        const auto session = openSession(user.id, sessionId.isNull() ? QStringLiteral("") : sessionId);
        if (!session)
            break;
        charged = charge(user, *session, secondsUsed, false);
    }
    const User fresh = userById(user.id).value_or(user);
    if (!charged)
        return {409,
                {{QStringLiteral("error"), QStringLiteral("no_open_session")},
                 {QStringLiteral("secondsRemaining"), fresh.remaining()},
                 {QStringLiteral("exhausted"), false}}};
    const qint64 cap = sessionCap(fresh.tier);
    return {200,
            {{QStringLiteral("secondsRemaining"), fresh.remaining()},
             {QStringLiteral("maxSeconds"), std::min(*charged + fresh.remaining(), cap)},
             {QStringLiteral("exhausted"), fresh.remaining() <= 0 || *charged >= cap}}};
}

Store::Answer Store::endSession(const User& user, const QString& sessionId, qint64 secondsUsed, const QString& company,
                                const QString& topic) {
    std::optional<qint64> charged;
    QString id;
    for (int attempt = 0; attempt < 3 && !charged; ++attempt) {
        const auto session = openSession(user.id, sessionId.isNull() ? QStringLiteral("") : sessionId);
        if (!session)
            break;
        id = session->id;
        charged = charge(user, *session, secondsUsed, true);
    }
    if (charged) {
        if (!plainText(company, kMaxLabel).isEmpty())
            m_db.exec(QStringLiteral("UPDATE sessions SET company = ? WHERE id = ?"),
                      {plainText(company, kMaxLabel), id});
        if (!plainText(topic, kMaxLabel).isEmpty())
            m_db.exec(QStringLiteral("UPDATE sessions SET topic = ? WHERE id = ?"), {plainText(topic, kMaxLabel), id});
    }
    const User fresh = userById(user.id).value_or(user);
    if (!charged)
        return {409,
                {{QStringLiteral("error"), QStringLiteral("no_open_session")},
                 {QStringLiteral("secondsRemaining"), fresh.remaining()}}};
    return {200, {{QStringLiteral("secondsRemaining"), fresh.remaining()}}};
}

std::optional<std::pair<int, QString>> Store::mayUseProviders(const User& user) {
    const auto session = openSession(user.id, QString());
    if (!session)
        return std::make_pair(409, QStringLiteral("no_open_session"));
    if (user.remaining() <= 0 || session->charged >= sessionCap(user.tier))
        return std::make_pair(402, noCreditCode(user));
    return std::nullopt;
}

} // namespace quippet::server
