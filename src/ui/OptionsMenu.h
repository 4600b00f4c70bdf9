#pragma once

#include "ui/PanelContext.h"

#include <QMenu>

namespace quippet {

// The "…" menu of the welcome screen or of the working panel. Built afresh each time it opens, so its toggles,
// account lines and context count show the present state. Every entry's object name is its text key.
class OptionsMenu : public QMenu {
    Q_OBJECT
public:
    enum class Kind { Welcome, Overlay };

    struct Language {
        const char* code;
        const char* nameKey;
    };
    // The transcription languages, in the order they are offered.
    static const QList<Language>& languages();

    OptionsMenu(Kind kind, PanelModels models, const PanelContext& context, QWidget* parent = nullptr);
    void rebuild();

private:
    void buildWelcome();
    void buildOverlay();
    void rehearsalEntries();
    QAction* entry(const char* key, const std::function<void()>& action);
    // An entry that triggers a command of the table.
    QAction* command(const char* key, const char* name);
    QAction* toggle(const char* key, bool on, const std::function<void(bool)>& changed);
    QAction* line(const QString& text, const char* name, const std::function<void()>& action);
    void accountEntries();
    void section(const QString& title, const char* name);

    Kind m_kind;
    PanelModels m_models;
    const PanelContext& m_context;
};

} // namespace quippet
