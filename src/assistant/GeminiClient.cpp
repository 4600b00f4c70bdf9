#include "assistant/GeminiClient.h"

#include "core/Localization.h"
#include "core/Settings.h"
#include "secrets/BackendUrl.h"
#include "secrets/Credentials.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <cmath>
#include <cstdio>

namespace quippet {

namespace {

constexpr int kTimeoutMs = 60'000;
constexpr qsizetype kErrorBodyLimit = 400;
// No event line and no listing comes near these; past them the answer is refused rather than held in memory.
constexpr qsizetype kMaxLineBytes = 1 << 20;
constexpr qint64 kMaxJsonBytes = 1 << 20;

QString tooLargeText() {
    return QStringLiteral("odpowiedź przekracza dopuszczalny rozmiar");
}

qint64 countField(const QJsonObject& usage, const char* key) {
    const QJsonValue value = usage.value(QLatin1String(key));
    if (!value.isDouble() || value.toDouble() != std::floor(value.toDouble()))
        return 0;
    return qint64(value.toDouble());
}

} // namespace

// One stream() call: the gate, then the model chain, one attempt at a time. Owned by the caller's context object,
// so destroying the context aborts the request and silences the callbacks.
class GeminiStream final : public QObject {
public:
    GeminiStream(GeminiClient& client, QString system, QList<LlmPart> parts, LlmClient::Callbacks callbacks,
                 QObject* context)
        : QObject(context), m_keychain(client.m_keychain), m_clock(client.m_clock), m_gate(client.m_gate),
          m_network(client.m_network.get()), m_retired(client.m_retired), m_system(std::move(system)),
          m_parts(std::move(parts)), m_callbacks(std::move(callbacks)) {}

    ~GeminiStream() override { dropReply(); }

    void admit() {
        const auto now = m_clock.monotonic();
        const auto wait = m_gate.waitTime(now);
        if (wait && wait->count() > 0) {
            status(QStringLiteral("limit zapytań — czekam %1 s").arg(std::llround(double(wait->count()) / 1000.0)));
            // Checked again on waking: another stream may have taken the slot meanwhile.
            m_clock.singleShot(*wait, this, [this] { admit(); });
            return;
        }
        m_gate.record(now);
        // Models found gone earlier are not asked again on the own-key route (while a later one remains).
        int first = 0;
        const int last = int(GeminiClient::modelChain().size()) - 1;
        if (!m_keychain.read(QLatin1String(Keychain::kBackendToken)))
            while (first < last && m_retired->contains(GeminiClient::modelChain().at(first)))
                ++first;
        attempt(first);
    }

private:
    void status(const QString& line) {
        if (m_callbacks.onStatus)
            m_callbacks.onStatus(line);
    }

    void attempt(int index) {
        m_index = index;
        m_model = GeminiClient::modelChain().at(index);
        m_buffer.clear();
        m_errorBody.clear();
        m_status = 0;
        m_usage.reset();
        m_ended = false;

        QNetworkRequest request;
        QByteArray body;
        // Signed-in users go through the proxy, which holds the provider key; their own key is not needed.
        m_direct = false;
        if (const auto token = m_keychain.read(QLatin1String(Keychain::kBackendToken))) {
            request.setUrl(appendPath(backendBaseUrl(), QStringLiteral("api/llm")));
            request.setRawHeader("Authorization", "Bearer " + token->toUtf8());
            body = GeminiClient::requestBody(m_system, m_parts, m_model);
        } else {
            const auto key = m_keychain.read(QLatin1String(Keychain::kGeminiKey));
            if (!key) {
                fail(GeminiClient::noKeyText());
                return;
            }
            // Percent-encoded: a key with characters a query may not hold would otherwise make the address invalid.
            request.setUrl(QUrl(GeminiClient::baseUrl().toString() + QStringLiteral("/v1beta/models/") + m_model +
                                QStringLiteral(":streamGenerateContent?alt=sse&key=") +
                                QString::fromLatin1(QUrl::toPercentEncoding(*key))));
            body = GeminiClient::requestBody(m_system, m_parts, std::nullopt);
            m_direct = true;
        }
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        request.setTransferTimeout(kTimeoutMs);
        if (!m_network) {
            fail(QStringLiteral("Gemini: klient został zamknięty"));
            return;
        }
        m_reply = m_network->post(request, body);
        connect(m_reply, &QNetworkReply::readyRead, this, [this] { onData(); });
        connect(m_reply, &QNetworkReply::finished, this, [this] { onFinished(); });
    }

