// The loopback services a whole-program measurement runs against (bench/listening.sh): the backend (which takes the
// token "bench-token" and confirms every device sign-in at once), the language model behind it, and the
// speech-to-text service, which answers each connection's audio with a partial transcript every second and a
// committed one (a statement, so no automatic answer starts) every fourth second; and the speech service's REST side,
// which hands a quippet-server single-use tokens the speech-to-text peer then takes ("sk_server" is its key). Prints
// "backend URL", "llm URL", "stt URL" and "sttapi URL" lines, then serves until killed.
#include "peers/BackendPeer.h"
#include "peers/HttpPeer.h"
#include "peers/LlmPeer.h"
#include "peers/SttPeer.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <functional>

using namespace quippet::test;

namespace {

constexpr qsizetype kBytesPerMs = 96; // 48 kHz mono 16-bit

bool loud(const QByteArray& audio) {
    const auto* samples = reinterpret_cast<const qint16*>(audio.constData());
    const qsizetype n = audio.size() / 2;
    double sum = 0;
    for (qsizetype i = 0; i < n; ++i)
        sum += double(samples[i]) * samples[i];
    return n > 0 && sum / double(n) > 327.68 * 327.68; // -40 dBFS
}

QJsonObject message(const QString& type, const QString& text) {
    return {{QStringLiteral("message_type"), type}, {QStringLiteral("text"), text}};
}

// What a voice-activity service does. Each stretch of speech in a connection's audio (louder than -40 dBFS) gets a
// partial transcript every second and, once 0.6 s of quiet follows it, a committed one: the next of `texts` in turn,
// with %1 replaced by the connection's number and %2 by the stretch's.
class VoiceReplies {
public:
    VoiceReplies(SttPeer& peer, QStringList texts) : m_peer(peer), m_texts(std::move(texts)) {}

    void operator()(int index, const QByteArray& audio) {
        constexpr qsizetype kSecond = 1000 * kBytesPerMs;
        Voice& v = m_voices[index];
        if (loud(audio)) {
            if (v.speech / kSecond != (v.speech + audio.size()) / kSecond)
                m_peer.sendTo(index, message(QStringLiteral("partial_transcript"), QStringLiteral("…")));
            v.speech += audio.size();
            v.quiet = 0;
            return;
        }
        if (v.speech == 0)
            return;
        v.quiet += audio.size();
        if (v.quiet < kSecond * 6 / 10)
            return;
        m_peer.sendTo(index, message(QStringLiteral("committed_transcript"),
                                     m_texts.at(v.replies % m_texts.size())
                                         .arg(QString::number(index + 1), QString::number(v.replies + 1))));
        v = Voice{0, 0, v.replies + 1};
    }

private:
    struct Voice {
        qsizetype speech = 0, quiet = 0; // bytes of the current stretch of speech and of the quiet after it
        int replies = 0;
    };
    SttPeer& m_peer;
    QStringList m_texts;
    QHash<int, Voice> m_voices;
};

// A service that hears speech and knows its words. Each stretch of speech (louder than -40 dBFS, apart from the one
// before by at least `gapMs` of quiet) is what `spokenNow` names at its start ("id<TAB>text"; a stretch of the same id
// continues it). While speech lasts, a partial transcript every `partialMs` reveals the words so far (one per 300 ms of
// speech), a pause of `gapMs` reveals them all, and once the connection's commit silence of quiet follows (its
// "vad_silence_threshold_secs", else `commitSilenceMs`) the stretches heard since the last commit are committed as
// one text.
class Hearing {
public:
    Hearing(SttPeer& peer, std::function<QString()> spokenNow, int commitSilenceMs)
        : m_peer(peer), m_spokenNow(std::move(spokenNow)), m_commitSilenceMs(commitSilenceMs) {}

