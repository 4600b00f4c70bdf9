#include "backend/Backend.h"

#include "core/Localization.h"
#include "core/SafeUrl.h"
#include "secrets/BackendUrl.h"
#include "secrets/Credentials.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSysInfo>

#include <algorithm>
#include <cmath>

namespace quippet {

namespace {

constexpr int kTimeoutMs = 60'000;
// Device flows poll every few seconds; a longer interval from the backend is taken as this, which also keeps the
// sleep well inside what a timer can hold.
constexpr std::chrono::seconds kMaxPollInterval{60};
constexpr qint64 kMaxAnswerBytes = 1 << 20;

QString unreachableText() {
    return i18n::text("login.error.unreachable");
}

} // namespace

Backend::Backend(Keychain& keychain, Clock& clock, NoteFn note, QObject* parent)
    : QObject(parent), m_keychain(keychain), m_clock(clock), m_note(std::move(note)),
      m_network(new QNetworkAccessManager(this)) {
    openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    if (!m_note)
        m_note = [](const QString&) {};
    if (token())
        m_loginState = LoginState::signedIn();
}

Backend::~Backend() = default;

QUrl Backend::baseURL() {
    return backendBaseUrl();
}

QString Backend::deviceName() {
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("Linux") : host;
}

std::optional<QString> Backend::token() const {
    return m_keychain.read(QLatin1String(Keychain::kBackendToken));
}

void Backend::setLoginState(const LoginState& state) {
    m_loginState = state;
    emit loginStateChanged();
}

void Backend::send(const QString& path, std::optional<QJsonObject> body, bool authenticated, AnswerFn handler) {
    QNetworkRequest request(appendPath(baseURL(), path));
    request.setTransferTimeout(kTimeoutMs);
    if (authenticated) {
        if (const auto bearer = token())
            request.setRawHeader("Authorization", "Bearer " + bearer->toUtf8());
    }
    QNetworkReply* reply;
    if (body) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        reply = m_network->post(request, QJsonDocument(*body).toJson(QJsonDocument::Compact));
    } else {
        reply = m_network->get(request);
    }
    // Every answer of this API is a small JSON object: one larger than the cap is cut off and read as unreachable.
    auto tooLarge = std::make_shared<bool>(false);
    const auto limit = [reply, tooLarge](qint64 size) {
        if (size > kMaxAnswerBytes && !*tooLarge) {
            *tooLarge = true;
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::metaDataChanged, this,
            [reply, limit] { limit(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()); });
    connect(reply, &QNetworkReply::readyRead, this, [reply, limit] { limit(reply->bytesAvailable()); });
    // The reply belongs to the network manager, a child of this object: nothing is delivered once we are gone.
    connect(reply, &QNetworkReply::finished, this, [reply, tooLarge, handler = std::move(handler)] {
        reply->deleteLater();
        Answer answer;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        answer.transportFailed = !status.isValid() || *tooLarge;
        if (answer.transportFailed) {
            answer.transportError =
                *tooLarge ? QStringLiteral("answer larger than %1 bytes").arg(kMaxAnswerBytes) : reply->errorString();
            answer.status = 0;
        } else {
            answer.status = status.toInt();
            answer.body = answerBody(reply->readAll());
        }
        handler(answer);
    });
}

// --- sign-in ---

void Backend::cancelPolling() {
    ++m_pollGeneration;
    if (m_pollTimer) {
        m_pollTimer->stop();
        m_pollTimer->deleteLater();
        m_pollTimer = nullptr;
    }
    m_polling = false;
}

void Backend::startLogin() {
    cancelPolling();
    // Answers that still arrive for an earlier attempt carry its device code and are dropped.
    m_deviceCode.reset();
    setLoginState(LoginState::waitingForBrowser());
    requestDeviceCode();
}

void Backend::requestDeviceCode() {
    const quint64 generation = m_pollGeneration;
    QJsonObject body{{QStringLiteral("deviceName"), deviceName()}};
    send(QStringLiteral("api/auth/device/start"), body, false, [this, generation](const Answer& answer) {
        if (generation != m_pollGeneration)
            return; // cancelled or restarted meanwhile
        std::optional<QString> code;
        QUrl verification;
        if (!answer.transportFailed && answer.status == 200 && answer.body) {
            code = textField(*answer.body, "device_code");
            if (const auto uri = textField(*answer.body, "verification_uri_complete"))
                verification = QUrl(*uri, QUrl::StrictMode);
        }
        if (!code || !verification.isValid() || verification.isEmpty()) {
            if (answer.transportFailed) {
                // Nothing answered at that address: the user is told which one, the log also why.
                const QString message = i18n::format("login.error.unreachableAt",
                                                     baseURL().toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery));
                setLoginState(LoginState::failed(message));
                m_note(QStringLiteral("logowanie: ") + message + QStringLiteral(" (") + answer.transportError +
                       QLatin1Char(')'));
                return;
            }
            setLoginState(LoginState::failed(unreachableText()));
            m_note(QStringLiteral("logowanie: ") + unreachableText());
            return;
        }
        // Only a web page is handed to the desktop: a file: address or another program's scheme could open a local
        // file or start a local handler. The address itself stays out of the log (it carries the device code).
        if (!isSafeToOpen(verification)) {
            setLoginState(LoginState::failed(unreachableText()));
            m_note(QStringLiteral("logowanie: adres logowania z backendu nie jest stroną https — nie otwieram go"));
            return;
        }
        m_deviceCode = code;
        if (openUrl)
            openUrl(verification);
        m_note(QStringLiteral("logowanie: otwarto przeglądarkę"));
        beginPolling(intField(*answer.body, "interval").value_or(3),
                     intField(*answer.body, "expires_in").value_or(600));
    });
}

