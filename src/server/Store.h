#pragma once

#include "core/Clock.h"
#include "server/Database.h"
#include "server/Secrets.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace quippet::server {

struct User {
    qint64 id = 0;
    QString email;
    QString tier;
    qint64 secondsAllowed = 0;
    qint64 secondsUsed = 0;
    QString role = QStringLiteral("user"); // "admin" may use the admin pages
    bool disabled = false;
    qint64 remaining() const { return std::max<qint64>(0, secondsAllowed - secondsUsed); }
    bool isAdmin() const { return role == QLatin1String("admin"); }
};

// One listening session as the account page lists it.
struct SessionRecord {
    qint64 userId = 0;
    qint64 startedAt = 0;
    qint64 seconds = 0;
    QString company;
    QString topic;
};

struct AuditEntry {
    qint64 at = 0;
    QString actor, action, subject, detail;
};

// Requests to the providers on one day (UTC, "yyyy-MM-dd").
struct RequestCount {
    qint64 userId = 0;
    QString day;
    QString kind; // "model" or "speech_token"
    qint64 count = 0;
};

struct Document {
    QString name;
    QString mime;
    qint64 size = 0;
    QString updatedAt;
    QByteArray content; // filled only when one document is read
};

// A device sign-in as the page sees it.
struct DeviceSignIn {
    qint64 id = 0;
    QString userCode;
    QString deviceName;
    qint64 expiresAt = 0;
    std::optional<qint64> pendingUserId; // the password was right; waiting for "connect"
    bool confirmed = false;
};

// The rules of accounts, device sign-in, metered sessions and documents, on the database. Every decision about
// time takes the clock's wall time, so that several servers on one database agree and tests can move time.
class Store {
public:
    static constexpr qint64 kStaleMs = 90'000;      // a session without heartbeat for this long is closed
    static constexpr qint64 kDeviceLifetimeS = 600; // how long a device code may wait for the user
    static constexpr qint64 kFailureWindowMs = 15 * 60'000;
    static constexpr int kFailuresPerAccount = 5;  // wrong passwords per account within the window
    static constexpr int kFailuresPerAddress = 20; // and per address, across accounts
    static constexpr qint64 kDefaultSeconds = 3600;

    Store(Database& db, Clock& clock, HashCost cost = HashCost::Interactive);

    // --- operator commands; each answers nothing or the reason it failed ---
    std::optional<QString> addUser(const QString& email, const QByteArray& password, qint64 seconds,
                                   const QString& tier, const QString& role = QStringLiteral("user"));
    std::optional<QString> setTier(const QString& email, const QString& tier);
    std::optional<QString> setDisabled(const QString& email, bool disabled); // disabling signs everything out
    std::optional<QString> setPassword(qint64 userId, const QByteArray& password);
    static std::optional<QString> checkTier(const QString& tier);
    std::optional<QString> allow(const QString& email, qint64 seconds);
    std::optional<QString> revoke(const QString& email);
    std::optional<QString> addDocument(const QString& name, const QString& mime, const QByteArray& content);
    std::optional<QString> removeDocument(const QString& name);
    QList<User> users(const QString& email = {});
    std::optional<User> user(const QString& email);
    std::optional<User> userById(qint64 id);

    static std::optional<QString> normalisedEmail(const QString& email);
    static bool isSafeDocumentName(const QString& name);
    static qint64 sessionCap(const QString& tier); // the longest one session of this tier may run, in seconds