    int replyStatus() const {
        const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        return status.isValid() ? status.toInt() : -1;
    }

    void onData() {
        if (m_status == 0)
            m_status = replyStatus();
        if (m_status != 200) {
            collectErrorBody(m_reply->readAll());
            if (m_errorBody.size() > kErrorBodyLimit) {
                const int status = m_status;
                dropReply();
                attemptFailed(status);
            }
            return;
        }
        m_buffer += m_reply->readAll();
        QPointer<GeminiStream> alive(this);
        qsizetype start = 0;
        for (;;) {
            const qsizetype end = m_buffer.indexOf('\n', start);
            if (end < 0 || end - start > kMaxLineBytes)
                break;
            handleLine(QByteArrayView(m_buffer).sliced(start, end - start));
            if (!alive)
                return;
            start = end + 1;
        }
        m_buffer.remove(0, start);
        // What is left begins with an unfinished line, or with one that was too long to handle.
        if (m_buffer.size() > kMaxLineBytes) {
            dropReply();
            fail(QStringLiteral("Gemini: ") + tooLargeText());
        }
    }

    // The error body is read line by line and kept without separators, just beyond the first 400 characters.
    void collectErrorBody(const QByteArray& bytes) {
        QByteArray text = bytes;
        text.replace('\r', QByteArray()).replace('\n', QByteArray());
        m_errorBody += text;
    }

    void handleLine(QByteArrayView line) {
        GeminiClient::StreamEvent event = GeminiClient::readEvent(line);
        if (event.usage)
            m_usage = std::move(event.usage);
        if (event.last)
            m_ended = true;
        QPointer<GeminiStream> alive(this);
        for (const QString& text : event.texts) {
            if (!m_callbacks.onChunk)
                return;
            m_callbacks.onChunk(text);
            if (!alive)
                return;
        }
    }

    void onFinished() {
        if (!m_reply)
            return;
        if (m_status == 0)
            m_status = replyStatus();
        QPointer<GeminiStream> alive(this);
        onData();
        if (!alive || !m_reply)
            return;
        const int status = m_status;
        const QNetworkReply::NetworkError error = m_reply->error();
        const QString errorText = m_reply->errorString();
        // The last line may come without a line feed.
        if (status == 200 && !m_buffer.isEmpty()) {
            const QByteArray rest = std::exchange(m_buffer, {});
            handleLine(rest);
            if (!alive)
                return;
        }
        dropReply();
        if (error != QNetworkReply::NoError && (status == 200 || status == -1)) {
            // Text already delivered stays with the caller; the failure is still reported.
            fail(QStringLiteral("Gemini: ") + errorText);
            return;
        }
        // An HTTP refusal, or an answer that was no HTTP at all although nothing failed on the way.
        if (status != 200) {
            attemptFailed(status);
            return;
        }
        // A connection cut short may look like a clean end to the network layer (an unterminated chunked body is
        // not always reported), so only the answer's own last event makes it complete.
        if (!m_ended) {
            fail(QStringLiteral("Gemini: odpowiedź urwała się przed końcem"));
            return;
        }
        if (m_usage)
            std::fputs(GeminiClient::usageLine(m_model, *m_usage).toUtf8().constData(), stderr);
        finish(std::nullopt);
    }

    void attemptFailed(int httpStatus) {
        const QString body = QString::fromUtf8(m_errorBody);
        const int last = int(GeminiClient::modelChain().size()) - 1;
        if (httpStatus == 429 && m_index < last) {
            status(QStringLiteral("limit na ") + m_model + QStringLiteral(" — próbuję model zapasowy"));
            attempt(m_index + 1);
            return;
        }
        // A model the provider has retired is gone for this key; the next one in the chain still answers.
        if (httpStatus == 404 && m_direct && m_index < last) {
            m_retired->insert(m_model);
            status(QStringLiteral("brak modelu ") + m_model + QStringLiteral(" — próbuję model zapasowy"));
            attempt(m_index + 1);
            return;
        }
        fail(GeminiClient::httpFailureText(httpStatus, body));
    }

    void dropReply() {
        if (!m_reply)
            return;
        QNetworkReply* reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(this);
        if (reply->isRunning())
            reply->abort();
        reply->deleteLater();
    }

    void fail(const QString& description) { finish(description); }

    void finish(const std::optional<QString>& error) {
        if (m_done)
            return;
        m_done = true;
        auto onDone = m_callbacks.onDone;
        deleteLater();
        if (onDone)
            onDone(error);
    }

