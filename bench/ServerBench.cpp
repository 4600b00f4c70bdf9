// quippet-server under load, on loopback only: 1 000 simulated clients sending heartbeats, then speech-token
// requests (each relayed to a stand-in token service), to a real `quippet-server serve` process; then the model
// relay's added delay per streamed event. Every loop is bounded in requests and in time and stops by itself.
//   bench_server [--database URL]   (default: a fresh SQLite file; scripts/pg-private.sh gives a PostgreSQL one)
#include "peers/HttpPeer.h"
#include "server/Store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

using namespace quippet;

namespace {

constexpr int kClients = 1000;
constexpr int kHeartbeatsPerClient = 5;
constexpr int kTokensPerClient = 3;
constexpr int kPhaseLimitMs = 60'000;
constexpr int kEvents = 200;
constexpr int kEventGapMs = 10;

void raiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 65536);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool runUntil(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// One keep-alive connection sending the same request `count` times, one at a time.
class LoadClient : public QObject {
public:
    LoadClient(quint16 port, QByteArray request, int count, std::vector<double>& latencies, int& done, int& failed)
        : m_request(std::move(request)), m_left(count), m_latencies(latencies), m_done(done), m_failed(failed) {
        connect(&m_socket, &QTcpSocket::connected, this, [this] { next(); });
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { read(); });
        connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] {
            m_failed += m_left;
            finish();
        });
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }

private:
    void next() {
        if (m_left == 0) {
            finish();
            return;
        }
        m_buffer.clear();
        m_clock.start();
        m_socket.write(m_request);
    }
    void read() {
        m_buffer += m_socket.readAll();
        const qsizetype head = m_buffer.indexOf("\r\n\r\n");
        if (head < 0)
            return;
        const QRegularExpression length(QStringLiteral("Content-Length: (\\d+)"),
                                        QRegularExpression::CaseInsensitiveOption);
        const auto match = length.match(QString::fromLatin1(m_buffer.left(head)));
        if (m_buffer.size() < head + 4 + match.captured(1).toInt())
            return;
        m_latencies.push_back(double(m_clock.nsecsElapsed()) / 1e6);
        if (!m_buffer.startsWith("HTTP/1.1 200"))
            ++m_failed;
        --m_left;
        next();
    }
    void finish() {
        if (m_finished)
            return;
        m_finished = true;
        ++m_done;
        m_socket.disconnectFromHost();
    }

    QTcpSocket m_socket;
    QByteArray m_request;
    QByteArray m_buffer;
    QElapsedTimer m_clock;
    int m_left;
    bool m_finished = false;
    std::vector<double>& m_latencies;
    int& m_done;
    int& m_failed;
};

struct PhaseResult {
    double seconds = 0;
    size_t requests = 0;
    int failed = 0;
    double p50 = 0, p99 = 0;
};

PhaseResult phase(quint16 port, const QList<QByteArray>& tokens, const QByteArray& path,
                  const std::function<QByteArray(int)>& body, int perClient) {
    std::vector<double> latencies;
    int done = 0, failed = 0;
    QElapsedTimer wall;
    wall.start();
    std::vector<std::unique_ptr<LoadClient>> clients;
    for (int i = 0; i < tokens.size(); ++i) {
        const QByteArray payload = body(i);
        const QByteArray request =
            "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + tokens.at(i) +
            "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(payload.size()) + "\r\n\r\n" +
            payload;
        clients.push_back(std::make_unique<LoadClient>(port, request, perClient, latencies, done, failed));
    }
    runUntil([&] { return done == int(tokens.size()); }, kPhaseLimitMs);
    PhaseResult result;
    result.seconds = double(wall.nsecsElapsed()) / 1e9;
    result.requests = latencies.size();
    result.failed = failed;
    result.p50 = percentile(latencies, 0.5);
    result.p99 = percentile(latencies, 0.99);
    return result;
}

// The relay's added delay: the same scripted event stream read directly from the stand-in model service and
// through the server; each event's arrival is compared with the moment the stand-in wrote it.
struct StreamResult {
    double p50 = 0, p99 = 0;
    int events = 0;
    int over2ms = 0;
};

