// The answer card while a reply streams in: from a fragment's arrival at the assistant to its text painted in the
// card, for a 4 000-character answer (prose with Markdown, a code block, more prose) cut into fragments the size the
// model's stream delivers. Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include "support/PanelWorld.h"
#include "ui/AnswerPanel.h"
#include "ui/OverlayPanel.h"
#include "ui/RootView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <vector>

using namespace quippet;

namespace {

QString longAnswer() {
    QString text;
    int paragraph = 0;
    while (text.size() < 1800)
        text += QStringLiteral("Akapit %1: **najważniejsze** jest to, że wdrożenie trwa *około sześciu tygodni*, "
                               "a koszt zależy od liczby stanowisk i modułów. ")
                    .arg(++paragraph) +
                (paragraph % 3 == 0 ? QStringLiteral("\n\n") : QString());
    text += QStringLiteral("\n\n```python\n");
    for (int i = 0; i < 12; ++i)
        text += QStringLiteral("def koszt_%1(stanowiska):\n    return stanowiska * %2 + 1200\n").arg(i).arg(90 + i);
    text += QStringLiteral("```\n\n");
    while (text.size() < 4000)
        text += QStringLiteral("Jeśli klient pyta o `SLA`, odpowiedz, że [umowa](https://example.com/sla) gwarantuje "
                               "99,9 % dostępności. ");
    return text.left(4000);
}

void BM_FragmentToScreen(benchmark::State& state) {
    const qsizetype fragmentSize = state.range(0);
    test::PanelWorld world;
    RootView* root = new RootView({}, world.models());
    OverlayPanel panel(root);
    world.state.setShowingWelcome(false);
    panel.setContentSize(QSize(800, 640));
    panel.show();
    const QString answer = longAnswer();
    AnswerBody* body = panel.findChild<AnswerBody*>();
    std::vector<double> ms;
    double units = 0;
    for (auto _ : state) {
        world.assistant.closeAll();
        world.answer({}, false);
        QApplication::processEvents();
        const int request = world.llm.count() - 1;
        for (qsizetype at = 0; at < answer.size(); at += fragmentSize) {
            QElapsedTimer timer;
            timer.start();
            world.llm.chunk(request, answer.mid(at, fragmentSize));
            body->viewport()->repaint();
            ms.push_back(double(timer.nsecsElapsed()) / 1e6);
            units += body->lastRenderedUnits();
        }
        world.llm.finish(request);
        QApplication::processEvents();
    }
    std::sort(ms.begin(), ms.end());
    state.counters["fragments"] = double(ms.size()) / double(state.iterations());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p90_ms"] = ms[ms.size() * 9 / 10];
    state.counters["max_ms"] = ms.back();
    state.counters["lines_relaid"] = units / double(ms.size());
}
BENCHMARK(BM_FragmentToScreen)->Arg(20)->Arg(80)->Arg(300)->Unit(benchmark::kMillisecond);

} // namespace