    // --- device sign-in ---
    struct DeviceStart {
        QByteArray deviceCode; // given out once, stored as a hash
        QString userCode;
        qint64 expiresIn = 0;
    };
    static constexpr int kDeviceStartsPerAddress = 30; // within kFailureWindowMs
    // Nothing when the address has asked for too many codes lately.
    std::optional<DeviceStart> startDevice(const QString& deviceName, const QString& address = {});
    std::optional<DeviceSignIn> deviceByUserCode(const QString& userCode);
    // Checks the password with the attempt limits; the user's id, or the reason as a code: "locked", "wrong".
    std::variant<qint64, QString> checkPassword(const QString& email, const QByteArray& password,
                                                const QString& address);
    // The same in two steps, so that the slow hash can be checked off the serving thread. The attempt is counted
    // as failed from the start (and forgiven when the password was right), so that guesses sent at once cannot
    // all pass the limit before the first is judged.
    struct PasswordCheck {
        bool locked = false;
        QString account;
        qint64 userId = 0; // 0: no such account
        qint64 attemptId = 0;
        QByteArray hash; // what the password is checked against (a stand-in for unknown accounts)
    };
    PasswordCheck beginPasswordCheck(const QString& email, const QString& address);
    std::variant<qint64, QString> finishPasswordCheck(const PasswordCheck& check, bool passwordRight);
    // The password was right: the device waits for the same browser to confirm. Answers the browser's secret.
    std::optional<QByteArray> holdForConfirmation(qint64 deviceId, qint64 userId);
    bool confirmDevice(const QString& userCode, const QByteArray& browserSecret);
    // The program's poll: a token, or the refusal code ("authorization_pending", "expired_token", "invalid_grant").
    std::variant<QByteArray, QString> exchangeDevice(const QByteArray& deviceCode, const QString& deviceName);
    // Issues a token directly (the command line and tests).
    std::optional<QByteArray> issueToken(qint64 userId, const QString& deviceName);
    std::optional<User> userByToken(const QByteArray& token);

    // --- metered sessions; each answers the HTTP status and the JSON body's fields ---
    struct Answer {
        int status = 200;
        QVariantMap body;
    };
    Answer startSession(const User& user, const QString& company, const QString& topic);
    Answer heartbeat(const User& user, const QString& sessionId, qint64 secondsUsed);
    Answer endSession(const User& user, const QString& sessionId, qint64 secondsUsed, const QString& company,
                      const QString& topic);
    // Whether the user may spend on the providers now: nothing, or the refusal (status and error code).
    std::optional<std::pair<int, QString>> mayUseProviders(const User& user);

    // --- browser sessions of the account and admin pages ---
    static constexpr qint64 kWebSessionMs = 12 * 3600'000;
    std::optional<QByteArray> openWebSession(qint64 userId); // the cookie's value, stored as a hash
    std::optional<User> userByWebSession(const QByteArray& token);
    void closeWebSession(const QByteArray& token);

    // --- what the pages show ---
    QList<SessionRecord> recentSessions(qint64 userId, int limit);
    QList<SessionRecord> sessionsSince(qint64 sinceMs);
    QHash<qint64, qint64> lastActivity(); // user id -> the last heartbeat of any of its sessions
    QStringList adminEmails();
    void audit(const QString& actor, const QString& action, const QString& subject, const QString& detail = {});
    QList<AuditEntry> auditLog(int limit);
    void countRequest(qint64 userId, const QString& kind);
    QList<RequestCount> requestCounts(const QString& sinceDay);
    qint64 openSessionCount();
    bool reachable(); // the database answers

    // --- documents ---
    QList<Document> documents();
    std::optional<Document> document(const QString& name);

    qint64 now() const { return m_clock.nowMs(); }

private:
    struct OpenSession {
        QString id;
        qint64 startedAt = 0;
        qint64 charged = 0;
    };
    void closeStale(qint64 userId);
    std::optional<OpenSession> openSession(qint64 userId, const QString& sessionId);
    // Charges what the client reports, capped by the server's own measure; answers the session's charge afterwards.
    std::optional<qint64> charge(const User& user, const OpenSession& session, qint64 secondsUsed, bool end);
    std::optional<User> readUser(QSqlQuery& query);
    static QString noCreditCode(const User& user);

    Database& m_db;
    Clock& m_clock;
    HashCost m_cost;
    QByteArray dummyHash();
    QByteArray m_dummyHash; // checked against when the account does not exist, so both take the same time
};

} // namespace quippet::server
