#include "server/Server.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QSocketNotifier>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace quippet::server {

Server::Server(Clock& clock, QObject* parent) : QObject(parent), m_clock(clock) {}

Server::~Server() = default;

std::optional<QString> Server::start(Options options) {
    if (!secrets::initialise())
        return QStringLiteral("libsodium could not be initialised");
    const auto url =
        DatabaseUrl::parse(options.databaseUrl.isEmpty() ? DatabaseUrl::defaultUrl() : options.databaseUrl);
    if (!url)
        return QStringLiteral("not a database URL (sqlite:PATH or postgresql://USER@HOST/DB)");
    m_db = std::make_unique<Database>();
    if (auto failure = m_db->open(*url))
        return failure;
    m_store = std::make_unique<Store>(*m_db, m_clock, options.cost);
    m_logRequests = options.logRequests;
    m_http = new HttpServer(
        [this](const HttpRequest& request, HttpExchange* exchange) {
            QElapsedTimer timer;
            timer.start();
            // Counted and logged once the answer is complete (or its connection gone); a streamed answer at its end.
            auto record = [this, exchange, timer, method = request.method, path = request.path] {
                const double seconds = double(timer.nsecsElapsed()) / 1e9;
                m_metrics.request(Metrics::endpoint(path), exchange->status(), seconds);
                if (m_logRequests)
                    logRequest(method, path, exchange->status(), seconds, exchange->userId);
            };
            connect(exchange, &HttpExchange::finished, this, record);
            connect(exchange, &HttpExchange::gone, this, record);
            m_api->handle(request, exchange);
        },
        &Api::bodyLimit, this);
    if (!options.tlsCertificate.isEmpty() || !options.tlsKey.isEmpty()) {
        if (options.tlsCertificate.isEmpty() || options.tlsKey.isEmpty())
            return QStringLiteral("https needs both a certificate and a key file");
        if (const auto failure = m_http->useTls(options.tlsCertificate, options.tlsKey))
            return failure;
    }
    if (!m_http->listen(options.host, options.port))
        return QStringLiteral("cannot listen on %1:%2: %3")
            .arg(options.host.toString())
            .arg(options.port)
            .arg(m_http->errorString());
    if (options.config.publicUrl.isEmpty()) {
        QString host = options.host.toString();
        if (options.host == QHostAddress::AnyIPv4 || options.host == QHostAddress::Any)
            host = QStringLiteral("127.0.0.1");
        if (options.host.protocol() == QAbstractSocket::IPv6Protocol && host != QLatin1String("127.0.0.1"))
            host = QLatin1Char('[') + host + QLatin1Char(']');
        options.config.publicUrl =
            QUrl(QStringLiteral("%1://%2:%3/")
                     .arg(options.tlsCertificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"), host)
                     .arg(m_http->port()));
    }
    if (!options.config.publicUrl.path().endsWith(QLatin1Char('/')))
        options.config.publicUrl.setPath(options.config.publicUrl.path() + QLatin1Char('/'));
    m_url = options.config.publicUrl;
    m_api = new Api(*m_store, std::move(options.config), &m_metrics, this);
    return std::nullopt;
}

// One line per request: method, path (never the query, which may carry a sign-in code), status, duration, user.
void Server::logRequest(const QByteArray& method, const QString& path, int status, double seconds, qint64 userId) {
    QString shown = path.left(200);
    for (QChar& c : shown)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    std::printf("%s %s %d %.1fms user=%lld\n", method.left(10).constData(), qPrintable(shown), status, seconds * 1000,
                static_cast<long long>(userId));
    std::fflush(stdout);
}

quint16 Server::port() const {
    return m_http ? m_http->port() : 0;
}

QUrl Server::url() const {
    return m_url;
}

std::optional<std::pair<QHostAddress, quint16>> parseListen(const QString& text) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return std::nullopt;
    QString host = text.left(colon);
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port > 65535)
        return std::nullopt;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (host.isEmpty() || host == QLatin1String("localhost"))
        host = QStringLiteral("127.0.0.1");
    QHostAddress address;
    if (!address.setAddress(host))
        return std::nullopt;
    return std::make_pair(address, quint16(port));
}

// --- the command line ---

