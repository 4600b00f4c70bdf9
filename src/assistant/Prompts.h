#pragma once

#include <QString>

namespace quippet {

// Which system instruction a request gets.
enum class PromptStyle { Suggest, Technical, Summary };

namespace Prompts {

// The user's own material that joins the base text of a system instruction.
struct Material {
    QString modeRules;     // evaluation rules or empty; joins only the suggest instruction
    QString profile;       // already limited to its maximum length
    QString sessionHeader; // conversation facts
    QString documents;     // joined company documents, already limited per file
};

// Texts in the interface language (English exactly when the interface is English, Polish otherwise).
QString systemInstruction(PromptStyle style, const Material& material);
QString answerPrompt(const QString& listing);
// `listing` empty: the screen request alone, without the context header.
QString screenPrompt(const QString& listing);
QString notePrompt(const QString& listing);

// Rules that make suggestions first-person answers in an evaluation interview; Polish in both languages.
QString evaluationRules();

// The context-folder templates written for first-time users.
QString profileTemplate();
QString offerTemplate();

} // namespace Prompts
} // namespace quippet
