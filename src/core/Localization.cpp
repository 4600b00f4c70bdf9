#include "core/Localization.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <cstdio>

static void initStringResources() {
    Q_INIT_RESOURCE(quippet_strings);
}

namespace quippet::i18n {

namespace {

QString s_override;

QHash<QString, QString> loadTable(const QString& lang) {
    initStringResources();
    QHash<QString, QString> table;
    QFile file(QStringLiteral(":/i18n/%1.json").arg(lang));
    if (!file.open(QIODevice::ReadOnly))
        return table;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    for (auto it = object.begin(); it != object.end(); ++it)
        table.insert(it.key(), it.value().toString());
    return table;
}

const QHash<QString, QString>& tableFor(const QString& lang) {
    static QHash<QString, QHash<QString, QString>> tables;
    auto it = tables.find(lang);
    if (it == tables.end())
        it = tables.insert(lang, loadTable(lang));
    return *it;
}

QString automaticLanguage() {
    static const QString chosen = chooseLanguage(availableLanguages(), QLocale::system().uiLanguages());
    return chosen;
}

QString quotedList(const QStringList& items) {
    QStringList quoted;
    for (const QString& item : items)
        quoted << QLatin1Char('"') + item + QLatin1Char('"');
    return QLatin1Char('[') + quoted.join(QStringLiteral(", ")) + QLatin1Char(']');
}

} // namespace

QStringList availableLanguages() {
    return {QStringLiteral("en"), QStringLiteral("pl")};
}

QString chooseLanguage(const QStringList& available, const QStringList& preferred) {
    for (const QString& tag : preferred) {
        const QString normalised = tag.toLower().replace(QLatin1Char('_'), QLatin1Char('-'));
        if (available.contains(normalised))
            return normalised;
        const QString base = normalised.section(QLatin1Char('-'), 0, 0);
        if (available.contains(base))
            return base;
    }
    return QStringLiteral("en");
}

QString language() {
    return s_override.isEmpty() ? automaticLanguage() : s_override;
}

bool uiLanguageIsEnglish() {
    return language() == QLatin1String("en");
}

QString text(const QString& key) {
    const auto& table = tableFor(language());
    const auto it = table.constFind(key);
    return it == table.constEnd() ? key : *it;
}

QString text(const char* key) {
    return text(QString::fromUtf8(key));
}

QString formatNumber(qint64 n) {
    return QLocale(language()).toString(n);
}

QStringList keys(const QString& lang) {
    return tableFor(lang).keys();
}

void logLocaleChoice() {
    if (qEnvironmentVariable("QUIPPET_DEBUG_LOCALE") != QLatin1String("1"))
        return;
    const QString report = QStringLiteral("[locale] dostępne:   ") + quotedList(availableLanguages()) +
                           QStringLiteral("\n[locale] systemowe:  ") + quotedList(QLocale::system().uiLanguages()) +
                           QStringLiteral("\n[locale] wybrane:    ") + language() + QStringLiteral(".json") +
                           QStringLiteral("\n[locale] próbka:     ") + text("welcome.action.ready") + QLatin1Char('\n');
    const QByteArray bytes = report.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void overrideLanguage(const QString& lang) {
    s_override = lang;
}

} // namespace quippet::i18n
