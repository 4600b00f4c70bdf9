#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace quippet::contextFolder {

// What the windows do to the files of ~/quippet-context. The folder is created when a file goes in, so a user's
// chosen files are never dropped for want of it; an existing file is replaced only once its successor is complete.
// Main thread only.

// A name the assistant reads as a document: ".md", ".txt" or ".pdf" in any case.
bool isDocumentName(const QString& name);

// Copies `source` as the profile "o-mnie.md", byte for byte (text in another encoding stays as it was).
bool importProfile(const QString& source);

// Copies each chosen document under its own name with the suffix in lower case (so that "Cennik.PDF" is listed and
// read as "Cennik.pdf"); other files are skipped. A later file of the same name replaces an earlier one. Answers
// the names written.
QStringList importDocuments(const QStringList& sources);

// Removes one document (a plain name inside the folder, never the profile).
bool removeDocument(const QString& name);

struct Document {
    QString name;
    qint64 bytes = 0;
};
// The documents the assistant reads, sorted by name, with their sizes.
QList<Document> documents();

bool isUtf8(const QByteArray& bytes);

} // namespace quippet::contextFolder
