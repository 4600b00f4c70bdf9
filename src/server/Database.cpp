#include "server/Database.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

#include <atomic>
#include <cstdio>

namespace quippet::server {

namespace {

// One entry per schema version, in order; each engine gets its own text of the same change. A released entry is
// never edited: a change is a new entry.
struct Migration {
    int version;
    QStringList sqlite;
    QStringList postgres;
};

QList<Migration> migrations() {
    auto both = [](const QString& text) {
        QString sqlite = text, postgres = text;
        sqlite.replace(QLatin1String("$ID"), QLatin1String("INTEGER PRIMARY KEY AUTOINCREMENT"));
        postgres.replace(QLatin1String("$ID"), QLatin1String("BIGSERIAL PRIMARY KEY"));
        sqlite.replace(QLatin1String("$BYTES"), QLatin1String("BLOB"));
        postgres.replace(QLatin1String("$BYTES"), QLatin1String("BYTEA"));
        return std::make_pair(sqlite, postgres);
    };
    const QStringList first = {
        QStringLiteral("CREATE TABLE users (id $ID, email TEXT NOT NULL UNIQUE, password_hash TEXT NOT NULL, "
                       "tier TEXT NOT NULL, seconds_allowed BIGINT NOT NULL, seconds_used BIGINT NOT NULL DEFAULT 0, "
                       "created_at BIGINT NOT NULL)"),
        // A device sign-in: the code the program polls with (hash only), the code the user sees, and who confirmed.
        QStringLiteral("CREATE TABLE device_codes (id $ID, code_hash TEXT NOT NULL UNIQUE, user_code TEXT NOT NULL "
                       "UNIQUE, device_name TEXT NOT NULL, created_at BIGINT NOT NULL, expires_at BIGINT NOT NULL, "
                       "pending_user_id BIGINT, pending_secret_hash TEXT, user_id BIGINT, confirmed_at BIGINT, "
                       "spent_at BIGINT)"),
        QStringLiteral("CREATE TABLE access_tokens (id $ID, token_hash TEXT NOT NULL UNIQUE, user_id BIGINT NOT NULL "
                       "REFERENCES users(id) ON DELETE CASCADE, device_name TEXT NOT NULL, created_at BIGINT NOT NULL, "
                       "revoked_at BIGINT)"),
        QStringLiteral("CREATE TABLE sessions (id TEXT PRIMARY KEY, user_id BIGINT NOT NULL REFERENCES users(id) ON "
                       "DELETE CASCADE, company TEXT NOT NULL DEFAULT '', topic TEXT NOT NULL DEFAULT '', "
                       "started_at BIGINT NOT NULL, last_heartbeat_at BIGINT NOT NULL, seconds_charged BIGINT NOT "
                       "NULL DEFAULT 0, ended_at BIGINT)"),
        QStringLiteral("CREATE INDEX sessions_open ON sessions (user_id, ended_at)"),
        QStringLiteral("CREATE TABLE documents (name TEXT PRIMARY KEY, mime TEXT NOT NULL, content $BYTES NOT NULL, "
                       "size BIGINT NOT NULL, updated_at TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE signin_failures (id $ID, email TEXT NOT NULL, address TEXT NOT NULL, "
                       "at BIGINT NOT NULL)"),
        QStringLiteral("CREATE INDEX signin_failures_email ON signin_failures (email, at)"),
        QStringLiteral("CREATE INDEX signin_failures_address ON signin_failures (address, at)"),
    };
    // 2: where each device sign-in was asked from, so that one address cannot fill the table.
    const QStringList second = {
        QStringLiteral("ALTER TABLE device_codes ADD COLUMN address TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("CREATE INDEX device_codes_address ON device_codes (address, created_at)"),
    };
    // 3: the browser pages: roles, disabled accounts, browser sessions, the audit log and per-day request counts.
    const QStringList third = {
        QStringLiteral("ALTER TABLE users ADD COLUMN role TEXT NOT NULL DEFAULT 'user'"),
        QStringLiteral("ALTER TABLE users ADD COLUMN disabled_at BIGINT"),
        QStringLiteral("CREATE TABLE web_sessions (id $ID, token_hash TEXT NOT NULL UNIQUE, user_id BIGINT NOT NULL "
                       "REFERENCES users(id) ON DELETE CASCADE, created_at BIGINT NOT NULL, expires_at BIGINT NOT "
                       "NULL)"),
        QStringLiteral("CREATE TABLE audit_log (id $ID, at BIGINT NOT NULL, actor TEXT NOT NULL, action TEXT NOT "
                       "NULL, subject TEXT NOT NULL, detail TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE request_counts (user_id BIGINT NOT NULL REFERENCES users(id) ON DELETE CASCADE, "
                       "day TEXT NOT NULL, kind TEXT NOT NULL, count BIGINT NOT NULL, PRIMARY KEY (user_id, day, "
                       "kind))"),
        QStringLiteral("CREATE INDEX sessions_started ON sessions (started_at)"),
    };
    QList<Migration> out;
    int version = 0;
    for (const QStringList& statements : {first, second, third}) {
        Migration migration{++version, {}, {}};
        for (const QString& statement : statements) {
            const auto [sqlite, postgres] = both(statement);
            migration.sqlite << sqlite;
            migration.postgres << postgres;
        }
        out.append(migration);
    }
    return out;
}

std::atomic<int> connectionCounter{0};

} // namespace

std::optional<DatabaseUrl> DatabaseUrl::parse(const QString& text) {
    DatabaseUrl url;
    if (text.startsWith(QLatin1String("sqlite:"))) {
        url.path = text.mid(7);
        if (url.path.startsWith(QLatin1String("//")))
            url.path = url.path.mid(2);
        if (url.path.isEmpty())
            return std::nullopt;
        return url;
    }
    const QUrl parsed(text, QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    if (!parsed.isValid() || (scheme != QLatin1String("postgresql") && scheme != QLatin1String("postgres")))
        return std::nullopt;
    url.kind = Kind::Postgres;
    url.user = parsed.userName(QUrl::FullyDecoded);
    url.password = parsed.password(QUrl::FullyDecoded);
    url.host = parsed.host(QUrl::FullyDecoded);
    url.port = parsed.port(5432);
    url.name = parsed.path(QUrl::FullyDecoded).mid(1);
    const QUrlQuery query(parsed);
    if (query.hasQueryItem(QStringLiteral("host")))
        url.host = query.queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded);
    if (url.name.isEmpty() || url.name.contains(QLatin1Char('/')) || url.host.isEmpty())
        return std::nullopt;
    return url;
}

QString DatabaseUrl::defaultUrl() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return QStringLiteral("sqlite:") + base + QStringLiteral("/quippet-server/quippet-server.sqlite");
}

Database::Database() : m_name(QStringLiteral("quippet-server-%1").arg(connectionCounter++)) {}

Database::~Database() {
    if (m_db.isValid())
        m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

int Database::latestVersion() {
    return migrations().constLast().version;
}

std::optional<QString> Database::open(const DatabaseUrl& url, int upTo) {
    m_postgres = url.kind == DatabaseUrl::Kind::Postgres;
    const QString driver = m_postgres ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    if (!QSqlDatabase::isDriverAvailable(driver))
        return m_postgres ? QStringLiteral("the PostgreSQL driver is not installed (apt install libqt6sql6-psql)")
                          : QStringLiteral("the SQLite driver is not installed (apt install libqt6sql6-sqlite)");
    m_db = QSqlDatabase::addDatabase(driver, m_name);
    if (m_postgres) {
        m_db.setHostName(url.host);
        m_db.setPort(url.port);
        m_db.setDatabaseName(url.name);
        m_db.setUserName(url.user);
        m_db.setPassword(url.password);
        m_db.setConnectOptions(QStringLiteral("connect_timeout=10"));
    } else {
        QDir().mkpath(QFileInfo(url.path).absolutePath());
        m_db.setDatabaseName(url.path);
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    }
    if (!m_db.open()) {
        // The driver's text names the host and database, never the password.
        return QStringLiteral("cannot open the database: ") + m_db.lastError().databaseText().trimmed();
    }
    if (!m_postgres) {
        exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
        exec(QStringLiteral("PRAGMA foreign_keys=ON"));
    }
    return migrate(upTo);
}

int Database::schemaVersion() {
    QSqlQuery query = exec(QStringLiteral("SELECT MAX(version) FROM schema_migrations"));
    return query.next() ? query.value(0).toInt() : 0;
}

// All pending migrations run in one transaction. Several servers may start at once on one PostgreSQL: the first
// takes the advisory lock, the others wait and then find the versions applied; SQLite's write lock does the same
// for a file.
std::optional<QString> Database::migrate(int upTo) {
    if (!begin())
        return QStringLiteral("cannot start a transaction (the database is locked)");
    bool ok = true;
    if (m_postgres)
        exec(QStringLiteral("SELECT pg_advisory_xact_lock(7247365)"), {}, &ok);
    if (ok)
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY, "
                            "applied_at BIGINT NOT NULL)"),
             {}, &ok);
    int current = 0;
    if (ok) {
        QSqlQuery query = exec(QStringLiteral("SELECT MAX(version) FROM schema_migrations"), {}, &ok);
        current = query.next() ? query.value(0).toInt() : 0;
    }
    for (const Migration& migration : migrations()) {
        if (!ok || migration.version <= current || migration.version > upTo)
            continue;
        for (const QString& statement : m_postgres ? migration.postgres : migration.sqlite) {
            exec(statement, {}, &ok);
            if (!ok)
                break;
        }
        if (ok)
            exec(QStringLiteral("INSERT INTO schema_migrations (version, applied_at) VALUES (?, ?)"),
                 {migration.version, QDateTime::currentMSecsSinceEpoch()}, &ok);
        if (!ok) {
            const QString why = m_lastError;
            rollback();
            return QStringLiteral("migration %1 failed: %2").arg(migration.version).arg(why);
        }
    }
    if (!ok) {
        rollback();
        return QStringLiteral("cannot read the schema version");
    }
    if (!commit())
        return QStringLiteral("the migrations could not be committed");
    return std::nullopt;
}

