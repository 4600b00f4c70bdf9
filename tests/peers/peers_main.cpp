// quippet-peers: the test peers as one program for manual runs. Point the app at them with
//   QUIPPET_BACKEND=http://127.0.0.1:<backend port>  and the "geminiBaseURL" preference for the model peer.
// Confirm a sign-in with:  curl -X POST http://127.0.0.1:<backend port>/control/confirm
#include "peers/BackendPeer.h"
#include "peers/LlmPeer.h"
#include "peers/SttPeer.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Loopback stand-ins for the Quippet backend and the model API"));
    parser.addHelpOption();
    QCommandLineOption backendPort(QStringLiteral("backend-port"), QStringLiteral("Backend port (0: any)"),
                                   QStringLiteral("port"), QStringLiteral("8787"));
    QCommandLineOption llmPort(QStringLiteral("llm-port"), QStringLiteral("Model API port (0: any)"),
                               QStringLiteral("port"), QStringLiteral("8788"));
    QCommandLineOption key(QStringLiteral("gemini-key"), QStringLiteral("Key the model API accepts"),
                           QStringLiteral("key"), QStringLiteral("test-key"));
    parser.addOptions({backendPort, llmPort, key});
    // Speech-to-text: set the "elevenLabsBaseURL" preference to the printed address.
    QCommandLineOption sttPort(QStringLiteral("stt-port"), QStringLiteral("Speech-to-text port (0: any)"),
                               QStringLiteral("port"), QStringLiteral("8789"));
    QCommandLineOption sttKey(QStringLiteral("elevenlabs-key"), QStringLiteral("Key the speech-to-text peer accepts"),
                              QStringLiteral("key"), QStringLiteral("sk_test"));
    parser.addOptions({sttPort, sttKey});
    parser.process(app);

    quippet::test::LlmPeer llm;
    llm.setKey(parser.value(key));
    llm.script(QStringLiteral("gemini-flash-latest"),
               quippet::test::LlmScript::reply({QStringLiteral("Dzień dobry, "), QStringLiteral("to odpowiedź "),
                                                QStringLiteral("z lokalnego modelu.")},
                                               quippet::test::LlmPeer::usage(1200, 600, 40, 12)));
    quippet::test::BackendPeer backend;
    backend.setLlm(&llm);
    if (!llm.start(quint16(parser.value(llmPort).toUInt())) ||
        !backend.start(quint16(parser.value(backendPort).toUInt()))) {
        std::fprintf(stderr, "quippet-peers: cannot listen\n");
        return 1;
    }
    std::printf("backend %s\nllm %s\n", qPrintable(backend.baseUrl().toString()), qPrintable(llm.baseUrl().toString()));
    quippet::test::SttPeer stt;
    stt.setApiKey(parser.value(sttKey));
    stt.setTokenPrefix(QStringLiteral("stt-")); // tokens the backend peer hands out
    stt.setScript(quippet::test::SttPeer::demoScript());
    if (!stt.start(quint16(parser.value(sttPort).toUInt()))) {
        std::fprintf(stderr, "quippet-peers: cannot listen for speech-to-text\n");
        return 1;
    }
    std::printf("stt %s\n", qPrintable(stt.baseUrl().toString()));
    std::fflush(stdout);
    return app.exec();
}
