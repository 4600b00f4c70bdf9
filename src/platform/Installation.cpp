#include "platform/Installation.h"

#include "core/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace quippet::installation {

namespace {

constexpr int kToolTimeoutMs = 5000;

QByteArray resource(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    return QDir().mkpath(QFileInfo(path).path()) && writeFileAtomically(path, bytes);
}

// Runs a desktop helper when it is installed; its absence or failure does not undo the install.
void runTool(const QString& program, const QStringList& args) {
    const QString path = QStandardPaths::findExecutable(program);
    if (path.isEmpty())
        return;
    QProcess process;
    process.start(path, args);
    if (!process.waitForFinished(kToolTimeoutMs))
        process.kill();
}

// An Exec argument by freedesktop's desktop-entry rules: "%" is doubled (it starts a field code); an argument with a
// reserved character is quoted, with '"', '`', '$' and '\\' escaped inside the quotes; and then, since the value is
// a string whose own escapes are undone before the quoting, every backslash is doubled once more.
QString execQuoted(const QString& command) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString arg = command;
    arg.replace(QLatin1Char('%'), QLatin1String("%%"));
    bool plain = true;
    for (QChar c : arg)
        plain = plain && !reserved.contains(c);
    if (plain)
        return arg;
    arg.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('`'), QLatin1String("\\`"))
        .replace(QLatin1Char('$'), QLatin1String("\\$"));
    QString quoted = QLatin1Char('"') + arg + QLatin1Char('"');
    return quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
}

// A path as the system resolves it (links followed) where it exists, so that a home or ~/.local/bin reached through
// a link compares equal to the running binary's resolved path.
QString resolved(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(path).absoluteFilePath()) : canonical;
}

} // namespace

bool isInstalledLocation(const QString& binary, const QString& home) {
    const QString path = resolved(binary);
    return path.startsWith(QLatin1String("/usr/")) || path == resolved(userBinary(home)) ||
           path == userBinary(resolved(home));
}

bool isPackaged(const QString& binary) {
    return QFileInfo(binary).absoluteFilePath().startsWith(QLatin1String("/usr/"));
}

QString userBinary(const QString& home) {
    return QDir(home).filePath(QStringLiteral(".local/bin/quippet"));
}

QString installedCommand(const QString& binary, const QString& home, const QStringList& systemBinaries) {
    QString installed;
    if (isInstalledLocation(binary, home))
        installed = QFileInfo(binary).absoluteFilePath();
    else if (QFileInfo(userBinary(home)).isExecutable())
        installed = userBinary(home);
    for (const QString& candidate : systemBinaries) {
        if (installed.isEmpty() && QFileInfo(candidate).isExecutable())
            installed = candidate;
    }
    return installed == QLatin1String("/usr/bin/quippet") ? QStringLiteral("quippet") : installed;
}

QByteArray desktopEntryExec(const QString& command) {
    return execQuoted(command).toUtf8();
}

QByteArray desktopEntry(const QString& command) {
    QString entry = QString::fromUtf8(resource(QStringLiteral(":/desktop/app.quippet.Quippet.desktop")));
    const QString exec = execQuoted(command);
    QStringList lines = entry.split(QLatin1Char('\n'));
    for (QString& line : lines) {
        if (line.startsWith(QLatin1String("Exec=quippet")))
            line = QStringLiteral("Exec=") + exec + line.mid(int(qstrlen("Exec=quippet")));
    }
    return lines.join(QLatin1Char('\n')).toUtf8();
}

QString installForUser(const QString& binary, const QString& home, const NoteFn& note) {
    const QString target = userBinary(home);
    auto fail = [&](const QString& what) {
        if (note)
            note(QStringLiteral("instalacja: nie udało się — ") + what);
        return QString();
    };
    QFile source(binary);
    if (!source.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("nie można odczytać programu"));
    const QByteArray program = source.readAll();
    if (program.isEmpty() || !writeFile(target, program))
        return fail(target);
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                      QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                      QFileDevice::ExeOther);

    const QString share = QDir(home).filePath(QStringLiteral(".local/share"));
    const QString id = QString::fromLatin1(kAppId);
    const QString applications = share + QStringLiteral("/applications");
    bool ok = writeFile(applications + QLatin1Char('/') + id + QStringLiteral(".desktop"), desktopEntry(target));
    ok = ok && writeFile(share + QStringLiteral("/metainfo/") + id + QStringLiteral(".metainfo.xml"),
                         resource(QStringLiteral(":/desktop/app.quippet.Quippet.metainfo.xml")));
    ok = ok && writeFile(share + QStringLiteral("/icons/hicolor/scalable/apps/") + id + QStringLiteral(".svg"),
                         resource(QStringLiteral(":/icons/app.quippet.Quippet.svg")));
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        ok = ok &&
             writeFile(share + QStringLiteral("/icons/hicolor/%1x%1/apps/").arg(size) + id + QStringLiteral(".png"),
                       resource(QStringLiteral(":/icons/app.quippet.Quippet-%1.png").arg(size)));
    }
    if (!ok)
        return fail(share);

    // The desktop's caches and the quippet:// handler; each tool is optional.
    runTool(QStringLiteral("update-desktop-database"), {QStringLiteral("-q"), applications});
    runTool(QStringLiteral("xdg-mime"),
            {QStringLiteral("default"), id + QStringLiteral(".desktop"), QStringLiteral("x-scheme-handler/quippet")});
    runTool(QStringLiteral("gtk-update-icon-cache"),
            {QStringLiteral("-q"), QStringLiteral("-t"), share + QStringLiteral("/icons/hicolor")});
    if (note)
        note(QStringLiteral("instalacja: zainstalowano w ") + target);
    return target;
}

} // namespace quippet::installation
