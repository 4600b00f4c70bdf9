#pragma once

#include <QObject>
#include <QStringList>

#include <functional>

namespace quippet {

class Clock;

// A diagnostics sink handed to components that do not own the log.
using NoteFn = std::function<void(const QString&)>;

// Short lines about what the program is doing: the newest eight kept for display, every line appended to
// "quippet-debug.log" in the home directory as "[HH:mm:ss] line".
class DiagnosticsLog : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList lines READ lines NOTIFY linesChanged)
public:
    static constexpr int kKeptLines = 8;

    explicit DiagnosticsLog(Clock& clock, QObject* parent = nullptr);

    QStringList lines() const { return m_lines; }
    QString filePath() const;

    // Safe from any thread: lines from other threads are handed to the log's thread first.
    void note(const QString& line);
    // A sink bound to this log that does nothing once the log is gone.
    NoteFn sink();

signals:
    void linesChanged();

private:
    void append(const QString& line);

    Clock& m_clock;
    QStringList m_lines;
};

} // namespace quippet
