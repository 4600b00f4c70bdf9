// The answer card while a reply streams in: from a fragment's arrival at the assistant to its text painted in the
// card, for a 4 000-character answer (prose with Markdown, a code block, more prose) cut into fragments the size the
// model's stream delivers. Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise; on a display
// (QT_QPA_PLATFORM=xcb under Xvfb) the flush to the window is the real one.
#include "support/PanelWorld.h"
#include "ui/AnswerPanel.h"
#include "ui/LevelOrb.h"
#include "ui/OverlayPanel.h"
#include "ui/RootView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <ctime>
#include <vector>

using namespace quippet;

namespace {

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

QString longAnswer() {
    QString text;
    int paragraph = 0;
    while (text.size() < 1800) {
        ++paragraph;
        text += QStringLiteral("Akapit %1: **najważniejsze** jest to, że wdrożenie trwa *około sześciu tygodni*, "
                               "a koszt zależy od liczby stanowisk i modułów. ")
                    .arg(paragraph);
        if (paragraph % 3 == 0)
            text += QStringLiteral("\n\n");
    }
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
    const AnswerBody* body = panel.findChild<AnswerBody*>();
    std::vector<double> ms, cpuMs, updateMs;
    double units = 0;
    for (auto _ : state) {
        world.assistant.closeAll();
        world.answer({}, false);
        QApplication::processEvents();
        const int request = world.llm.count() - 1;
        for (qsizetype at = 0; at < answer.size(); at += fragmentSize) {
            QElapsedTimer timer;
            const double cpuStart = threadCpuMs();
            timer.start();
            world.llm.chunk(request, answer.mid(at, fragmentSize));
            updateMs.push_back(double(timer.nsecsElapsed()) / 1e6);
            // What the event loop does next: lay out, paint the changed region into the window and flush it.
            QApplication::processEvents();
            ms.push_back(double(timer.nsecsElapsed()) / 1e6);
            cpuMs.push_back(threadCpuMs() - cpuStart);
            units += body->lastRenderedUnits();
        }
        world.llm.finish(request);
        QApplication::processEvents();
    }
    auto median = [](std::vector<double>& v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    state.counters["fragments"] = double(ms.size()) / double(state.iterations());
    // Wall time includes waiting for a core on a busy machine; the main thread's CPU time does not.
    state.counters["median_ms"] = median(ms);
    state.counters["p90_ms"] = ms[ms.size() * 9 / 10];
    state.counters["cpu_median_ms"] = median(cpuMs);
    state.counters["update_median_ms"] = median(updateMs);
    state.counters["lines_relaid"] = units / double(ms.size());
}
BENCHMARK(BM_FragmentToScreen)->Arg(20)->Arg(80)->Arg(300)->Unit(benchmark::kMillisecond);

// One frame of the level orb in the working panel: new levels, the repaint of its corner of the translucent window
// and the flush. While someone speaks this happens 10 times a second.
void BM_OrbFrame(benchmark::State& state) {
    test::PanelWorld world;
    RootView* root = new RootView({}, world.models());
    OverlayPanel panel(root);
    world.state.setShowingWelcome(false);
    panel.setContentSize(QSize(800, 116));
    panel.show();
    QApplication::processEvents();
    auto* orb = panel.findChild<LevelOrb*>(QStringLiteral("levelOrb"));
    std::vector<double> cpuMs;
    float level = 0;
    for (auto _ : state) {
        const double start = threadCpuMs();
        level = level > 0.1f ? 0.0f : level + 0.02f;
        orb->setLevels(level, level / 2);
        orb->repaint();
        QApplication::processEvents();
        cpuMs.push_back(threadCpuMs() - start);
    }
    std::sort(cpuMs.begin(), cpuMs.end());
    state.counters["cpu_median_ms"] = cpuMs[cpuMs.size() / 2];
}
BENCHMARK(BM_OrbFrame)->Unit(benchmark::kMicrosecond);

} // namespace
