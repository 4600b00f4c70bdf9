// Shared main of the benchmarks: a Qt application object, a throw-away home (settings and files never reach the
// user's), Polish as the interface language.
#include "core/Localization.h"
#include "support/TempHome.h"

#include <benchmark/benchmark.h>

#ifdef QUIPPET_BENCH_GUI
#include <QApplication>
using BenchApplication = QApplication;
#else
#include <QCoreApplication>
using BenchApplication = QCoreApplication;
#endif

int main(int argc, char** argv) {
    quippet::test::TempHome home;
#ifdef QUIPPET_BENCH_GUI
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    BenchApplication app(argc, argv);
    quippet::i18n::overrideLanguage(QStringLiteral("pl"));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