StreamResult streamDelay(quint16 port, const QByteArray& path, const QByteArray& token, const QByteArray& body,
                         std::vector<qint64>& writtenAt, const QElapsedTimer& clock) {
    QTcpSocket socket;
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    std::fill(writtenAt.begin(), writtenAt.end(), -1);
    std::vector<double> delays;
    QByteArray buffer;
    bool ended = false;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
        const qint64 now = clock.nsecsElapsed();
        buffer += socket.readAll();
        static const QRegularExpression event(QStringLiteral("\"text\":\"e(\\d+)\""));
        qsizetype end;
        while ((end = buffer.indexOf("\n\n")) >= 0) {
            const auto match = event.match(QString::fromLatin1(buffer.left(end)));
            buffer.remove(0, end + 2);
            if (match.hasMatch()) {
                const int i = match.captured(1).toInt();
                if (i >= 0 && i < kEvents && writtenAt[size_t(i)] >= 0)
                    delays.push_back(double(now - writtenAt[size_t(i)]) / 1e6);
            }
        }
        if (buffer.contains("0\r\n\r\n") || delays.size() == size_t(kEvents))
            ended = true;
    });
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] { ended = true; });
    socket.write("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n" +
                 (token.isEmpty() ? QByteArray() : "Authorization: Bearer " + token + "\r\n") +
                 "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    runUntil([&] { return ended; }, 30'000);
    if (qEnvironmentVariableIsSet("BENCH_SERVER_TRACE")) {
        for (double d : delays)
            std::fprintf(stderr, "%.2f ", d);
        std::fprintf(stderr, "\n");
    }
    const int over = int(std::count_if(delays.begin(), delays.end(), [](double d) { return d > 2.0; }));
    return {percentile(delays, 0.5), percentile(delays, 0.99), int(delays.size()), over};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    raiseFileLimit();
    QTemporaryDir dir;
    QString databaseUrl = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("bench.sqlite"));
    const int at = app.arguments().indexOf(QStringLiteral("--database"));
    if (at > 0 && at + 1 < app.arguments().size())
        databaseUrl = app.arguments().at(at + 1);
    const QString engine =
        databaseUrl.startsWith(QLatin1String("sqlite:")) ? QStringLiteral("SQLite") : QStringLiteral("PostgreSQL");

    // The stand-ins: a token service that answers at once, and a model service writing kEvents events.
    test::HttpPeer speech;
    int issued = 0;
    speech.route("POST", QStringLiteral("/v1/single-use-token/realtime_scribe"), [&](const test::HttpRequest&) {
        return test::HttpResponse::json(200, "{\"token\":\"stt-" + QByteArray::number(++issued) + "\"}");
    });
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> writtenAt(kEvents, -1);
    test::HttpPeer model;
    model.routeStream("POST", QStringLiteral("/v1beta/models/gemini-flash-latest:streamGenerateContent"),
                      [&](const test::HttpRequest&, test::HttpStream* stream) {
                          stream->writeHead(200, {{"Content-Type", "text/event-stream"}});
                          auto* timer = new QTimer(stream);
                          auto sent = std::make_shared<int>(0);
                          QObject::connect(timer, &QTimer::timeout, stream, [stream, timer, sent, &writtenAt, &clock] {
                              if (!stream->isOpen() || *sent == kEvents) {
                                  timer->stop();
                                  if (stream->isOpen())
                                      stream->end();
                                  return;
                              }
                              const QByteArray data = "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"e" +
                                                      QByteArray::number(*sent) + "\"}]}}]}\n\n";
                              writtenAt[size_t(*sent)] = clock.nsecsElapsed();
                              stream->write(data);
                              ++*sent;
                          });
                          timer->start(kEventGapMs);
                      });
    if (!speech.start() || !model.start()) {
        std::fprintf(stderr, "bench_server: cannot listen on loopback\n");
        return 1;
    }

    // Accounts, tokens and open sessions for every client, prepared directly in the database.
    QList<QByteArray> tokens;
    QStringList sessions;
    {
        server::secrets::initialise();
        server::Database db;
        if (const auto failure = db.open(*server::DatabaseUrl::parse(databaseUrl))) {
            std::fprintf(stderr, "bench_server: %s\n", qPrintable(*failure));
            return 1;
        }
        SystemClock systemClock;
        server::Store store(db, systemClock, server::HashCost::Minimal);
        db.begin();
        for (int i = 0; i < kClients; ++i) {
            const QString email = QStringLiteral("rep%1@example.com").arg(i);
            store.addUser(email, "bench password", 36000, QStringLiteral("pro"));
            const server::User user = *store.user(email);
            tokens.append(*store.issueToken(user.id, QStringLiteral("bench")));
            sessions.append(store.startSession(user, {}, {})
                                .body.value(QStringLiteral("session"))
                                .toMap()
                                .value(QStringLiteral("id"))
                                .toString());
        }
        db.commit();
    }

    QProcess serverProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUIPPET_SERVER_ELEVENLABS_KEY"), QStringLiteral("sk_bench"));
    env.insert(QStringLiteral("QUIPPET_SERVER_GEMINI_KEY"), QStringLiteral("bench-key"));
    env.insert(QStringLiteral("QUIPPET_SERVER_ELEVENLABS_URL"), speech.baseUrl().toString());
    env.insert(QStringLiteral("QUIPPET_SERVER_GEMINI_URL"), model.baseUrl().toString());
    serverProcess.setProcessEnvironment(env);
    serverProcess.start(QStringLiteral(QUIPPET_SERVER_BINARY),
                        {QStringLiteral("serve"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                         QStringLiteral("--database"), databaseUrl});
    QByteArray out;
    runUntil(
        [&] {
            out += serverProcess.readAllStandardOutput();
            return out.contains("serving on ") || serverProcess.state() == QProcess::NotRunning;
        },
        20'000);
    const QUrl base(QRegularExpression(QStringLiteral("serving on (\\S+)")).match(QString::fromUtf8(out)).captured(1));
    if (base.port() <= 0) {
        std::fprintf(stderr, "bench_server: the server did not start\n");
        return 1;
    }
    const quint16 port = quint16(base.port());

    const QByteArray request = R"({"contents":[{"role":"user","parts":[{"text":"q"}]}],"model":"gemini-flash-latest"})";
    const StreamResult direct =
        streamDelay(quint16(model.port()), "/v1beta/models/gemini-flash-latest:streamGenerateContent?alt=sse", {},
                    request, writtenAt, clock);
    const StreamResult relayed = streamDelay(port, "/api/llm", tokens.first(), request, writtenAt, clock);

    const PhaseResult heartbeats = phase(
        port, tokens, "/api/session/heartbeat",
        [&](int i) {
            return QJsonDocument(QJsonObject{{"sessionId", sessions.at(i)}, {"secondsUsed", 1}})
                .toJson(QJsonDocument::Compact);
        },
        kHeartbeatsPerClient);
    const PhaseResult speechTokens = phase(
        port, tokens, "/api/stt/token", [](int) { return QByteArray(); }, kTokensPerClient);
    serverProcess.terminate();
    serverProcess.waitForFinished(5000);

    auto line = [&](const char* what, const PhaseResult& r) {
        std::printf("%-10s %-22s %6zu req %4d failed %8.0f req/s  p50 %7.2f ms  p99 %7.2f ms\n", qPrintable(engine),
                    what, r.requests, r.failed, double(r.requests) / r.seconds, r.p50, r.p99);
    };
    std::printf("quippet-server on loopback, %d clients, keep-alive, one request in flight per client\n", kClients);
    line("heartbeat", heartbeats);
    line("speech token (relayed)", speechTokens);
    std::printf("%-10s model events: %d direct (p50 %.3f ms, p99 %.3f ms), %d through the relay (p50 %.3f ms, p99 "
                "%.3f ms, %d over 2 ms): added p50 %.3f ms, p99 %.3f ms\n",
                qPrintable(engine), direct.events, direct.p50, direct.p99, relayed.events, relayed.p50, relayed.p99,
                relayed.over2ms, relayed.p50 - direct.p50, relayed.p99 - direct.p99);
    return heartbeats.failed + speechTokens.failed == 0 && relayed.events == kEvents ? 0 : 1;
}
