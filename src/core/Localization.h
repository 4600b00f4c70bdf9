#pragma once

#include <QString>
#include <QStringList>

namespace quippet::i18n {

// Interface languages with string tables, in the order they are offered.
QStringList availableLanguages();

// The best match of the user's preferred languages (most preferred first, "pl-PL" or "pl_PL" style) among the
// available ones; "en" when nothing matches.
QString chooseLanguage(const QStringList& available, const QStringList& preferred);

// The language chosen once per process from QLocale::uiLanguages().
QString language();
bool uiLanguageIsEnglish();

// The localised text of key; the key itself when the table has no entry.
QString text(const char* key);
QString text(const QString& key);

// The localised format of key filled with QString::arg-style arguments (%1, %2 ...), numbers in the
// interface language's locale.
template <typename... Args> QString format(const char* key, Args&&... args) {
    return text(key).arg(std::forward<Args>(args)...);
}
QString formatNumber(qint64 n);

// Every key of one language's table (for checks of the tables).
QStringList keys(const QString& lang);

// When QUIPPET_DEBUG_LOCALE is "1": the available, preferred and chosen languages and a sample text on stderr.
void logLocaleChoice();

// Tests pin the language; an empty text returns to the automatic choice.
void overrideLanguage(const QString& lang);

} // namespace quippet::i18n
