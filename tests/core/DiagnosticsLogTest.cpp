#include "core/DiagnosticsLog.h"

#include "support/Files.h"
#include "support/ManualClock.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSignalSpy>
#include <QThread>

using namespace quippet;

namespace {
QStringList fileLines(const QString& path) {
    QString text = QString::fromUtf8(test::readFile(path));
    EXPECT_TRUE(text.endsWith(QLatin1Char('\n')));
    text.chop(1);
    return text.split(QLatin1Char('\n'));
}
} // namespace

TEST(DiagnosticsLogTest, KeepsEightInMemoryAndEveryLineInTheFile) {
    test::TempHome home;
    ManualClock clock(QDateTime(QDate(2026, 3, 1), QTime(9, 5, 7)).toMSecsSinceEpoch());
    DiagnosticsLog log(clock);
    QSignalSpy changed(&log, &DiagnosticsLog::linesChanged);
    ASSERT_FALSE(QFile::exists(home.filePath(QStringLiteral("quippet-debug.log"))));

    log.note(QStringLiteral("mikrofon: zgoda już jest"));
    EXPECT_EQ(fileLines(log.filePath()), QStringList{QStringLiteral("[09:05:07] mikrofon: zgoda już jest")});

    for (int i = 2; i <= 9; ++i)
        log.note(QStringLiteral("linia %1").arg(i));
    EXPECT_EQ(log.lines().size(), 8);
    EXPECT_EQ(log.lines().first(), QStringLiteral("linia 2"));
    EXPECT_EQ(log.lines().last(), QStringLiteral("linia 9"));
    EXPECT_EQ(fileLines(log.filePath()).size(), 9);
    EXPECT_EQ(changed.count(), 9);
}

TEST(DiagnosticsLogTest, UnwritableHomeAndOtherThreads) {
    test::TempHome home;
    ManualClock clock;
    DiagnosticsLog log(clock);
    // A directory where the file should be: writing fails silently, memory still works.
    QDir().mkpath(log.filePath());
    log.note(QStringLiteral("ekran: brak pliku"));
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("ekran: brak pliku")});

    // A line noted from a worker thread lands on the log's thread.
    QThread worker;
    QObject job;
    job.moveToThread(&worker);
    worker.start();
    NoteFn sink = log.sink();
    QMetaObject::invokeMethod(
        &job, [&] { sink(QStringLiteral("ASR: z wątku")); }, Qt::BlockingQueuedConnection);
    worker.quit();
    worker.wait();
    QSignalSpy changed(&log, &DiagnosticsLog::linesChanged);
    EXPECT_TRUE(changed.wait(2000) || log.lines().contains(QStringLiteral("ASR: z wątku")));
    EXPECT_EQ(log.lines().last(), QStringLiteral("ASR: z wątku"));
}
