// The transcript's hot path: add() runs for every partial and commit of both channels; context(40) builds every
// prompt. Measured with 10 000 utterances already present.
#include "core/Localization.h"
#include "speech/TranscriptBuffer.h"
#include "support/ManualClock.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

using namespace quippet;
using namespace std::chrono_literals;

namespace {

void fill(TranscriptBuffer& buffer, ManualClock& clock, int count) {
    for (int i = 0; i < count; ++i) {
        buffer.add(i % 2 ? Utterance::Speaker::Me : Utterance::Speaker::Client,
                   QStringLiteral("Wypowiedź numer %1 o cenie wdrożenia i terminach płatności").arg(i), true);
        clock.advance(9s);
    }
}

void BM_AddCommitted(benchmark::State& state) {
    ManualClock clock;
    TranscriptBuffer buffer(clock);
    fill(buffer, clock, 10'000);
    const QString client = QStringLiteral("Czy możemy porozmawiać o cenie wdrożenia w przyszłym kwartale?");
    const QString me = QStringLiteral("Tak, wdrożenie zajmie około sześciu tygodni od podpisania umowy.");
    int i = 0;
    for (auto _ : state) {
        // Alternating speakers, 9 s apart: each commit exercises the echo test and appends a new utterance.
        buffer.add(i % 2 ? Utterance::Speaker::Me : Utterance::Speaker::Client, i % 2 ? me : client, true);
        clock.advance(9s);
        ++i;
    }
}
BENCHMARK(BM_AddCommitted);

void BM_AddPartial(benchmark::State& state) {
    ManualClock clock;
    TranscriptBuffer buffer(clock);
    fill(buffer, clock, 10'000);
    const QString partial = QStringLiteral("Czy możemy porozmawiać o cenie");
    for (auto _ : state)
        buffer.add(Utterance::Speaker::Client, partial, false);
}
BENCHMARK(BM_AddPartial);

void BM_Context40(benchmark::State& state) {
    ManualClock clock;
    TranscriptBuffer buffer(clock);
    fill(buffer, clock, 10'000);
    for (auto _ : state)
        benchmark::DoNotOptimize(buffer.context(40));
}
BENCHMARK(BM_Context40);

} // namespace
