#include "backend/UpdateChecker.h"

#include "core/Clock.h"
#include "core/SafeUrl.h"
#include "core/Settings.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QXmlStreamReader>

namespace quippet {

namespace {

constexpr int kMaxNotes = 4000;
constexpr int kFeedTimeoutMs = 30'000;
const QString kSparkle = QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");

// "1.10.2-beta3" → numbers {1, 10, 2} and the suffix "beta3".
std::pair<QList<qint64>, QString> split(const QString& version) {
    static const QRegularExpression numbers(QStringLiteral("^\\s*v?(\\d+(?:\\.\\d+)*)(.*)$"));
    const QRegularExpressionMatch match = numbers.match(version);
    if (!match.hasMatch())
        return {{}, version.trimmed()};
    QList<qint64> parts;
    for (const QString& part : match.captured(1).split(QLatin1Char('.')))
        parts << part.left(15).toLongLong();
    while (!parts.isEmpty() && parts.last() == 0)
        parts.removeLast();
    QString suffix = match.captured(2).trimmed();
    while (suffix.startsWith(QLatin1Char('-')) || suffix.startsWith(QLatin1Char('.')) ||
           suffix.startsWith(QLatin1Char('+')))
        suffix.remove(0, 1);
    return {parts, suffix};
}

QString plainText(QString html) {
    html.replace(
        QRegularExpression(QStringLiteral("<(br|/p|/li|/h\\d)[^>]*>"), QRegularExpression::CaseInsensitiveOption),
        QStringLiteral("\n"));
    html.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    html.replace(QLatin1String("&lt;"), QLatin1String("<")).replace(QLatin1String("&gt;"), QLatin1String(">"));
    html.replace(QLatin1String("&quot;"), QLatin1String("\"")).replace(QLatin1String("&amp;"), QLatin1String("&"));
    html = html.trimmed();
    if (html.size() > kMaxNotes)
        html = html.left(kMaxNotes) + QStringLiteral("…");
    return html;
}

} // namespace

int appcast::compareVersions(const QString& a, const QString& b) {
    const auto [na, sa] = split(a);
    const auto [nb, sb] = split(b);
    for (qsizetype i = 0; i < qMax(na.size(), nb.size()); ++i) {
        const qint64 x = i < na.size() ? na[i] : 0;
        const qint64 y = i < nb.size() ? nb[i] : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    // A pre-release comes before its release.
    if (sa.isEmpty() != sb.isEmpty())
        return sa.isEmpty() ? 1 : -1;
    // Suffixes compare run by run, numbers as numbers: beta2 < beta10.
    static const QRegularExpression runs(QStringLiteral("\\d+|\\D+"));
    auto ia = runs.globalMatch(sa.toLower());
    auto ib = runs.globalMatch(sb.toLower());
    while (ia.hasNext() && ib.hasNext()) {
        const QString x = ia.next().captured(), y = ib.next().captured();
        const bool numeric = x.front().isDigit() && y.front().isDigit();
        const int order =
            numeric ? (x.toLongLong() < y.toLongLong() ? -1 : x.toLongLong() > y.toLongLong()) : QString::compare(x, y);
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    return ia.hasNext() ? 1 : (ib.hasNext() ? -1 : 0);
}

std::optional<Release> appcast::newest(const QByteArray& feed, QString* error) {
    QXmlStreamReader xml(feed);
    std::optional<Release> best;
    Release item;
    QString itemVersion, itemShort;
    bool inItem = false;
    int items = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const QStringView name = xml.name();
            if (name == QLatin1String("item")) {
                inItem = true;
                item = {};
                itemVersion.clear();
                itemShort.clear();
            } else if (inItem && name == QLatin1String("title")) {
                item.title = xml.readElementText(QXmlStreamReader::SkipChildElements).left(200).trimmed();
            } else if (inItem && name == QLatin1String("description")) {
                item.notes = plainText(xml.readElementText(QXmlStreamReader::IncludeChildElements).left(1 << 16));
            } else if (inItem && name == QLatin1String("link")) {
                item.page = QUrl(xml.readElementText().trimmed());
            } else if (inItem && name == QLatin1String("version") && xml.namespaceUri() == kSparkle) {
                itemVersion = xml.readElementText().trimmed();
            } else if (inItem && name == QLatin1String("shortVersionString") && xml.namespaceUri() == kSparkle) {
                itemShort = xml.readElementText().trimmed();
            } else if (inItem && name == QLatin1String("enclosure")) {
                const QXmlStreamAttributes attrs = xml.attributes();
                if (itemVersion.isEmpty())
                    itemVersion = attrs.value(kSparkle, QStringLiteral("version")).toString().trimmed();
                if (itemShort.isEmpty())
                    itemShort = attrs.value(kSparkle, QStringLiteral("shortVersionString")).toString().trimmed();
                if (item.page.isEmpty())
                    item.page = QUrl(attrs.value(QStringLiteral("url")).toString().trimmed());
            }
        } else if (xml.isEndElement() && xml.name() == QLatin1String("item")) {
            inItem = false;
            ++items;
            item.version = (itemShort.isEmpty() ? itemVersion : itemShort).left(40);
            if (!isSafeToOpen(item.page))
                item.page.clear();
            if (!split(item.version).first.isEmpty() && (!best || compareVersions(item.version, best->version) > 0))
                best = item;
        }
    }
    if (xml.hasError() && error)
        *error = QStringLiteral("kanał aktualizacji nieczytelny: ") + xml.errorString();
    else if (!best && error)
        *error =
            items ? QStringLiteral("kanał aktualizacji bez numeru wersji") : QStringLiteral("kanał aktualizacji pusty");
    return xml.hasError() ? std::nullopt : best;
}

UpdateChecker::UpdateChecker(Clock& clock, QString currentVersion, QObject* parent)
    : QObject(parent), m_clock(clock), m_current(std::move(currentVersion)),
      m_network(new QNetworkAccessManager(this)) {}

UpdateChecker::~UpdateChecker() = default;

QUrl UpdateChecker::feedUrl() {
    const QUrl url(Settings::string(Settings::kUpdateFeedUrl).value_or(QString()));
    return url.isValid() && !url.scheme().isEmpty() ? url : QUrl(QStringLiteral("https://quippet.app/appcast.xml"));
}

void UpdateChecker::check(std::function<void(const Result&)> done) {
    QNetworkRequest request(feedUrl());
    request.setTransferTimeout(kFeedTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = m_network->get(request);
    auto finish = [reply, done](const Result& result) {
        reply->disconnect();
        reply->abort();
        reply->deleteLater();
        done(result);
    };
    // A feed larger than any real one is not read to its end.
    connect(reply, &QNetworkReply::downloadProgress, this, [reply, finish](qint64 received, qint64) {
        if (received > kMaxFeedBytes)
            finish({Outcome::Failed, {}, QStringLiteral("kanał aktualizacji za duży")});
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, finish] {
        Result result;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status != 200) {
            result.error = QStringLiteral("kanał aktualizacji: ") +
                           (status ? QStringLiteral("HTTP %1").arg(status) : reply->errorString());
        } else if (const auto newest = appcast::newest(reply->read(kMaxFeedBytes + 1), &result.error)) {
            result.error.clear();
            result.release = *newest;
            result.outcome =
                appcast::compareVersions(newest->version, m_current) > 0 ? Outcome::Newer : Outcome::UpToDate;
        }
        finish(result);
    });
}

void UpdateChecker::startSchedule() {
    delete m_timer;
    m_timer = m_clock.createTimer(this);
    connect(m_timer, &Timer::timeout, this, &UpdateChecker::scheduledCheck);
    m_timer->start(std::chrono::hours(1));
    scheduledCheck();
}

void UpdateChecker::scheduledCheck() {
    const qint64 last = Settings::value(Settings::kLastUpdateCheck, qint64(0)).toLongLong();
    const qint64 now = m_clock.nowMs();
    if (now >= last && now - last < std::chrono::milliseconds(kInterval).count())
        return;
    Settings::setValue(Settings::kLastUpdateCheck, now);
    QPointer<UpdateChecker> self(this);
    check([self](const Result& result) {
        if (self && result.outcome == Outcome::Newer)
            emit self->newerReleaseFound(result.release);
    });
}

} // namespace quippet
