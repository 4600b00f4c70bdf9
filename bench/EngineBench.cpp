// Prompter-engine hot paths: building a suggestion request over a full context folder, writing the note of a long
// conversation, loading a large history index.
#include "assistant/Assistant.h"
#include "records/SessionStore.h"
#include "speech/TranscriptBuffer.h"
#include "support/ManualClock.h"
#include "support/PdfWriter.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace quippet;

namespace {

class NullLlm final : public LlmClient {
public:
    void stream(const QString&, const QList<LlmPart>&, Callbacks, QObject*) override {}
};

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

// A multi-page text PDF (Helvetica, ASCII) with about `pages` × 1500 characters.
QByteArray makePdf(int pages) {
    QList<QByteArray> contents;
    for (int p = 0; p < pages; ++p) {
        QByteArray content = "BT /F1 9 Tf 40 800 Td 11 TL\n";
        for (int line = 0; line < 25; ++line)
            content += "(Pakiet " + QByteArray::number(p * 25 + line) +
                       " obejmuje wdrozenie, szkolenie i wsparcie przez 12 miesiecy.) '\n";
        contents << content + "ET";
    }
    return test::pdfFromPages(contents);
}

void BM_BuildSuggestRequest(benchmark::State& state) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    const QDir folder(home.filePath(QStringLiteral("quippet-context")));
    QDir().mkpath(folder.path());
    writeFile(folder.filePath(QStringLiteral("o-mnie.md")),
              QString(6000, QChar(u'ż')).toUtf8()); // exactly the profile limit, all two-byte letters
    for (int i = 0; i < 15; ++i) {
        QString doc;
        while (doc.size() < 9000)
            doc += QStringLiteral("Cennik %1: pakiet Pro kosztuje 120 zł miesięcznie, wdrożenie 2 tygodnie.\n").arg(i);
        writeFile(folder.filePath(QStringLiteral("dokument-%1.md").arg(i, 2, 10, QLatin1Char('0'))), doc.toUtf8());
    }
    for (int i = 0; i < 5; ++i)
        writeFile(folder.filePath(QStringLiteral("oferta-%1.pdf").arg(i)), makePdf(6));

    ManualClock clock;
    TranscriptBuffer transcript(clock);
    for (int i = 0; i < 60; ++i) {
        clock.advance(std::chrono::seconds(9));
        transcript.add(i % 2 ? Utterance::Speaker::Me : Utterance::Speaker::Client,
                       QStringLiteral("Wypowiedź numer %1 o cenach i terminach wdrożenia?").arg(i), true);
    }
    NullLlm llm;
    Assistant assistant(transcript, llm, clock, {});
    assistant.setSessionHeader(QStringLiteral("Firma klienta: Acme\nCharakter rozmowy: handlowa"));
    // The PDFs' text is extracted aside when the context is loaded.
    while (assistant.documents().pdfExtractionsRunning() > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    for (auto _ : state) {
        QString system = assistant.systemInstruction(PromptStyle::Suggest);
        QString user = Prompts::answerPrompt(transcript.context(Assistant::kAnswerUtterances));
        benchmark::DoNotOptimize(system);
        benchmark::DoNotOptimize(user);
    }
    state.counters["systemChars"] = double(assistant.systemInstruction(PromptStyle::Suggest).size());
}
BENCHMARK(BM_BuildSuggestRequest)->Unit(benchmark::kMillisecond);

void BM_WriteLongNote(benchmark::State& state) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    ManualClock clock;
    TranscriptBuffer transcript(clock);
    // About three hours: 2000 utterances, alternating speakers.
    for (int i = 0; i < 2000; ++i) {
        clock.advance(std::chrono::milliseconds(5400));
        transcript.add(i % 2 ? Utterance::Speaker::Me : Utterance::Speaker::Client,
                       QStringLiteral("To jest wypowiedź numer %1, w której pada kilka zdań o ofercie, cenie i "
                                      "terminie wdrożenia systemu.")
                           .arg(i),
                       true);
    }
    const QString whole = transcript.context(std::numeric_limits<qsizetype>::max());
    const QString summary(3000, QLatin1Char('s'));
    SessionStore store(clock);
    for (auto _ : state) {
        const auto result = store.finish(whole, summary);
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        store.remove(store.history().first());
        state.ResumeTiming();
    }
    state.counters["noteKiB"] = double(whole.toUtf8().size()) / 1024.0;
}
BENCHMARK(BM_WriteLongNote)->Unit(benchmark::kMillisecond);

void BM_LoadHistoryIndex(benchmark::State& state) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    ManualClock clock;
    QList<SessionMeta> entries;
    for (int i = 0; i < 10'000; ++i) {
        SessionMeta meta = SessionMeta::fresh(clock.now().addSecs(qint64(i) * 3600 * (i % 2 ? 1 : -1)));
        meta.name = QStringLiteral("Klient %1").arg(i);
        meta.company = QStringLiteral("Firma %1 sp. z o.o.").arg(i % 300);
        meta.topic = QStringLiteral("Wdrożenie CRM");
        meta.endedAt = meta.startedAt.addSecs(1800);
        meta.summaryFile = meta.fileSlug() + QStringLiteral(".md");
        entries << meta;
    }
    QDir().mkpath(SessionStore::folderPath());
    writeFile(SessionStore::indexPath(), SessionStore::encodeIndex(entries));
    for (auto _ : state) {
        SessionStore store(clock);
        benchmark::DoNotOptimize(store.history().size());
        if (store.history().size() != entries.size())
            state.SkipWithError("index did not load");
    }
}
BENCHMARK(BM_LoadHistoryIndex)->Unit(benchmark::kMillisecond);

} // namespace