    // What the stream needs from its client, held directly: the client may go before the stream ends.
    Keychain& m_keychain;
    Clock& m_clock;
    RateGate& m_gate;
    QPointer<QNetworkAccessManager> m_network;
    std::shared_ptr<QSet<QString>> m_retired; // shared with the client
    QString m_system;
    QList<LlmPart> m_parts;
    LlmClient::Callbacks m_callbacks;

    int m_index = 0;
    QString m_model;
    QPointer<QNetworkReply> m_reply;
    int m_status = 0; // 0 until the answer's head is known; -1 when the answer was not HTTP
    QByteArray m_buffer;
    QByteArray m_errorBody;
    std::optional<QJsonObject> m_usage;
    bool m_ended = false; // the answer's last event has arrived
    bool m_done = false;
    bool m_direct = false; // this attempt goes to the provider with the user's own key
};

QStringList GeminiClient::modelChain() {
    return {QString::fromLatin1(kModel), QStringLiteral("gemini-flash-lite-latest"),
            QStringLiteral("gemini-2.5-flash-lite")};
}

GeminiClient::GeminiClient(Keychain& keychain, Clock& clock, RateGate& gate)
    : m_keychain(keychain), m_clock(clock), m_gate(gate), m_network(std::make_unique<QNetworkAccessManager>()) {}

GeminiClient::~GeminiClient() = default;

QUrl GeminiClient::baseUrl() {
    QString text = Settings::string(Settings::kGeminiBaseUrl).value_or(QString());
    if (text.isEmpty())
        text = QStringLiteral("https://generativelanguage.googleapis.com");
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    return QUrl(text);
}

void GeminiClient::stream(const QString& systemInstruction, const QList<LlmPart>& parts, Callbacks callbacks,
                          QObject* context) {
    (new GeminiStream(*this, systemInstruction, parts, std::move(callbacks), context))->admit();
}

void GeminiClient::verify(std::function<void(std::variant<QStringList, QString>)> done, QObject* context) {
    const auto key = m_keychain.read(QLatin1String(Keychain::kGeminiKey));
    if (!key) {
        done(noKeyText());
        return;
    }
    QNetworkRequest request(QUrl(baseUrl().toString() + QStringLiteral("/v1beta/models?pageSize=1000&key=") +
                                 QString::fromLatin1(QUrl::toPercentEncoding(*key))));
    request.setTransferTimeout(kTimeoutMs);
    QNetworkReply* reply = m_network->get(request);
    auto tooLarge = std::make_shared<bool>(false);
    // Checked as the answer arrives (downloadProgress is throttled and may come only with the end).
    const auto cap = [reply, tooLarge](qint64 size) {
        if (size > kMaxJsonBytes) {
            *tooLarge = true;
            reply->abort();
        }
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, context,
                     [reply, cap] { cap(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()); });
    QObject::connect(reply, &QNetworkReply::readyRead, context, [reply, cap] { cap(reply->bytesAvailable()); });
    QObject::connect(reply, &QNetworkReply::finished, context, [reply, tooLarge, done = std::move(done)] {
        reply->deleteLater();
        if (*tooLarge) {
            done(tooLargeText()); // the keys window puts "Gemini: " in front
            return;
        }
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid()) {
            done(i18n::format("keys.gemini.unreachable", reply->errorString()));
            return;
        }
        const QByteArray body = reply->readAll();
        if (status.toInt() != 200) {
            done(listingFailureText(status.toInt(), QString::fromUtf8(body)));
            return;
        }
        QStringList names;
        for (const QJsonValue& model :
             QJsonDocument::fromJson(body).object().value(QLatin1String("models")).toArray()) {
            const QJsonValue name = model.toObject().value(QLatin1String("name"));
            if (name.isString())
                names.append(name.toString().remove(QStringLiteral("models/")));
        }
        done(names);
    });
}

std::optional<QString> GeminiClient::humanMessage(const QByteArray& body) {
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    const QJsonValue code = doc.object().value(QLatin1String("error"));
    if (!doc.isObject() || !code.isString())
        return std::nullopt;
    static const std::pair<const char*, const char*> table[] = {
        {"free_session_limit", "session.freeLimit"},
        {"insufficient_credit", "session.error.noCredit"},
        {"no_open_session", "session.error.notOpen"},
        {"unauthorized", "session.error.signedOut"},
    };
    for (const auto& [known, key] : table) {
        if (code.toString() == QLatin1String(known))
            return i18n::text(key);
    }
    return std::nullopt;
}

