#include "assistant/ContextDocuments.h"

#include "core/AtomicFile.h"

#include "assistant/Prompts.h"
#include "core/Settings.h"
#include "records/SessionMeta.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QPromise>
#include <QStringDecoder>
#include <QThreadPool>
#include <QUrl>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <filesystem>
#include <memory>

namespace quippet {

namespace {

// Only regular files (or links to them) are documents: opening a FIFO or a device would block or never end.
bool isRegularFile(const QString& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(std::filesystem::path(path.toStdString()), error);
}

// The start of a UTF-8 file, generously more than `maxCharacters` characters' worth (a character with combining
// marks takes several code points): no document is read further than a prompt can use.
std::optional<QString> readUtf8(const QString& path, qsizetype maxCharacters) {
    if (!isRegularFile(path))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.read(maxCharacters * 16 + 4);
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    if (!file.atEnd()) {
        // Cut short: drop a character whose bytes were cut apart.
        qsizetype end = bytes.size();
        while (end > 0 && (uchar(bytes[end - 1]) & 0xC0) == 0x80)
            --end;
        if (end > 0 && uchar(bytes[end - 1]) >= 0xC0)
            --end;
        bytes.truncate(end);
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

void writeTemplate(const QString& path, const QString& text) {
    if (QFileInfo::exists(path))
        return;
    writeFileAtomically(path, text.toUtf8());
}

void silencePoppler() {
    static const bool once = [] {
        // Poppler prints every syntax complaint to stderr; damaged PDFs are a normal case here.
        poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr);
        return true;
    }();
    Q_UNUSED(once);
}

} // namespace

QString ContextDocuments::folderPath() {
    return QDir::homePath() + QStringLiteral("/quippet-context");
}

ContextDocuments::Scan ContextDocuments::scan() {
    const QString folder = folderPath();
    QDir().mkpath(folder);
    Scan result;
    const QStringList entries = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    for (const QString& name : entries) {
        if (name == profileFileName() || !isRegularFile(QDir(folder).filePath(name)))
            continue;
        if (name.endsWith(QLatin1String(".txt")) || name.endsWith(QLatin1String(".md")) ||
            name.endsWith(QLatin1String(".pdf")))
            result.files << name;
    }
    // Plain code-unit order, not the locale's collation.
    std::sort(result.files.begin(), result.files.end());
    result.hasProfile = QFileInfo::exists(QDir(folder).filePath(profileFileName()));
    return result;
}

QString ContextDocuments::profileText() {
    const auto text = readUtf8(QDir(folderPath()).filePath(profileFileName()), kProfileLimit);
    return text ? leftCharacters(*text, kProfileLimit) : QString();
}

ContextDocuments::ContextDocuments() : m_receiver(std::make_unique<QObject>()) {}

ContextDocuments::~ContextDocuments() = default;

std::optional<QString> ContextDocuments::fileText(const QString& name, const QString& folder) {
    const QString path = QDir(folder).filePath(name);
    if (!name.endsWith(QLatin1String(".pdf")))
        return readUtf8(path, kDocumentLimit);
    if (!isRegularFile(path))
        return std::nullopt;

    const QFileInfo info(path);
    const QDateTime modified = info.exists() ? info.lastModified() : QDateTime();
    const auto cached = m_pdfCache.constFind(name);
    if (cached != m_pdfCache.constEnd() && cached->modified == modified)
        return cached->text;
    const auto running = m_running.constFind(name);
    if (running == m_running.constEnd() || *running != modified)
        extract(name, path, modified);
    return std::nullopt;
}

void ContextDocuments::extract(const QString& name, const QString& path, const QDateTime& modified) {
    ++m_pdfExtractions;
    m_running.insert(name, modified);
    // The result comes back to the main thread through the application object, which outlives the workers' posts;
    // it is dropped there once the receiver (and so this object) is gone. A continuation bound to a context that
    // dies first trips an assertion in this Qt.
    const QPointer<QObject> receiver(m_receiver.get());
    QThreadPool::globalInstance()->start([this, receiver, name, path, modified] {
        const std::optional<QString> text = extractPdfText(path);
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(
            app,
            [this, receiver, name, modified, text] {
                if (!receiver)
                    return;
                // Only the newest version asked for counts; an older extraction finishing late is dropped.
                if (m_running.value(name) != modified)
                    return;
                m_running.remove(name);
                m_pdfCache.insert(name, {modified, text});
            },
            Qt::QueuedConnection);
    });
}

void ContextDocuments::prefetch(const QStringList& files) {
    const QString folder = folderPath();
    for (const QString& name : files) {
        if (name.endsWith(QLatin1String(".pdf")))
            fileText(name, folder);
    }
}

QString ContextDocuments::contextText(const QStringList& files, qsizetype limitPerFile) {
    const QString folder = folderPath();
    // Text of PDFs that are gone is not kept for the life of the process.
    for (auto it = m_pdfCache.begin(); it != m_pdfCache.end();)
        it = files.contains(it.key()) ? std::next(it) : m_pdfCache.erase(it);
    QString out;
    for (const QString& name : files) {
        const auto text = fileText(name, folder);
        if (!text)
            continue;
        if (out.isEmpty())
            out.reserve(files.size() * (std::min(limitPerFile, text->size()) + name.size() + 16));
        else
            out += QStringLiteral("\n\n");
        out += QStringLiteral("--- ");
        out += name;
        out += QStringLiteral(" ---\n");
        out += QStringView(*text).left(leftCharactersSize(*text, limitPerFile));
    }
    return out;
}

std::optional<QString> extractPdfText(const QString& path) {
    silencePoppler();
    const QByteArray encoded = QFile::encodeName(path);
    std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(encoded.toStdString()));
    if (!doc || doc->is_locked())
        return std::nullopt;
    QString text;
    for (int i = 0; i < doc->pages(); ++i) {
        std::unique_ptr<poppler::page> page(doc->create_page(i));
        if (!page)
            continue;
        const poppler::byte_array utf8 = page->text().to_utf8();
        if (!text.isEmpty())
            text += QLatin1Char('\n');
        text += QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
    }
    if (text.trimmed().isEmpty())
        return std::nullopt;
    return text;
}

namespace Onboarding {

bool needed() {
    const bool hasProfile =
        QFileInfo::exists(QDir(ContextDocuments::folderPath()).filePath(ContextDocuments::profileFileName()));
    return !hasProfile && !Settings::boolValue(Settings::kOnboardingSkipped, false);
}

void createTemplates() {
    const QDir folder(ContextDocuments::folderPath());
    QDir().mkpath(folder.path());
    writeTemplate(folder.filePath(ContextDocuments::profileFileName()), Prompts::profileTemplate());
    writeTemplate(folder.filePath(QStringLiteral("oferta.md")), Prompts::offerTemplate());
}

void openFolder() {
    QDir().mkpath(ContextDocuments::folderPath());
    QDesktopServices::openUrl(QUrl::fromLocalFile(ContextDocuments::folderPath()));
}

} // namespace Onboarding

} // namespace quippet
