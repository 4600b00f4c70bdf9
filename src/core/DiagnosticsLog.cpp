#include "core/DiagnosticsLog.h"

#include "core/Clock.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QThread>

namespace quippet {

DiagnosticsLog::DiagnosticsLog(Clock& clock, QObject* parent) : QObject(parent), m_clock(clock) {}

QString DiagnosticsLog::filePath() const {
    return QDir::homePath() + QStringLiteral("/quippet-debug.log");
}

void DiagnosticsLog::note(const QString& line) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, line] { append(line); }, Qt::QueuedConnection);
        return;
    }
    append(line);
}

NoteFn DiagnosticsLog::sink() {
    QPointer<DiagnosticsLog> self(this);
    return [self](const QString& line) {
        if (self)
            self->note(line);
    };
}

void DiagnosticsLog::append(const QString& line) {
    m_lines.append(line);
    if (m_lines.size() > kKeptLines)
        m_lines.removeFirst();
    emit linesChanged();

    // The log file is best effort: a read-only home must never disturb the program.
    QFile file(filePath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        const QString stamp = m_clock.now().toLocalTime().toString(QStringLiteral("HH:mm:ss"));
        file.write((QLatin1Char('[') + stamp + QStringLiteral("] ") + line + QLatin1Char('\n')).toUtf8());
    }
}

} // namespace quippet