void Backend::beginPolling(int intervalSeconds, int expiresInSeconds) {
    if (!m_deviceCode)
        return;
    const auto deadline = m_clock.monotonic() + std::chrono::seconds(expiresInSeconds);
    const auto sleep = std::clamp(std::chrono::seconds(intervalSeconds), std::chrono::seconds(1), kMaxPollInterval);
    m_polling = true;
    pollStep(m_pollGeneration, deadline, sleep);
}

void Backend::pollStep(quint64 generation, std::chrono::milliseconds deadline, std::chrono::milliseconds sleep) {
    if (generation != m_pollGeneration)
        return;
    if (m_clock.monotonic() >= deadline) {
        pollEnded(generation);
        return;
    }
    const QString code = m_deviceCode.value_or(QString());
    m_pollTimer = m_clock.singleShot(sleep, this, [this, generation, deadline, sleep, code] {
        m_pollTimer = nullptr;
        if (generation != m_pollGeneration)
            return;
        exchange(code, true, [this, generation, deadline, sleep](bool gotToken) {
            if (!gotToken)
                pollStep(generation, deadline, sleep);
        });
    });
}

void Backend::pollEnded(quint64 generation) {
    m_polling = false;
    if (generation == m_pollGeneration && m_loginState.kind == LoginState::Kind::WaitingForBrowser)
        setLoginState(LoginState::failed(i18n::text("login.error.expired")));
}