QString GeminiClient::noKeyText() {
    return QStringLiteral(
        "brak klucza Gemini — secret-tool store --label=Gemini service gemini-api-key account chatrelo");
}

QString GeminiClient::listingFailureText(int status, const QString& body) {
    // The API answers a bad key with 400 API_KEY_INVALID, a key from a country it does not serve with 400
    // FAILED_PRECONDITION, a key without access with 403.
    if (body.contains(QLatin1String("location is not supported"), Qt::CaseInsensitive))
        return i18n::text("keys.gemini.region");
    if (status == 401 || status == 403 || body.contains(QLatin1String("API_KEY_INVALID")) ||
        body.contains(QLatin1String("API key not valid"), Qt::CaseInsensitive))
        return i18n::text("keys.gemini.refused");
    if (status == 429)
        return i18n::text("keys.gemini.quota");
    return httpFailureText(status, body);
}

QString GeminiClient::httpFailureText(int status, const QString& body) {
    if (const auto human = humanMessage(body.toUtf8()))
        return *human;
    return QStringLiteral("Gemini HTTP %1: %2").arg(status).arg(body.left(160));
}

QString GeminiClient::usageLine(const QString& model, const QJsonObject& usage) {
    const qint64 prompt = countField(usage, "promptTokenCount");
    const qint64 cached = countField(usage, "cachedContentTokenCount");
    const qint64 percent = prompt == 0 ? 0 : cached * 100 / prompt;
    return QStringLiteral("[gemini] %1 in=%2 cache=%3 (%4%) think=%5 out=%6\n")
        .arg(model)
        .arg(prompt)
        .arg(cached)
        .arg(percent)
        .arg(countField(usage, "thoughtsTokenCount"))
        .arg(countField(usage, "candidatesTokenCount"));
}

QByteArray GeminiClient::requestBody(const QString& systemInstruction, const QList<LlmPart>& parts,
                                     const std::optional<QString>& model) {
    QJsonArray content;
    for (const LlmPart& part : parts) {
        if (part.text)
            content.append(QJsonObject{{QStringLiteral("text"), *part.text}});
        if (part.imageJpeg)
            content.append(
                QJsonObject{{QStringLiteral("inline_data"),
                             QJsonObject{{QStringLiteral("mime_type"), QStringLiteral("image/jpeg")},
                                         {QStringLiteral("data"), QString::fromLatin1(part.imageJpeg->toBase64())}}}});
    }
    QJsonObject body{
        {QStringLiteral("contents"),
         QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")}, {QStringLiteral("parts"), content}}}},
        {QStringLiteral("system_instruction"),
         QJsonObject{{QStringLiteral("parts"), QJsonArray{QJsonObject{{QStringLiteral("text"), systemInstruction}}}}}},
        {QStringLiteral("generationConfig"),
         QJsonObject{{QStringLiteral("temperature"), 0.8},
                     {QStringLiteral("maxOutputTokens"), 4000},
                     {QStringLiteral("thinkingConfig"),
                      QJsonObject{{QStringLiteral("thinkingLevel"), QStringLiteral("low")}}}}},
    };
    if (model)
        body.insert(QStringLiteral("model"), *model);
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

GeminiClient::StreamEvent GeminiClient::readEvent(QByteArrayView line) {
    StreamEvent result;
    if (line.endsWith('\r'))
        line.chop(1);
    if (!line.startsWith("data: "))
        return result;
    const QJsonDocument doc = QJsonDocument::fromJson(line.sliced(6).toByteArray());
    if (!doc.isObject())
        return result;
    const QJsonObject event = doc.object();
    const QJsonValue usage = event.value(QLatin1String("usageMetadata"));
    if (usage.isObject())
        result.usage = usage.toObject();
    const QJsonObject candidate = event.value(QLatin1String("candidates")).toArray().first().toObject();
    // The answer's last event says why it ends: the model finished (finishReason), or the prompt was refused.
    result.last = !candidate.value(QLatin1String("finishReason")).toString().isEmpty() ||
                  event.value(QLatin1String("promptFeedback")).toObject().contains(QLatin1String("blockReason"));
    const QJsonArray parts =
        candidate.value(QLatin1String("content")).toObject().value(QLatin1String("parts")).toArray();
    for (const QJsonValue& part : parts) {
        const QJsonValue text = part.toObject().value(QLatin1String("text"));
        if (text.isString() && !text.toString().isEmpty())
            result.texts.append(text.toString());
    }
    return result;
}

} // namespace quippet
