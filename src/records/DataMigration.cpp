#include "records/DataMigration.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>

namespace quippet::DataMigration {

namespace {
struct Rename {
    const char* legacy;
    const char* current;
};
constexpr Rename kRenames[] = {
    {"chatrelo-rozmowy", "quippet-rozmowy"},
    {"chatrelo-context", "quippet-context"},
};

bool present(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}
} // namespace

void run(const NoteFn& note) {
    const QDir home = QDir::home();
    for (const Rename& row : kRenames) {
        const QString legacyName = QString::fromLatin1(row.legacy);
        const QString currentName = QString::fromLatin1(row.current);
        const QString from = home.filePath(legacyName);
        const QString to = home.filePath(currentName);
        if (!present(from) || present(to))
            continue;
        // rename(2) directly: QDir::rename gives no reason for a failure, and the log line needs one.
        if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0) {
            if (note)
                note(QStringLiteral("przeniesiono ~/") + legacyName + QStringLiteral(" → ~/") + currentName);
        } else {
            const int error = errno;
            if (note)
                note(QStringLiteral("nie udało się przenieść ~/") + legacyName + QStringLiteral(": ") +
                     qt_error_string(error));
        }
    }
}

} // namespace quippet::DataMigration