namespace {

struct Arguments {
    QStringList positional;
    QHash<QString, QString> options;
    QString bad; // the first option that could not be read
};

// Options take a value ("--seconds 60" or "--seconds=60"), except the flags, which stand alone.
Arguments parse(const QStringList& args, const QStringList& known, const QStringList& flags = {}) {
    Arguments out;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (!arg.startsWith(QLatin1String("--"))) {
            out.positional.append(arg);
            continue;
        }
        QString name = arg.mid(2), value;
        const qsizetype eq = name.indexOf(QLatin1Char('='));
        if (flags.contains(name)) {
            out.options.insert(name, QStringLiteral("1"));
            continue;
        }
        if (eq >= 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
        } else if (i + 1 < args.size()) {
            value = args.at(++i);
        } else if (out.bad.isEmpty()) {
            out.bad = arg + QStringLiteral(" needs a value");
        }
        if (!known.contains(name) && out.bad.isEmpty())
            out.bad = QStringLiteral("unknown option --") + name;
        out.options.insert(name, value);
    }
    return out;
}

int failWith(const QString& line) {
    std::fprintf(stderr, "quippet-server: %s\n", qPrintable(line));
    return 2;
}

const char kUsage[] = R"(usage: quippet-server COMMAND [options]
  serve [--listen HOST:PORT] [--database URL] [--public-url URL] [--tls-cert PEM --tls-key PEM]
  user add EMAIL [--seconds N] [--tier NAME] [--admin]   (password read from standard input)
  user allow EMAIL --seconds N
  user revoke EMAIL
  user disable EMAIL | user enable EMAIL
  docs add FILE [--name NAME]
  docs remove NAME
  usage [EMAIL]
  backup FILE        (a consistent SQLite snapshot, also while serving)
  restore FILE       (into the --database file, which must not exist yet)
every command takes --database URL (default: $QUIPPET_SERVER_DATABASE, else an SQLite file under the XDG data home)
)";

QString setting(const Arguments& args, const QString& option, const char* variable, const QString& fallback = {}) {
    if (args.options.contains(option))
        return args.options.value(option);
    if (qEnvironmentVariableIsSet(variable))
        return qEnvironmentVariable(variable);
    return fallback;
}

