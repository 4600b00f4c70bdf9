#pragma once

#include "core/Clock.h"
#include "core/DiagnosticsLog.h"
#include "secrets/Keychain.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QVariant>

#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace quippet {

// The client of the service's own backend: device sign-in confirmed in the browser, the account, and metered
// listening sessions. Lives on the main thread; every exchange is asynchronous on its event loop.
class Backend : public QObject {
    Q_OBJECT
    Q_PROPERTY(int loginKind READ loginKind NOTIFY loginStateChanged)
    Q_PROPERTY(QString loginMessage READ loginMessage NOTIFY loginStateChanged)
    Q_PROPERTY(QVariant secondsRemaining READ secondsRemainingValue NOTIFY accountChanged)
    Q_PROPERTY(QVariant tier READ tierValue NOTIFY accountChanged)
    Q_PROPERTY(QVariant email READ emailValue NOTIFY accountChanged)
    Q_PROPERTY(QVariant sessionMaxSeconds READ sessionMaxSecondsValue NOTIFY sessionChanged)
public:
    struct LoginState {
        enum class Kind { SignedIn, Failed, SignedOut, WaitingForBrowser };
        Kind kind = Kind::SignedOut;
        QString message;              // Failed only: shown to the user as it is
        std::optional<QString> email; // SignedIn only, once the account has been read
        bool operator==(const LoginState&) const = default;

        static LoginState signedIn(std::optional<QString> email = std::nullopt) {
            return {Kind::SignedIn, {}, std::move(email)};
        }
        static LoginState failed(const QString& message) { return {Kind::Failed, message, std::nullopt}; }
        static LoginState signedOut() { return {Kind::SignedOut, {}, std::nullopt}; }
        static LoginState waitingForBrowser() { return {Kind::WaitingForBrowser, {}, std::nullopt}; }
    };

    Backend(Keychain& keychain, Clock& clock, NoteFn note, QObject* parent = nullptr);
    ~Backend() override;

    static QUrl baseURL();
    // What the sign-in requests call this computer: its host name.
    static QString deviceName();

    LoginState loginState() const { return m_loginState; }
    std::optional<int> secondsRemaining() const { return m_secondsRemaining; }
    std::optional<int> sessionMaxSeconds() const { return m_sessionMaxSeconds; }
    std::optional<QString> tier() const { return m_tier; }
    std::optional<QString> email() const { return m_email; }
    std::optional<QString> sessionId() const { return m_sessionId; }
    bool isSigningIn() const { return m_deviceCode.has_value(); }

    void startLogin();
    void cancelLogin();
    void signOut();
    // The browser's return into the program ("quippet://auth…").
    void handleCallback(const QUrl& url);

    void refreshAccount(std::function<void()> done = {});
    // The same, telling whether the backend answered and took the sign-in: nothing, or the user-facing reason.
    void checkAccount(std::function<void(const std::optional<QString>& error)> done);
    // done(nothing) when the session is open (or there is no token), else a message for the user.
    void openSession(const std::optional<QString>& company, const std::optional<QString>& topic,
                     std::function<void(std::optional<QString> error)> done);
    // done(true) only when the backend reports the allowance used up.
    void heartbeat(int seconds, std::function<void(bool exhausted)> done);
    void closeSession(int seconds, const std::optional<QString>& company, const std::optional<QString>& topic,
                      std::function<void()> done = {});

    std::function<void(const QUrl&)> openUrl;

    // How every answer is read: its body as a JSON object (else nothing), then typed fields of it; a field of another
    // type, or a number that is not a whole int, reads as absent.
    static std::optional<QJsonObject> answerBody(const QByteArray& bytes);
    static std::optional<int> intField(const QJsonObject& object, const char* key);
    static std::optional<QString> textField(const QJsonObject& object, const char* key);

signals:
    void loginStateChanged();
    void accountChanged();
    void sessionChanged();

private:
    struct Answer {
        bool transportFailed = false;
        QString transportError; // the network layer's description when transportFailed
        int status = 0;
        std::optional<QJsonObject> body; // present when the body is a JSON object
    };
    using AnswerFn = std::function<void(const Answer&)>;

    void send(const QString& path, std::optional<QJsonObject> body, bool authenticated, AnswerFn handler);
    void requestDeviceCode();
    void beginPolling(int intervalSeconds, int expiresInSeconds);
    void pollStep(quint64 generation, std::chrono::milliseconds deadline, std::chrono::milliseconds sleep);
    void pollEnded(quint64 generation);
    void exchange(const QString& deviceCode, bool quiet, std::function<void(bool)> done = {});
    void settleExchanges(const QString& deviceCode, const std::optional<QString>& failure);
    void cancelPolling();
    void setLoginState(const LoginState& state);
    std::optional<QString> token() const;

    int loginKind() const { return int(m_loginState.kind); }
    QString loginMessage() const { return m_loginState.message; }
    QVariant secondsRemainingValue() const { return m_secondsRemaining ? QVariant(*m_secondsRemaining) : QVariant(); }
    QVariant tierValue() const { return m_tier ? QVariant(*m_tier) : QVariant(); }
    QVariant emailValue() const { return m_email ? QVariant(*m_email) : QVariant(); }
    QVariant sessionMaxSecondsValue() const {
        return m_sessionMaxSeconds ? QVariant(*m_sessionMaxSeconds) : QVariant();
    }

    Keychain& m_keychain;
    Clock& m_clock;
    NoteFn m_note;
    QNetworkAccessManager* m_network;

    LoginState m_loginState;
    std::optional<QString> m_deviceCode;
    int m_exchangesInFlight = 0;
    // A sign-in refusal held back while another exchange of the same code may still bring the token.
    std::optional<std::pair<QString, QString>> m_heldFailure; // device code, message
    // The polling loop is identified by a generation number; cancelling it moves the number on, so a sleep or an
    // exchange that belongs to an older loop finds itself stale and stops.
    quint64 m_pollGeneration = 0;
    bool m_polling = false;
    QPointer<Timer> m_pollTimer;

    std::optional<int> m_secondsRemaining;
    std::optional<QString> m_sessionId;
    std::optional<int> m_sessionMaxSeconds;
    std::optional<QString> m_tier;
    std::optional<QString> m_email;
};

} // namespace quippet
