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

using namespace quippet::test;

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
        SttPeer::Hearing hearing;
        hearing.spokenNow = [file = QString::fromLocal8Bit(argv[2])] {
            QFile f(file);
            return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
        };
        hearing.commitSilenceMs = argc > 3 ? std::atoi(argv[3]) : 1500;
        stt.setHearing(std::move(hearing));
    } else if (argc > 1 && QByteArray(argv[1]) == "voice")
        stt.setVoiceReplies({QStringLiteral("Ile kosztuje wdrożenie u nas, pytanie %2 na kanale %1?"),
                             QStringLiteral("Rozumiem, a jak długo to trwa, pytanie %2 na kanale %1?")});
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
