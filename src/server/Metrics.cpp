#include "server/Metrics.h"

#include <QStringList>

namespace quippet::server {

void Metrics::Histogram::add(double seconds) {
    for (size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i])
            ++buckets[i];
    ++count;
    sum += seconds;
}

void Metrics::request(const QString& endpoint, int status, double seconds) {
    ++m_requests[{endpoint, status}];
    m_durations[endpoint].add(seconds);
}

void Metrics::upstream(const QString& service, double seconds) {
    m_upstream[service].add(seconds);
}

QString Metrics::endpoint(const QString& path) {
    static const QStringList exact = {QStringLiteral("/"),
                                      QStringLiteral("/device"),
                                      QStringLiteral("/device/signin"),
                                      QStringLiteral("/device/confirm"),
                                      QStringLiteral("/style.css"),
                                      QStringLiteral("/healthz"),
                                      QStringLiteral("/metrics"),
                                      QStringLiteral("/panel"),
                                      QStringLiteral("/api/auth/device/start"),
                                      QStringLiteral("/api/auth/device/token"),
                                      QStringLiteral("/api/me"),
                                      QStringLiteral("/api/session/start"),
                                      QStringLiteral("/api/session/heartbeat"),
                                      QStringLiteral("/api/session/end"),
                                      QStringLiteral("/api/stt/token"),
                                      QStringLiteral("/api/llm"),
                                      QStringLiteral("/api/context")};
    if (exact.contains(path))
        return path;
    if (path.startsWith(QLatin1String("/api/context/")))
        return QStringLiteral("/api/context/:name");
    if (path.startsWith(QLatin1String("/panel/")))
        return QStringLiteral("/panel/*");
    if (path == QLatin1String("/admin") || path.startsWith(QLatin1String("/admin/")))
        return QStringLiteral("/admin/*");
    return QStringLiteral("other");
}

namespace {

QByteArray number(double value) {
    return QByteArray::number(value, 'g', 10);
}

void histogram(QByteArray& out, const QByteArray& name, const QByteArray& labelName, const QString& label,
               const auto& h) {
    const QByteArray labels = labelName + "=\"" + label.toUtf8() + '"';
    for (size_t i = 0; i < Metrics::kBuckets.size(); ++i)
        out += name + "_bucket{" + labels + ",le=\"" + number(Metrics::kBuckets[i]) + "\"} " +
               QByteArray::number(h.buckets[i]) + '\n';
    out += name + "_bucket{" + labels + ",le=\"+Inf\"} " + QByteArray::number(h.count) + '\n';
    out += name + "_sum{" + labels + "} " + number(h.sum) + '\n';
    out += name + "_count{" + labels + "} " + QByteArray::number(h.count) + '\n';
}

} // namespace

QByteArray Metrics::text(qint64 openSessions) const {
    QByteArray out;
    out += "# HELP quippet_requests_total Requests answered, by endpoint and status.\n"
           "# TYPE quippet_requests_total counter\n";
    for (auto it = m_requests.cbegin(); it != m_requests.cend(); ++it)
        out += "quippet_requests_total{endpoint=\"" + it.key().first.toUtf8() + "\",status=\"" +
               QByteArray::number(it.key().second) + "\"} " + QByteArray::number(it.value()) + '\n';
    out += "# HELP quippet_request_duration_seconds Time from a request's arrival to the end of its answer.\n"
           "# TYPE quippet_request_duration_seconds histogram\n";
    for (auto it = m_durations.cbegin(); it != m_durations.cend(); ++it)
        histogram(out, "quippet_request_duration_seconds", "endpoint", it.key(), it.value());
    out += "# HELP quippet_open_sessions Listening sessions open now (with a recent heartbeat), on all servers.\n"
           "# TYPE quippet_open_sessions gauge\nquippet_open_sessions " +
           QByteArray::number(openSessions) + '\n';
    out += "# HELP quippet_upstream_latency_seconds Time until a provider's answer began, by service.\n"
           "# TYPE quippet_upstream_latency_seconds histogram\n";
    for (auto it = m_upstream.cbegin(); it != m_upstream.cend(); ++it)
        histogram(out, "quippet_upstream_latency_seconds", "service", it.key(), it.value());
    out += "# HELP quippet_proxied_events_total Model events relayed to the programs.\n"
           "# TYPE quippet_proxied_events_total counter\nquippet_proxied_events_total " +
           QByteArray::number(m_events) + '\n';
    return out;
}

} // namespace quippet::server