    void operator()(int index, const QByteArray& audio) {
        Heard& h = m_heard[index];
        const auto say = [&](const char* type, const QString& text) {
            if (!text.isEmpty())
                m_peer.sendTo(index, message(QLatin1String(type), text));
        };
        if (loud(audio)) {
            if (h.texts.isEmpty() || h.quiet >= kGapMs * kBytesPerMs) {
                // A stretch of an id already committed (its tail after a short commit silence) is not heard again.
                const QString now = m_spokenNow();
                const QString id = now.section(QLatin1Char('\t'), 0, 0);
                if (id != h.lastId) {
                    h.lastId = id;
                    h.texts.append(now.section(QLatin1Char('\t'), 1));
                    h.speech = 0;
                }
            }
            h.speech += audio.size();
            h.sincePartial += audio.size();
            h.quiet = 0;
            h.revealed = false;
            if (h.sincePartial >= kPartialMs * kBytesPerMs) {
                h.sincePartial = 0;
                say("partial_transcript", heardText(h, false));
            }
            return;
        }
        if (h.texts.isEmpty())
            return;
        h.quiet += audio.size();
        if (!h.revealed && h.quiet >= kGapMs * kBytesPerMs) {
            h.revealed = true;
            say("partial_transcript", heardText(h, true));
        }
        const QString asked =
            m_peer.connections().at(index).query().queryItemValue(QStringLiteral("vad_silence_threshold_secs"));
        const int silenceMs = asked.isEmpty() ? m_commitSilenceMs : int(asked.toDouble() * 1000);
        if (h.quiet < silenceMs * kBytesPerMs)
            return;
        say("committed_transcript", heardText(h, true));
        h = Heard{{}, h.lastId};
    }

private:
    static constexpr int kPartialMs = 500;
    static constexpr int kGapMs = 300;
    struct Heard {
        QStringList texts;               // the stretches since the last commit
        QString lastId;                  // of the newest stretch, committed or not
        qsizetype speech = 0, quiet = 0; // bytes of the current stretch and of the quiet after it
        qsizetype sincePartial = 0;
        bool revealed = true; // the last partial held every word heard
    };
    static QString heardText(const Heard& h, bool all) {
        QStringList words;
        for (qsizetype i = 0; i < h.texts.size(); ++i) {
            QStringList w = h.texts.at(i).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            if (!all && i == h.texts.size() - 1)
                w = w.mid(0, std::max<qsizetype>(1, h.speech / kBytesPerMs / 300));
            words += w;
        }
        return words.join(QLatin1Char(' '));
    }
    SttPeer& m_peer;
    std::function<QString()> m_spokenNow;
    int m_commitSilenceMs;
    QHash<int, Heard> m_heard;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    LlmPeer llm;
    QStringList answer;
    for (int i = 0; i < 40; ++i)
        answer << QStringLiteral("Fragment %1 odpowiedzi: wdrożenie trwa **sześć tygodni**, a koszt zależy od "
                                 "liczby stanowisk. ")
                      .arg(i + 1);
    const bool questions = argc > 2 && QByteArray(argv[1]) == "questions";
    LlmScript reply = LlmScript::reply(answer);
    if (questions) {
        reply = LlmScript::reply({QStringLiteral("Wdrożenie trwa zwykle "), QStringLiteral("sześć tygodni, "),
                                  QStringLiteral("a koszt zależy "), QStringLiteral("od liczby "),
                                  QStringLiteral("stanowisk.")});
        reply.firstDelayMs = argc > 4 ? std::atoi(argv[4]) : 400;
        reply.delayMs = 40;
    }
    for (const char* model : {"gemini-flash-latest", "gemini-flash-lite-latest", "gemini-2.5-flash-lite"})
        llm.script(QLatin1String(model), reply);
    BackendPeer backend;
    backend.setLlm(&llm);
    backend.addToken(QStringLiteral("bench-token"));
    backend.account().secondsRemaining = 36000;
    backend.account().maxSeconds = 36000;
    SttPeer stt;
    stt.setApiKey(QStringLiteral("sk_bench"));
    stt.setTokenPrefix(QStringLiteral("stt-"));
    constexpr qsizetype kSecond = 96000; // 48 kHz mono 16-bit
    QList<SttPeer::Step> script;
    for (int s = 1; s <= 3600; ++s) {
        const bool commit = s % 4 == 0;
        script.append({s * kSecond,
                       commit ? QStringLiteral("committed_transcript") : QStringLiteral("partial_transcript"),
                       commit ? QStringLiteral("Zdanie numer %1 jest jasne.").arg(s / 4)
                              : QStringLiteral("Zdanie numer %1").arg(s / 4 + 1)});
    }
    // "voice": transcripts follow the speech in the audio instead of the clock (bench/practice.sh).
    if (questions) {
        const auto spokenNow = [file = QString::fromLocal8Bit(argv[2])] {
            QFile f(file);
            return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
        };
        stt.setAudioListener(Hearing(stt, spokenNow, argc > 3 ? std::atoi(argv[3]) : 1500));
    } else if (argc > 1 && QByteArray(argv[1]) == "voice")
        stt.setAudioListener(
            VoiceReplies(stt, {QStringLiteral("Ile kosztuje wdrożenie u nas, pytanie %2 na kanale %1?"),
                               QStringLiteral("Rozumiem, a jak długo to trwa, pytanie %2 na kanale %1?")}));
    else
        stt.setScript(script);
    HttpPeer sttApi;
    int tokens = 0;
    sttApi.route("POST", QStringLiteral("/v1/single-use-token/realtime_scribe"), [&tokens](const HttpRequest& r) {
        if (r.header("xi-api-key") != "sk_server")
            return HttpResponse::json(401, R"({"detail":{"status":"invalid_api_key"}})");
        return HttpResponse::json(200, QByteArray(R"({"token":"stt-srv-)") + QByteArray::number(++tokens) + "\"}");
    });
    if (!llm.start() || !backend.start() || !stt.start() || !sttApi.start()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    // The model requests so far, whenever their number changes (bench/question.sh counts the extra ones).
    QTimer counter;
    qsizetype counted = 0;
    QObject::connect(&counter, &QTimer::timeout, &llm, [&llm, &counted] {
        if (llm.modelsRequested().size() == counted)
            return;
        counted = llm.modelsRequested().size();
        std::printf("requests %lld\n", static_cast<long long>(counted));
        std::fflush(stdout);
    });
    if (questions)
        counter.start(100);
    QTimer confirm;
    QObject::connect(&confirm, &QTimer::timeout, &backend, [&backend] { backend.confirm(); });
    confirm.start(300);
    std::printf("backend %s\nllm %s\nstt %s\nsttapi %s\n", qPrintable(backend.baseUrl().toString()),
                qPrintable(llm.baseUrl().toString()), qPrintable(stt.baseUrl().toString()),
                qPrintable(sttApi.baseUrl().toString()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
