#include "backend/ContextSync.h"

#include "core/AtomicFile.h"

#include "core/Localization.h"
#include "secrets/BackendUrl.h"
#include "secrets/Credentials.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QSet>

#include <cmath>
#include <map>

namespace quippet::ContextSync {

namespace {

constexpr int kTimeoutMs = 60'000;
// Past these an answer is refused as it arrives instead of being held whole.
constexpr qint64 kMaxListingBytes = 1 << 20;
constexpr qint64 kMaxDocumentBytes = 16 << 20;
// The user's own profile, which the assistant reads from the same folder: never the sync's to replace or remove.
const QString kProfileName = QStringLiteral("o-mnie.md");

struct RemoteDoc {
    QString name;
    QString updatedAt;
};

bool isDocument(const QJsonValue& value) {
    if (!value.isObject())
        return false;
    const QJsonObject doc = value.toObject();
    const QJsonValue size = doc.value(QLatin1String("size"));
    return doc.value(QLatin1String("name")).isString() && doc.value(QLatin1String("mime")).isString() &&
           doc.value(QLatin1String("updatedAt")).isString() && size.isDouble() &&
           size.toDouble() == std::floor(size.toDouble());
}

// The listing decodes only as a whole: every member must be an array of complete documents.
std::optional<QList<RemoteDoc>> decodeListing(const QByteArray& bytes) {
    const QJsonDocument json = QJsonDocument::fromJson(bytes);
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject root = json.object();
    for (auto it = root.begin(); it != root.end(); ++it) {
        if (!it.value().isArray())
            return std::nullopt;
        for (const QJsonValue& entry : it.value().toArray()) {
            if (!isDocument(entry))
                return std::nullopt;
        }
    }
    if (!root.contains(QLatin1String("documents")))
        return std::nullopt;
    QList<RemoteDoc> docs;
    for (const QJsonValue& entry : root.value(QLatin1String("documents")).toArray()) {
        const QJsonObject doc = entry.toObject();
        docs.append({doc.value(QLatin1String("name")).toString(), doc.value(QLatin1String("updatedAt")).toString()});
    }
    return docs;
}

std::map<QString, QString> readManifest() {
    QFile file(manifestPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonDocument json = QJsonDocument::fromJson(file.readAll());
    const QJsonValue files = json.object().value(QLatin1String("files"));
    if (!json.isObject() || !files.isObject())
        return {};
    std::map<QString, QString> manifest;
    const QJsonObject object = files.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            return {};
        manifest[it.key()] = it.value().toString();
    }
    return manifest;
}

// One pull: a chain of requests, one at a time, owned by the caller's context object.
class PullJob final : public QObject {
public:
    PullJob(QString token, NoteFn note, std::function<void()> done, QObject* parent)
        : QObject(parent), m_token(std::move(token)), m_note(std::move(note)), m_done(std::move(done)),
          m_network(new QNetworkAccessManager(this)) {}

    void start() {
        get(QStringLiteral("api/context"), kMaxListingBytes, [this](int status, const QByteArray& body) {
            const auto listing = status == 200 ? decodeListing(body) : std::nullopt;
            if (!listing) {
                finish();
                return;
            }
            m_docs = *listing;
            QDir().mkpath(contextFolder());
            m_manifest = readManifest();
            next();
        });
    }

private:
    void get(const QString& path, qint64 maxBytes, std::function<void(int status, const QByteArray& body)> handler) {
        QNetworkRequest request(appendPath(backendBaseUrl(), path));
        request.setTransferTimeout(kTimeoutMs);
        request.setRawHeader("Authorization", "Bearer " + m_token.toUtf8());
        QNetworkReply* reply = m_network->get(request);
        // Checked as the answer arrives (downloadProgress is throttled and may come only with the end).
        connect(reply, &QNetworkReply::metaDataChanged, this, [reply, maxBytes] {
            if (reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > maxBytes)
                reply->abort();
        });
        connect(reply, &QNetworkReply::readyRead, this, [reply, maxBytes] {
            if (reply->bytesAvailable() > maxBytes)
                reply->abort();
        });
        connect(reply, &QNetworkReply::finished, this, [reply, handler = std::move(handler)] {
            reply->deleteLater();
            // A transport failure, a cut transfer or one stopped at the size cap included, reads as status 0: a
            // partial body is never taken for the document.
            const bool complete = reply->error() == QNetworkReply::NoError;
            handler(complete ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0,
                    reply->readAll());
        });
    }

