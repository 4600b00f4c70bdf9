#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QObject;

namespace quippet {

// The user's grounding material in ~/quippet-context: the profile "o-mnie.md" and the company documents
// (.md, .txt, .pdf). Text files are read on every prompt build so edits count at once; PDF text is extracted on a
// worker thread (a large PDF would freeze the panel) and cached by name and modification date: a PDF whose text is
// not there yet is left out of the prompt until it is. Main thread only.
class ContextDocuments {
public:
    ContextDocuments();
    ~ContextDocuments();

    static constexpr qsizetype kProfileLimit = 6000;
    static constexpr qsizetype kDocumentLimit = 8000;

    struct Scan {
        QStringList files; // document names, sorted
        bool hasProfile = false;
    };

    static QString folderPath();
    static QString profileFileName() { return QStringLiteral("o-mnie.md"); }

    // Lists the folder (creating it when missing); an unreadable folder lists nothing.
    static Scan scan();
    // The profile's first 6000 characters, or empty when it cannot be read.
    static QString profileText();

    // One document's text, as much of it as a prompt can use; nothing when it cannot be read, is not a regular
    // file or (PDF) has no text layer.
    std::optional<QString> fileText(const QString& name, const QString& folder);
    // "--- name ---\n" + the first `limitPerFile` characters of each readable document, joined by blank lines.
    QString contextText(const QStringList& files, qsizetype limitPerFile);
    // Starts extracting the PDFs among `files` whose text is missing or older than the file.
    void prefetch(const QStringList& files);

    int pdfExtractions() const { return m_pdfExtractions; }
    int pdfExtractionsRunning() const { return int(m_running.size()); }
    qsizetype cachedPdfs() const { return m_pdfCache.size(); }

private:
    struct CachedPdf {
        QDateTime modified;
        std::optional<QString> text; // nothing: no text layer, or not a PDF
    };
    void extract(const QString& name, const QString& path, const QDateTime& modified);

    QHash<QString, CachedPdf> m_pdfCache;
    QHash<QString, QDateTime> m_running; // name → the version being extracted
    int m_pdfExtractions = 0;
    // Receives the workers' results on the main thread; results that arrive after this object is gone are dropped.
    std::unique_ptr<QObject> m_receiver;
};

// Text of a PDF file page by page, or nothing when it does not open or holds no text.
std::optional<QString> extractPdfText(const QString& path);

namespace Onboarding {
// The welcome flow offers the profile step: no profile yet and the user has not skipped it.
bool needed();
// Writes the profile and offer templates that are missing; existing files are never touched.
void createTemplates();
// Creates the folder and opens it in the desktop's file browser.
void openFolder();
} // namespace Onboarding

} // namespace quippet
