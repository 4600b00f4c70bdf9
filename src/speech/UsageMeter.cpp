#include "speech/UsageMeter.h"

#include "core/Clock.h"
#include "secrets/Keychain.h"
#include "speech/ElevenLabsTranscriber.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QUrlQuery>

#include <algorithm>
#include <optional>

namespace quippet {

namespace {

constexpr qint64 kDayMs = 86'400'000;

QString missingKeyText() {
    return QStringLiteral("brak klucza ElevenLabs");
}
QString unexpectedText() {
    return QStringLiteral("nieoczekiwana odpowiedź zużycia");
}

// The sum of {"usage": {model: [numbers]}}; nothing for any other shape.
std::optional<double> totalUsage(const QByteArray& body) {
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (!doc.isObject())
        return std::nullopt;
    const QJsonValue usage = doc.object().value(QLatin1String("usage"));
    if (!usage.isObject())
        return std::nullopt;
    double total = 0;
    const QJsonObject models = usage.toObject();
    for (auto it = models.begin(); it != models.end(); ++it) {
        if (!it.value().isArray())
            return std::nullopt;
        for (const QJsonValue& v : it.value().toArray()) {
            if (!v.isDouble())
                return std::nullopt;
            total += v.toDouble();
        }
    }
    return total;
}

} // namespace

UsageMeter::UsageMeter(Keychain& keychain, Clock& clock, QObject* parent)
    : QObject(parent), m_keychain(keychain), m_clock(clock), m_network(new QNetworkAccessManager(this)) {
    m_keyReads.setMaxThreadCount(1);
}

// A read still running would otherwise outlive the meter; the store bounds each read, so this wait is short.
UsageMeter::~UsageMeter() {
    m_keyReads.waitForDone();
}

double UsageMeter::sessionCost() const {
    return std::max(0.0, m_rawToday - m_baseline) / 3600.0 * kDollarsPerUnitHour;
}

QString UsageMeter::summary() const {
    if (m_rawToday > 0 || m_baseline > 0)
        return QString::asprintf("koszt sesji: $%.3f  (dziś %.0f jednostek)", sessionCost(), m_rawToday);
    return QStringLiteral("koszt: —");
}

void UsageMeter::startPolling() {
    refresh(true);
    delete m_timer;
    m_timer = m_clock.createTimer(this);
    connect(m_timer, &Timer::timeout, this, [this] { refresh(false); });
    m_timer->start(kPollInterval);
}

void UsageMeter::stopPolling() {
    delete m_timer;
    m_timer = nullptr;
}

bool UsageMeter::isPolling() const {
    return m_timer && m_timer->isActive();
}

QUrl UsageMeter::statsUrl(const QUrl& serviceBase, qint64 nowMs) {
    const qint64 end = nowMs / 1000 * 1000;
    QUrl url = serviceBase;
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + QLatin1String("/v1/usage/character-stats"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("start_unix"), QString::number(end - kDayMs));
    query.addQueryItem(QStringLiteral("end_unix"), QString::number(end));
    query.addQueryItem(QStringLiteral("breakdown_type"), QStringLiteral("model"));
    url.setQuery(query);
    return url;
}

void UsageMeter::refresh(bool setBaseline) {
    // The secret store may be slow (or hang on a stuck keyring): read it off the main thread.
    QPointer<UsageMeter> self(this);
    // The read holds the store itself, not the controller's keychain facade, which may go first at shutdown.
    SecretStore* store = &m_keychain.store();
    m_keyReads.start([self, store, setBaseline] {
        const std::optional<QString> key = Keychain(*store).read(QLatin1String(Keychain::kElevenLabsKey));
        QMetaObject::invokeMethod(
            self.data(),
            [self, key, setBaseline] {
                if (!self)
                    return;
                if (!key)
                    self->fail(missingKeyText());
                else
                    self->request(*key, setBaseline);
            },
            Qt::QueuedConnection);
    });
}

void UsageMeter::request(const QString& key, bool setBaseline) {
    const QUrl serviceBase = ElevenLabsTranscriber::serviceBaseUrl();
    QNetworkRequest req(statsUrl(serviceBase, m_clock.nowMs()));
    req.setTransferTimeout(60'000);
    req.setRawHeader("xi-api-key", key.toUtf8());
    QNetworkReply* reply = m_network->get(req);
    connect(reply, &QNetworkReply::finished, this, [this, reply, setBaseline] {
        reply->deleteLater();
        // Only a missing HTTP answer is a transport error; a refusal's body is judged by its shape below.
        if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
            fail(reply->errorString());
            return;
        }
        const auto total = totalUsage(reply->readAll());
        if (!total) {
            fail(unexpectedText());
            return;
        }
        apply(*total, setBaseline);
    });
}

void UsageMeter::fail(const QString& error) {
    if (m_lastError != error) {
        m_lastError = error;
        emit lastErrorChanged();
    }
    emit refreshed();
}

void UsageMeter::apply(double total, bool setBaseline) {
    m_rawToday = total;
    if (setBaseline)
        m_baseline = total;
    emit usageChanged();
    if (!m_lastError.isEmpty()) {
        m_lastError.clear();
        emit lastErrorChanged();
    }
    emit refreshed();
}

} // namespace quippet