void Backend::exchange(const QString& deviceCode, bool quiet, std::function<void(bool)> done) {
    QJsonObject body{{QStringLiteral("device_code"), deviceCode}, {QStringLiteral("device_name"), deviceName()}};
    ++m_exchangesInFlight;
    send(QStringLiteral("api/auth/device/token"), body, false, [this, deviceCode, quiet, done](const Answer& answer) {
        --m_exchangesInFlight;
        auto finish = [&done](bool value) {
            if (done)
                done(value);
        };
        // The polling loop and the browser's return may both be exchanging the same code. Once one of them has
        // the token (or the sign-in was cancelled or restarted) the other's answer is stale: a second token would
        // replace the first, and a refusal of the now-spent code would turn a success into a failure.
        if (m_deviceCode != deviceCode) {
            settleExchanges(deviceCode, std::nullopt);
            finish(false);
            return;
        }
        if (answer.transportFailed || !answer.body) {
            settleExchanges(deviceCode, quiet ? std::nullopt : std::optional<QString>(unreachableText()));
            finish(false);
            return;
        }
        if (const auto accessToken = textField(*answer.body, "access_token")) {
            m_heldFailure.reset();
            cancelPolling();
            m_deviceCode.reset();
            // The code is spent either way. Signed in means a stored token, so a blank token or a keyring that
            // refuses it ends the sign-in as failed, quiet or not.
            const bool blank = accessToken->trimmed().isEmpty();
            if (blank || !m_keychain.write(QLatin1String(Keychain::kBackendToken), *accessToken)) {
                setLoginState(LoginState::failed(unreachableText()));
                m_note(blank ? QStringLiteral("logowanie: backend wydał pusty token")
                             : QStringLiteral("logowanie: pęk kluczy nie przyjął tokenu"));
                finish(false);
                return;
            }
            setLoginState(LoginState::signedIn());
            m_note(QStringLiteral("logowanie: zalogowano"));
            refreshAccount([done] {
                if (done)
                    done(true);
            });
            return;
        }
        const QString code = textField(*answer.body, "error").value_or(QStringLiteral("unknown"));
        const bool refused = code != QLatin1String("authorization_pending") && !quiet;
        settleExchanges(deviceCode, refused ? std::optional<QString>(code) : std::nullopt);
        finish(false);
    });
}

// A refusal only counts once no other exchange of the same code is still on its way: the answers of two racing
// exchanges can arrive in either order, and the token may be in the later one.
void Backend::settleExchanges(const QString& deviceCode, const std::optional<QString>& failure) {
    if (failure)
        m_heldFailure = std::make_pair(deviceCode, *failure);
    if (m_exchangesInFlight > 0 || !m_heldFailure)
        return;
    const auto [code, message] = *m_heldFailure;
    m_heldFailure.reset();
    if (m_deviceCode == code)
        setLoginState(LoginState::failed(message));
}

void Backend::handleCallback(const QUrl& url) {
    if (url.host() != QLatin1String("auth"))
        return;
    if (m_deviceCode) {
        m_note(QStringLiteral("powrót z przeglądarki — wymieniam kod na token"));
        exchange(*m_deviceCode, false);
    } else {
        m_note(QStringLiteral("powrót z przeglądarki bez rozpoczętego logowania — zacznij od przycisku w aplikacji"));
    }
}

void Backend::cancelLogin() {
    cancelPolling();
    m_deviceCode.reset();
    setLoginState(token() ? LoginState::signedIn() : LoginState::signedOut());
}

void Backend::signOut() {
    cancelPolling();
    m_keychain.remove(QLatin1String(Keychain::kBackendToken));
    m_deviceCode.reset();
    setLoginState(LoginState::signedOut());
    m_note(QStringLiteral("wylogowano"));
}

// --- account and sessions ---

void Backend::refreshAccount(std::function<void()> done) {
    checkAccount([done](const std::optional<QString>&) {
        if (done)
            done();
    });
}

void Backend::checkAccount(std::function<void(const std::optional<QString>& error)> done) {
    const auto asked = token();
    if (!asked) {
        done(i18n::text("session.error.signedOut"));
        return;
    }
    send(QStringLiteral("api/me"), std::nullopt, true, [this, asked, done](const Answer& answer) {
        if (answer.transportFailed) {
            done(unreachableText() + QStringLiteral(" (") + answer.transportError + QLatin1Char(')'));
            return;
        }
        if (answer.status == 401 || answer.status == 403) {
            done(i18n::text("session.error.signedOut"));
            return;
        }
        // An answer about a token that is no longer the stored one (signed out, or signed in anew meanwhile) is
        // about someone else's sign-in.
        if (answer.status == 200 && answer.body && token() == asked) {
            const QJsonObject& body = *answer.body;
            m_email = textField(body, "email");
            if (const auto seconds = intField(body, "secondsRemaining"))
                m_secondsRemaining = seconds;
            if (const auto tier = textField(body, "tier"))
                m_tier = tier;
            emit accountChanged();
            setLoginState(LoginState::signedIn(m_email));
        }
        if (answer.status != 200 || !answer.body)
            done(unreachableText() + QStringLiteral(" (HTTP %1)").arg(answer.status));
        else
            done(std::nullopt);
    });
}