std::optional<qint64> number(const QString& text) {
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

QByteArray readPassword() {
    // Typed at a terminal, the password is not echoed.
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fputs("password: ", stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    struct Restore {
        bool terminal;
        termios saved;
        ~Restore() {
            if (terminal) {
                ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
                std::fputs("\n", stderr);
            }
        }
    } restore{terminal, saved};
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return {};
    QByteArray line = in.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}

// A provider key from the environment, else from a file: QUIPPET_SERVER_…_KEY_FILE, or the credential systemd
// hands the service (LoadCredential=, readable by the service alone).
QByteArray providerKey(const char* variable, const char* credential) {
    QByteArray key = qgetenv(variable).trimmed();
    if (!key.isEmpty())
        return key;
    QString file = qEnvironmentVariable((QByteArray(variable) + "_FILE").constData());
    if (file.isEmpty() && qEnvironmentVariableIsSet("CREDENTIALS_DIRECTORY"))
        file = qEnvironmentVariable("CREDENTIALS_DIRECTORY") + QLatin1Char('/') + QLatin1String(credential);
    QFile in(file);
    if (!file.isEmpty() && in.open(QIODevice::ReadOnly))
        key = in.read(4096).trimmed();
    return key;
}

// A copy of an SQLite database taken in one read transaction, so writers may go on meanwhile.
std::optional<QString> vacuumInto(QSqlDatabase& db, const QString& file) {
    QSqlQuery query(db);
    if (!query.prepare(QStringLiteral("VACUUM INTO ?")))
        return QStringLiteral("the snapshot could not be prepared: ") + query.lastError().databaseText();
    query.addBindValue(QFileInfo(file).absoluteFilePath());
    if (!query.exec())
        return QStringLiteral("the snapshot failed: ") + query.lastError().databaseText();
    return std::nullopt;
}

std::optional<QString> backup(const DatabaseUrl& url, const QString& file) {
    if (url.kind == DatabaseUrl::Kind::Postgres)
        return QStringLiteral("for PostgreSQL use its own tools: pg_dump -Fc -f FILE DB, and pg_restore -d DB FILE");
    if (QFileInfo::exists(file))
        return QStringLiteral("%1 exists already; a backup is always a new file").arg(file);
    Database db; // brings the schema up to date first, so a backup is always of the current version
    if (const auto failure = db.open(url))
        return failure;
    const QString name = QStringLiteral("quippet-backup");
    std::optional<QString> failure;
    {
        QSqlDatabase source = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        source.setDatabaseName(url.path);
        source.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        failure = source.open() ? vacuumInto(source, file)
                                : std::optional<QString>(QStringLiteral("cannot open the database"));
        source.close();
    }
    QSqlDatabase::removeDatabase(name);
    return failure;
}

std::optional<QString> restore(const QString& file, const DatabaseUrl& url) {
    if (url.kind == DatabaseUrl::Kind::Postgres)
        return QStringLiteral("for PostgreSQL use its own tools: pg_restore -d DB FILE");
    if (!QFileInfo(file).isFile())
        return QStringLiteral("no backup file %1").arg(file);
    if (QFileInfo::exists(url.path))
        return QStringLiteral("%1 exists; restore into a new file (stop the server and move the old one away first)")
            .arg(url.path);
    const QString name = QStringLiteral("quippet-restore");
    std::optional<QString> failure;
    {
        QSqlDatabase source = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        source.setDatabaseName(file);
        source.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!source.open()) {
            failure = QStringLiteral("cannot open %1").arg(file);
        } else {
            QSqlQuery check(source);
            if (!check.exec(QStringLiteral("PRAGMA integrity_check")) || !check.next() ||
                check.value(0).toString() != QLatin1String("ok") ||
                !check.exec(QStringLiteral("SELECT MAX(version) FROM schema_migrations")) || !check.next())
                failure = QStringLiteral("%1 is not an intact quippet-server backup").arg(file);
            check.finish();
            if (!failure) {
                QDir().mkpath(QFileInfo(url.path).absolutePath());
                failure = vacuumInto(source, url.path);
            }
        }
        source.close();
    }
    QSqlDatabase::removeDatabase(name);
    if (failure)
        return failure;
    Database db; // an older backup is migrated to the current schema
    return db.open(url);
}

void stopOnSignals() {
    // SIGINT and SIGTERM end the event loop, so the database is closed cleanly.
    static int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return;
    auto handler = [](int) {
        const char byte = 1;
        [[maybe_unused]] auto written = ::write(pipeFds[1], &byte, 1);
    };
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    auto* notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, QCoreApplication::instance(), &QCoreApplication::quit);
}

} // namespace

