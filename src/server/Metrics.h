#pragma once

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QString>

#include <array>

namespace quippet::server {

// What this process has answered, for GET /metrics in the Prometheus text format. Counts are per process: with
// several servers on one database, the scraper adds them up. Nothing here names a user, a key or a document.
class Metrics {
public:
    static constexpr std::array<double, 9> kBuckets = {0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

    void request(const QString& endpoint, int status, double seconds);
    void upstream(const QString& service, double seconds); // time until the provider's answer began
    void proxiedEvents(qint64 count) { m_events += count; }
    // The whole exposition; openSessions comes from the database (all servers' sessions).
    QByteArray text(qint64 openSessions) const;

    // The route a path belongs to, so that the label's values stay few: "/api/context/NAME" counts as
    // "/api/context/:name", anything unknown as "other".
    static QString endpoint(const QString& path);

private:
    struct Histogram {
        std::array<qint64, kBuckets.size()> buckets{};
        qint64 count = 0;
        double sum = 0;
        void add(double seconds);
    };
    QMap<std::pair<QString, int>, qint64> m_requests;
    QMap<QString, Histogram> m_durations;
    QMap<QString, Histogram> m_upstream;
    qint64 m_events = 0;
};

} // namespace quippet::server
