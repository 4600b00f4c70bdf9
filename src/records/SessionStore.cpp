#include "records/SessionStore.h"

#include "core/AtomicFile.h"

#include "core/Clock.h"
#include "core/Localization.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QStringList>

#include <algorithm>

namespace quippet {

namespace {

QString formatNoteDate(const QDateTime& at) {
    return QLocale().toString(at.toLocalTime(), QLocale::ShortFormat);
}

// A history entry may only name a plain file inside the conversations folder; an index edited by hand (or by
// anything else) must not make delete remove files elsewhere.
bool isPlainFileName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/'));
}

} // namespace

SessionStore::SessionStore(Clock& clock, QObject* parent)
    : QObject(parent), m_clock(clock), m_current(SessionMeta::fresh(clock.now())) {
    QDir().mkpath(folderPath());
    loadHistory();
}

QString SessionStore::folderPath() {
    return QDir::homePath() + QStringLiteral("/quippet-rozmowy");
}

QString SessionStore::indexPath() {
    return folderPath() + QStringLiteral("/index.json");
}

void SessionStore::setCurrent(const SessionMeta& meta) {
    if (meta == m_current)
        return;
    m_current = meta;
    emit currentChanged();
}

void SessionStore::setName(const QString& name) {
    SessionMeta meta = m_current;
    meta.name = name;
    setCurrent(meta);
}

void SessionStore::setCompany(const QString& company) {
    SessionMeta meta = m_current;
    meta.company = company;
    setCurrent(meta);
}

void SessionStore::setTopic(const QString& topic) {
    SessionMeta meta = m_current;
    meta.topic = topic;
    setCurrent(meta);
}

void SessionStore::setMode(ConversationMode mode) {
    SessionMeta meta = m_current;
    meta.mode = mode;
    setCurrent(meta);
}

void SessionStore::startNew() {
    m_current = SessionMeta::fresh(m_clock.now());
    emit currentChanged();
}

void SessionStore::loadHistory() {
    QFile file(indexPath());
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly)) {
        // Unreadable is not the same as corrupt: keep it from being overwritten all the same.
        m_corruptIndexInPlace = true;
        return;
    }
    bool complete = true;
    auto entries = decodeIndex(file.readAll(), &complete);
    file.close();
    if (!entries) {
        m_corruptIndexInPlace = true;
        moveCorruptIndexAside();
        return;
    }
    // What could not be read stays in the original file, moved aside before the index is next written.
    m_corruptIndexInPlace = !complete;
    std::stable_sort(entries->begin(), entries->end(), [](const SessionMeta& a, const SessionMeta& b) {
        return a.startedAt.toMSecsSinceEpoch() > b.startedAt.toMSecsSinceEpoch();
    });
    m_history = *entries;
    emit historyChanged();
}

bool SessionStore::moveCorruptIndexAside() {
    if (!m_corruptIndexInPlace)
        return true;
    if (!QFileInfo::exists(indexPath())) {
        m_corruptIndexInPlace = false;
        return true;
    }
    const QString stamp = m_clock.now().toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = indexPath() + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = indexPath() + QStringLiteral(".corrupt-") + stamp + QLatin1Char('-') + QString::number(n);
    if (!QFile::rename(indexPath(), target))
        return false;
    m_corruptIndexInPlace = false;
    return true;
}

QString SessionStore::freeNoteName(const QString& slug) const {
    const QDir folder(folderPath());
    QString name = slug + QStringLiteral(".md");
    for (int n = 2; QFileInfo::exists(folder.filePath(name)); ++n)
        name = slug + QLatin1Char('-') + QString::number(n) + QStringLiteral(".md");
    return name;
}

SessionStore::FinishResult SessionStore::finish(const QString& transcript, const QString& summary) {
    SessionMeta done = m_current;
    done.endedAt = m_clock.now().toUTC();
    done.noSummary = summary.trimmed().isEmpty();
    QDir().mkpath(folderPath());
    // Two conversations with the same slug (same minute, same names) get their own files.
    const QString name = freeNoteName(done.fileSlug());
    const QString path = QDir(folderPath()).filePath(name);
    if (!writeFileAtomically(path, noteText(done, transcript, summary)))
        return {std::nullopt, false};

    done.summaryFile = name;
    m_history.prepend(done);
    emit historyChanged();
    // The note is safe on disk; a failed index write is repaired by the next successful one.
    saveIndex();
    return {path, true};
}

void SessionStore::remove(const SessionMeta& meta) {
    const auto sameId = [&](const SessionMeta& entry) { return entry.id == meta.id; };
    QList<SessionMeta> remaining = m_history;
    remaining.removeIf(sameId);
    if (meta.summaryFile && isPlainFileName(*meta.summaryFile)) {
        // Older releases could give two entries one file; keep it while another entry still names it.
        const bool shared = std::any_of(remaining.cbegin(), remaining.cend(), [&](const SessionMeta& entry) {
            return entry.summaryFile == meta.summaryFile;
        });
        if (!shared)
            QFile::remove(QDir(folderPath()).filePath(*meta.summaryFile));
    }
    const bool changed = remaining.size() != m_history.size();
    m_history = remaining;
    if (changed)
        emit historyChanged();
    saveIndex();
}

bool SessionStore::saveIndex() {
    if (!moveCorruptIndexAside())
        return false;
    QDir().mkpath(folderPath());
    return writeFileAtomically(indexPath(), encodeIndex(m_history));
}

QByteArray SessionStore::noteText(const SessionMeta& meta, const QString& transcript, const QString& summary) {
    QStringList header;
    header << QStringLiteral("# ") + meta.displayName();
    const auto label = [](const char* key) { return QStringLiteral("**") + i18n::text(key) + QStringLiteral("** "); };
    if (meta.rehearsal)
        header << QStringLiteral("**") + i18n::text("file.rehearsal") + QStringLiteral("** — ") +
                      i18n::text("file.rehearsal.detail");
    if (!meta.company.isEmpty())
        header << label("file.company") + meta.company;
    if (!meta.topic.isEmpty())
        header << label("file.topic") + meta.topic;
    header << label("file.started") + formatNoteDate(meta.startedAt);
    header << label("file.ended") + formatNoteDate(meta.endedAt.value_or(meta.startedAt));

    QString text = header.join(QStringLiteral("  \n"));
    text += QStringLiteral("\n\n## ") + i18n::text("file.summary") + QStringLiteral("\n\n");
    text += summary.isEmpty() ? i18n::text("file.summary.missing") : summary;
    text += QStringLiteral("\n\n## ") + i18n::text("file.transcript") + QStringLiteral("\n\n```\n");
    text += transcript;
    text += QStringLiteral("\n```");
    return text.toUtf8();
}

QByteArray SessionStore::encodeIndex(const QList<SessionMeta>& entries) {
    QJsonArray array;
    for (const SessionMeta& entry : entries)
        array.append(entry.toJson());
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<QList<SessionMeta>> SessionStore::decodeIndex(const QByteArray& bytes, bool* complete) {
    if (complete)
        *complete = true;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return std::nullopt;
    QList<SessionMeta> entries;
    const QJsonArray array = doc.array();
    entries.reserve(array.size());
    // Entry by entry: one odd entry must not cost the rest of the history.
    for (const QJsonValue& value : array) {
        auto entry = value.isObject() ? SessionMeta::fromJson(value.toObject()) : std::nullopt;
        if (entry)
            entries.append(std::move(*entry));
        else if (complete)
            *complete = false;
    }
    return entries;
}

} // namespace quippet