int runCommand(const QStringList& arguments, Clock& clock) {
    if (arguments.isEmpty() || arguments.first() == QLatin1String("--help") ||
        arguments.first() == QLatin1String("help")) {
        std::fputs(kUsage, arguments.isEmpty() ? stderr : stdout);
        return arguments.isEmpty() ? 2 : 0;
    }
    const QString command = arguments.first();
    const Arguments args = parse(arguments.mid(1),
                                 {QStringLiteral("listen"), QStringLiteral("database"), QStringLiteral("public-url"),
                                  QStringLiteral("seconds"), QStringLiteral("tier"), QStringLiteral("name"),
                                  QStringLiteral("tls-cert"), QStringLiteral("tls-key")},
                                 {QStringLiteral("admin")});
    if (!args.bad.isEmpty())
        return failWith(args.bad);
    if (!secrets::initialise())
        return failWith(QStringLiteral("libsodium could not be initialised"));
    const QString databaseUrl =
        setting(args, QStringLiteral("database"), "QUIPPET_SERVER_DATABASE", DatabaseUrl::defaultUrl());

    if (command == QLatin1String("serve")) {
        if (!args.positional.isEmpty())
            return failWith(QStringLiteral("serve takes no arguments besides its options"));
        const auto listen = parseListen(
            setting(args, QStringLiteral("listen"), "QUIPPET_SERVER_LISTEN", QStringLiteral("127.0.0.1:8080")));
        if (!listen)
            return failWith(QStringLiteral("--listen wants HOST:PORT, for example 127.0.0.1:8080"));
        Server::Options options;
        options.host = listen->first;
        options.port = listen->second;
        options.databaseUrl = databaseUrl;
        const QString publicUrl = setting(args, QStringLiteral("public-url"), "QUIPPET_SERVER_PUBLIC_URL");
        if (!publicUrl.isEmpty()) {
            options.config.publicUrl = QUrl(publicUrl, QUrl::StrictMode);
            const QString scheme = options.config.publicUrl.scheme();
            if (!options.config.publicUrl.isValid() || options.config.publicUrl.host().isEmpty() ||
                (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
                return failWith(QStringLiteral("--public-url wants an http or https address"));
        }
        options.config.elevenLabsKey = providerKey("QUIPPET_SERVER_ELEVENLABS_KEY", "elevenlabs-key");
        options.config.geminiKey = providerKey("QUIPPET_SERVER_GEMINI_KEY", "gemini-key");
        options.tlsCertificate = setting(args, QStringLiteral("tls-cert"), "QUIPPET_SERVER_TLS_CERT");
        options.tlsKey = setting(args, QStringLiteral("tls-key"), "QUIPPET_SERVER_TLS_KEY");
        // Under systemd the certificate and key may come as the service's credentials.
        const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
        if (options.tlsCertificate.isEmpty() && options.tlsKey.isEmpty() && !credentials.isEmpty() &&
            QFileInfo::exists(credentials + QStringLiteral("/tls.crt")) &&
            QFileInfo::exists(credentials + QStringLiteral("/tls.key"))) {
            options.tlsCertificate = credentials + QStringLiteral("/tls.crt");
            options.tlsKey = credentials + QStringLiteral("/tls.key");
        }
        options.logRequests = qEnvironmentVariable("QUIPPET_SERVER_LOG_REQUESTS") != QLatin1String("0");
        if (qEnvironmentVariableIsSet("QUIPPET_SERVER_ELEVENLABS_URL"))
            options.config.elevenLabsUrl = QUrl(qEnvironmentVariable("QUIPPET_SERVER_ELEVENLABS_URL"));
        if (qEnvironmentVariableIsSet("QUIPPET_SERVER_GEMINI_URL"))
            options.config.geminiUrl = QUrl(qEnvironmentVariable("QUIPPET_SERVER_GEMINI_URL"));
        if (const auto interval = number(qEnvironmentVariable("QUIPPET_SERVER_POLL_INTERVAL"));
            interval && *interval > 0)
            options.config.pollInterval = int(*interval);
        Server server(clock);
        if (const auto failure = server.start(options))
            return failWith(*failure);
        std::printf("quippet-server: serving on %s (sign-in page %sdevice)\n", qPrintable(server.url().toString()),
                    qPrintable(server.url().toString()));
        if (server.store().users().isEmpty())
            std::printf("quippet-server: no users yet; add the first one with\n  %s user add you@example.com "
                        "--seconds 36000 --database %s\n",
                        qPrintable(QCoreApplication::applicationFilePath()),
                        qPrintable(QUrl(databaseUrl).toString(QUrl::RemovePassword)));
        if (options.config.elevenLabsKey.isEmpty())
            std::printf("quippet-server: no QUIPPET_SERVER_ELEVENLABS_KEY: speech tokens are refused\n");
        if (options.config.geminiKey.isEmpty())
            std::printf("quippet-server: no QUIPPET_SERVER_GEMINI_KEY: model requests are refused\n");
        std::fflush(stdout);
        stopOnSignals();
        return QCoreApplication::exec();
    }

    // The other commands work on the database directly.
    const auto url = DatabaseUrl::parse(databaseUrl);
    if (!url)
        return failWith(QStringLiteral("not a database URL (sqlite:PATH or postgresql://USER@HOST/DB)"));
    if (command == QLatin1String("backup") || command == QLatin1String("restore")) {
        if (args.positional.size() != 1)
            return failWith(command + QStringLiteral(" takes one FILE"));
        const QString file = args.positional.first();
        if (const auto failure = command == QLatin1String("backup") ? backup(*url, file) : restore(file, *url))
            return failWith(*failure);
        std::printf(command == QLatin1String("backup") ? "backed up to %s\n" : "restored %s\n", qPrintable(file));
        return 0;
    }
    const bool known =
        (command == QLatin1String("user") && args.positional.size() == 2 &&
         QStringList{QStringLiteral("add"), QStringLiteral("allow"), QStringLiteral("revoke"),
                     QStringLiteral("disable"), QStringLiteral("enable")}
             .contains(args.positional.first())) ||
        (command == QLatin1String("docs") && args.positional.size() == 2 &&
         QStringList{QStringLiteral("add"), QStringLiteral("remove")}.contains(args.positional.first())) ||
        (command == QLatin1String("usage") && args.positional.size() <= 1);
    if (!known)
        return failWith(QStringLiteral("unknown command; see quippet-server --help"));
    Database db;
    if (const auto failure = db.open(*url))
        return failWith(*failure);
    const HashCost cost = qEnvironmentVariable("QUIPPET_SERVER_HASH_COST") == QLatin1String("minimal")
                              ? HashCost::Minimal
                              : HashCost::Interactive;
    Store store(db, clock, cost);
    const QString what = args.positional.value(0);
    const QString subject = args.positional.value(1);
    std::optional<QString> failure;

    if (command == QLatin1String("user") && what == QLatin1String("add")) {
        const auto seconds =
            number(args.options.value(QStringLiteral("seconds"), QString::number(Store::kDefaultSeconds)));
        if (!seconds)
            return failWith(QStringLiteral("--seconds wants a whole number"));
        failure = store.addUser(
            subject, readPassword(), *seconds, args.options.value(QStringLiteral("tier"), QStringLiteral("pro")),
            args.options.contains(QStringLiteral("admin")) ? QStringLiteral("admin") : QStringLiteral("user"));
        if (!failure)
            std::printf("added %s with %lld s\n", qPrintable(Store::normalisedEmail(subject).value_or(subject)),
                        static_cast<long long>(*seconds));
    } else if (command == QLatin1String("user") && what == QLatin1String("allow")) {
        const auto seconds = number(args.options.value(QStringLiteral("seconds")));
        if (!seconds)
            return failWith(QStringLiteral("user allow wants --seconds N"));
        failure = store.allow(subject, *seconds);
    } else if (command == QLatin1String("user") && what == QLatin1String("revoke")) {
        failure = store.revoke(subject);
        if (!failure)
            std::printf("signed out every device of %s\n", qPrintable(subject));
    } else if (command == QLatin1String("user") &&
               (what == QLatin1String("disable") || what == QLatin1String("enable"))) {
        failure = store.setDisabled(subject, what == QLatin1String("disable"));
    } else if (command == QLatin1String("docs") && what == QLatin1String("add")) {
        QFile file(subject);
        if (!file.open(QIODevice::ReadOnly))
            return failWith(QStringLiteral("cannot read %1").arg(subject));
        if (file.size() > (16 << 20))
            return failWith(QStringLiteral("a document may have at most 16 MiB"));
        const QString name = args.options.value(QStringLiteral("name"), QFileInfo(subject).fileName());
        const QString mime = QMimeDatabase().mimeTypeForFile(subject).name();
        failure = store.addDocument(name, mime, file.readAll());
        if (!failure)
            std::printf("added document %s (%s)\n", qPrintable(name), qPrintable(mime));
    } else if (command == QLatin1String("docs") && what == QLatin1String("remove")) {
        failure = store.removeDocument(subject);
    } else {
        const QList<User> users = store.users(what);
        if (!what.isEmpty() && users.isEmpty())
            return failWith(QStringLiteral("no such user: %1").arg(what));
        std::printf("%-40s %-10s %10s %10s\n", "email", "tier", "used_s", "remaining_s");
        for (const User& user : users)
            std::printf("%-40s %-10s %10lld %10lld\n", qPrintable(user.email), qPrintable(user.tier),
                        static_cast<long long>(user.secondsUsed), static_cast<long long>(user.remaining()));
    }
    if (failure)
        return failWith(*failure);
    if (command != QLatin1String("usage"))
        store.audit(QStringLiteral("command line"), command + QLatin1Char('.') + what, subject,
                    args.options.contains(QStringLiteral("seconds"))
                        ? args.options.value(QStringLiteral("seconds")) + QStringLiteral(" s")
                        : QString());
    return 0;
}

} // namespace quippet::server
