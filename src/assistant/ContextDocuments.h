#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

namespace quippet {

// The user's grounding material in ~/quippet-context: the profile "o-mnie.md" and the company documents
// (.md, .txt, .pdf). Text files are read on every prompt build so edits count at once; PDF text is cached by
// name and modification date because extraction is the one costly step. Main thread only.
class ContextDocuments {
public:
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

    int pdfExtractions() const { return m_pdfExtractions; }
    qsizetype cachedPdfs() const { return m_pdfCache.size(); }

private:
    struct CachedPdf {
        QDateTime modified;
        QString text;
    };
    QHash<QString, CachedPdf> m_pdfCache;
    int m_pdfExtractions = 0;
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