void Backend::openSession(const std::optional<QString>& company, const std::optional<QString>& topic,
                          std::function<void(std::optional<QString>)> done) {
    if (!token()) {
        done(std::nullopt);
        return;
    }
    QJsonObject body;
    if (!company.value_or(QString()).isEmpty())
        body.insert(QStringLiteral("company"), *company);
    if (!topic.value_or(QString()).isEmpty())
        body.insert(QStringLiteral("topic"), *topic);
    send(QStringLiteral("api/session/start"), body, true, [this, done](const Answer& answer) {
        if (answer.transportFailed || !answer.body) {
            done(unreachableText());
            return;
        }
        const QJsonObject& body = *answer.body;
        if (answer.status == 402) {
            m_secondsRemaining = intField(body, "secondsRemaining").value_or(0);
            emit accountChanged();
            done(i18n::text("session.error.noCredit"));
            return;
        }
        const QJsonValue session = body.value(QLatin1String("session"));
        if (session.isObject()) {
            if (const auto id = textField(session.toObject(), "id")) {
                m_sessionId = id;
                if (const auto seconds = intField(body, "secondsRemaining"))
                    m_secondsRemaining = seconds;
                m_sessionMaxSeconds = intField(body, "maxSeconds");
                m_tier = textField(body, "tier");
                emit accountChanged();
                emit sessionChanged();
                done(std::nullopt);
                return;
            }
        }
        done(textField(body, "error").value_or(unreachableText()));
    });
}

void Backend::heartbeat(int seconds, std::function<void(bool)> done) {
    if (!token() || !m_sessionId) {
        done(false);
        return;
    }
    QJsonObject body{{QStringLiteral("sessionId"), *m_sessionId}, {QStringLiteral("secondsUsed"), seconds}};
    send(QStringLiteral("api/session/heartbeat"), body, true, [this, done](const Answer& answer) {
        if (answer.transportFailed || !answer.body) {
            done(false);
            return;
        }
        const QJsonObject& body = *answer.body;
        if (const auto remaining = intField(body, "secondsRemaining")) {
            m_secondsRemaining = remaining;
            emit accountChanged();
        }
        if (const auto max = intField(body, "maxSeconds")) {
            m_sessionMaxSeconds = max;
            emit sessionChanged();
        }
        const QJsonValue exhausted = body.value(QLatin1String("exhausted"));
        done(exhausted.isBool() && exhausted.toBool());
    });
}

void Backend::closeSession(int seconds, const std::optional<QString>& company, const std::optional<QString>& topic,
                           std::function<void()> done) {
    if (!token() || !m_sessionId) {
        if (done)
            done();
        return;
    }
    QJsonObject body{{QStringLiteral("sessionId"), *m_sessionId}, {QStringLiteral("secondsUsed"), seconds}};
    if (!company.value_or(QString()).isEmpty())
        body.insert(QStringLiteral("company"), *company);
    if (!topic.value_or(QString()).isEmpty())
        body.insert(QStringLiteral("topic"), *topic);
    send(QStringLiteral("api/session/end"), body, true, [this, done](const Answer& answer) {
        if (!answer.transportFailed && answer.body) {
            if (const auto remaining = intField(*answer.body, "secondsRemaining")) {
                m_secondsRemaining = remaining;
                emit accountChanged();
            }
        }
        m_sessionId.reset();
        m_sessionMaxSeconds.reset();
        emit sessionChanged();
        if (done)
            done();
    });
}

std::optional<QJsonObject> Backend::answerBody(const QByteArray& bytes) {
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    if (!doc.isObject())
        return std::nullopt;
    return doc.object();
}

std::optional<int> Backend::intField(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != std::floor(number) || std::abs(number) > 2'147'483'647.0)
        return std::nullopt;
    return int(number);
}

std::optional<QString> Backend::textField(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

} // namespace quippet
