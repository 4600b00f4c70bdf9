#include "ui/ContextFolder.h"

#include "assistant/ContextDocuments.h"
#include "core/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

namespace quippet::contextFolder {

namespace {

QString folder() {
    return ContextDocuments::folderPath();
}

bool isPlainName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/'));
}

// Read first, then replaced atomically: a failed read or write leaves the old file, and a file chosen from the
// folder itself is not removed before it is read.
bool copyInto(const QString& source, const QString& name) {
    const QString target = QDir(folder()).filePath(name);
    const QFileInfo from(source);
    if (!from.isFile())
        return false;
    if (from.canonicalFilePath() == QFileInfo(target).canonicalFilePath())
        return true;
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    QDir().mkpath(folder());
    return writeFileAtomically(target, bytes);
}

} // namespace

bool isDocumentName(const QString& name) {
    const QString suffix = QFileInfo(name).suffix().toLower();
    return suffix == QLatin1String("md") || suffix == QLatin1String("txt") || suffix == QLatin1String("pdf");
}

bool importProfile(const QString& source) {
    return copyInto(source, ContextDocuments::profileFileName());
}

QStringList importDocuments(const QStringList& sources) {
    QStringList written;
    for (const QString& source : sources) {
        const QFileInfo info(source);
        if (!isDocumentName(info.fileName()))
            continue;
        const QString name = info.completeBaseName() + QLatin1Char('.') + info.suffix().toLower();
        if (copyInto(source, name) && !written.contains(name))
            written << name;
    }
    return written;
}

bool removeDocument(const QString& name) {
    if (!isPlainName(name) || name == ContextDocuments::profileFileName())
        return false;
    return QFile::remove(QDir(folder()).filePath(name));
}

QList<Document> documents() {
    QList<Document> out;
    for (const QString& name : ContextDocuments::scan().files)
        out.append({name, QFileInfo(QDir(folder()).filePath(name)).size()});
    return out;
}

bool isUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    Q_UNUSED(text);
    return !decoder.hasError();
}

} // namespace quippet::contextFolder