QSqlQuery Database::exec(const QString& sql, const QVariantList& values, bool* ok) {
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    bool ran;
    if (values.isEmpty()) {
        // Statements without values run as they are (PostgreSQL cannot prepare schema changes).
        ran = query.exec(sql);
    } else {
        ran = query.prepare(sql);
        if (ran) {
            for (const QVariant& value : values)
                query.addBindValue(value);
            ran = query.exec();
        }
    }
    if (!ran) {
        m_lastError = query.lastError().databaseText().trimmed();
        std::fprintf(stderr, "quippet-server: database: %s\n", qPrintable(m_lastError));
    }
    if (ok)
        *ok = ran;
    return query;
}

// SQLite transactions that read and then write take the write lock at once: a deferred one that must upgrade
// later fails at once when another process writes, instead of waiting for it.
bool Database::begin() {
    if (m_postgres)
        return m_db.transaction();
    bool ok = false;
    exec(QStringLiteral("BEGIN IMMEDIATE"), {}, &ok);
    return ok;
}

bool Database::commit() {
    if (m_postgres)
        return m_db.commit();
    bool ok = false;
    exec(QStringLiteral("COMMIT"), {}, &ok);
    return ok;
}

void Database::rollback() {
    if (m_postgres)
        m_db.rollback();
    else
        exec(QStringLiteral("ROLLBACK"));
}

} // namespace quippet::server