    // Safe names whose local path is nevertheless a symbolic link are refused too: writing through the link would
    // land outside the folder. The profile is passed over without counting as refused.
    bool accept(const QString& name) {
        if (name == kProfileName)
            return false;
        if (isSafeDocumentName(name) && !QFileInfo(localPath(name)).isSymLink())
            return true;
        m_refused.insert(name);
        return false;
    }

    static QString localPath(const QString& name) { return contextFolder() + QLatin1Char('/') + name; }

    void next() {
        while (m_index < m_docs.size()) {
            const RemoteDoc doc = m_docs.at(m_index++);
            if (!accept(doc.name))
                continue;
            const auto known = m_manifest.find(doc.name);
            const bool exists = QFileInfo::exists(localPath(doc.name));
            if (known != m_manifest.end() && known->second == doc.updatedAt && exists)
                continue;
            // A file the user put there (no manifest entry) is theirs, whatever the server holds under its name.
            if (known == m_manifest.end() && exists) {
                m_kept.insert(doc.name);
                continue;
            }
            get(QStringLiteral("api/context/") + doc.name, kMaxDocumentBytes,
                [this, doc](int status, const QByteArray& body) {
                    // A failed write keeps the old file and the old manifest entry, so the next pull tries again.
                    if (status == 200 && writeFileAtomically(localPath(doc.name), body)) {
                        m_manifest[doc.name] = doc.updatedAt;
                        ++m_changed;
                    }
                    next();
                });
            return;
        }
        removeDropped();
        QJsonObject files;
        for (const auto& [name, stamp] : m_manifest)
            files.insert(name, stamp);
        writeFileAtomically(
            manifestPath(),
            QJsonDocument(QJsonObject{{QStringLiteral("files"), files}}).toJson(QJsonDocument::Compact));
        if (!m_kept.isEmpty())
            m_note(
                QStringLiteral("kontekst: pominięto dokumenty z serwera, bo w folderze są twoje pliki o tych nazwach "
                               "(%1)")
                    .arg(m_kept.size()));
        if (!m_refused.isEmpty())
            m_note(QStringLiteral("kontekst: pominięto dokumenty o niedozwolonych nazwach (%1)").arg(m_refused.size()));
        if (m_changed >= 1)
            m_note(i18n::format("notice.contextSynced", i18n::formatNumber(m_changed)));
        finish();
    }

    void removeDropped() {
        QSet<QString> remote;
        for (const RemoteDoc& doc : std::as_const(m_docs))
            remote.insert(doc.name);
        for (auto it = m_manifest.begin(); it != m_manifest.end();) {
            if (remote.contains(it->first)) {
                ++it;
                continue;
            }
            // A hostile entry in the manifest is forgotten, never acted on.
            if (accept(it->first)) {
                QFile::remove(localPath(it->first));
                ++m_changed;
            }
            it = m_manifest.erase(it);
        }
    }

    void finish() {
        // done may destroy the context, and this job with it.
        auto done = std::move(m_done);
        deleteLater();
        if (done)
            done();
    }

    QString m_token;
    NoteFn m_note;
    std::function<void()> m_done;
    QNetworkAccessManager* m_network;
    QList<RemoteDoc> m_docs;
    qsizetype m_index = 0;
    std::map<QString, QString> m_manifest;
    QSet<QString> m_refused;
    QSet<QString> m_kept; // the user's own files of a server document's name
    int m_changed = 0;
};

} // namespace

QString contextFolder() {
    return QDir::homePath() + QStringLiteral("/quippet-context");
}

QString manifestPath() {
    return contextFolder() + QStringLiteral("/.quippet-sync.json");
}

bool isSafeDocumentName(const QString& name) {
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QChar(0))
            return false;
    }
    // Belt and braces: the resolved path must sit directly in the folder.
    const QString folder = QDir::cleanPath(contextFolder());
    return QFileInfo(QDir::cleanPath(folder + QLatin1Char('/') + name)).absolutePath() == folder;
}

void pull(Keychain& keychain, NoteFn note, QObject* context, std::function<void()> done) {
    const auto token = keychain.read(QLatin1String(Keychain::kBackendToken));
    if (!token) {
        if (done)
            done();
        return;
    }
    if (!note)
        note = [](const QString&) {};
    (new PullJob(*token, std::move(note), std::move(done), context))->start();
}

} // namespace quippet::ContextSync
