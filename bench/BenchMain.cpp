// Shared main of the benchmarks: a Qt application object, a throw-away home (settings and files never reach the
// user's), Polish as the interface language.
#include "core/Localization.h"
#include "support/TempHome.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    quippet::test::TempHome home;
    QCoreApplication app(argc, argv);
    quippet::i18n::overrideLanguage(QStringLiteral("pl"));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
