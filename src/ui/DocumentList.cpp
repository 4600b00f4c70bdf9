#include "ui/DocumentList.h"

#include "core/Localization.h"
#include "ui/ContextFolder.h"
#include "ui/WindowKit.h"

#include <QVBoxLayout>

namespace quippet {

DocumentList::DocumentList(QString emptyText, QWidget* parent)
    : QWidget(parent), m_emptyText(std::move(emptyText)), m_rows(new QVBoxLayout(this)) {
    setObjectName(QStringLiteral("documentList"));
    m_rows->setContentsMargins(0, 4, 0, 4);
    m_rows->setSpacing(2);
}

void DocumentList::setEntries(const QList<Entry>& entries) {
    windowKit::clear(m_rows);
    if (entries.isEmpty()) {
        m_rows->addWidget(windowKit::caption(m_emptyText, this));
        return;
    }
    for (const Entry& entry : entries) {
        const QString name = entry.name;
        m_rows->addWidget(windowKit::fileRow(
            name, entry.detail, i18n::format("docs.deleteNamed", name),
            [this, name] {
                contextFolder::removeDocument(name);
                emit removed(name);
            },
            this));
    }
}

} // namespace quippet
