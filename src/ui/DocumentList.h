#pragma once

#include <QList>
#include <QString>
#include <QWidget>

class QVBoxLayout;

namespace quippet {

// The documents of the context folder, one row each with a delete button (object name "documentList"). The window
// that shows it says what to list; a click on a row's button deletes the file and tells with `removed`. Main
// thread only.
class DocumentList : public QWidget {
    Q_OBJECT
public:
    struct Entry {
        QString name;
        QString detail; // shown beside the name (the size); may be empty
    };

    // `emptyText` stands in the list while it holds nothing.
    DocumentList(QString emptyText, QWidget* parent = nullptr);

    void setEntries(const QList<Entry>& entries);

signals:
    // The file is gone from the folder.
    void removed(const QString& name);

private:
    QString m_emptyText;
    QVBoxLayout* m_rows;
};

} // namespace quippet
