#pragma once

#include "ui/PanelContext.h"

#include <QWidget>

class QHBoxLayout;
class QStackedLayout;

namespace quippet {

class AnswerPanel;
class ChromeButton;
class GlyphLabel;
class LevelOrb;
class OptionsMenu;
class PillButton;
class RowButton;
class StatusDot;

// The working face of the panel: the toolbar, the loudspeaker line, the live transcript strip, the current answer
// card and, in owner mode, the last two diagnostic lines. Each part listens to the models it shows and changes
// only itself: a clock tick touches the clock, a partial transcript the strip, a stream fragment the card.
class OverlayView : public QWidget {
    Q_OBJECT
public:
    OverlayView(PanelModels models, const PanelContext& context, QWidget* parent = nullptr);
    OptionsMenu* optionsMenu() const { return m_menu; }

private:
    void buildToolbar(QHBoxLayout* bar);
    void updatePermissions();
    void updateBusy();
    void updateListening();
    void updateSpeakers();
    void updateStrip();
    void updateStatusLines();
    void updateAnswerVisible();
    void speakerWarningClicked();

    PanelModels m_models;
    const PanelContext& m_context;
    OptionsMenu* m_menu;
    LevelOrb* m_orb = nullptr;
    StatusDot* m_screenDot = nullptr;
    StatusDot* m_micDot = nullptr;
    PillButton* m_answer = nullptr;
    PillButton* m_analyze = nullptr;
    PillButton* m_finish = nullptr;
    PillButton* m_listen = nullptr;
    QWidget* m_speakerLine = nullptr;
    GlyphLabel* m_speakerNote = nullptr;
    RowButton* m_speakerWarning = nullptr;
    QWidget* m_strip = nullptr;
    QStackedLayout* m_stripFaces = nullptr;
    GlyphLabel* m_line = nullptr;
    RowButton* m_startListening = nullptr;
    AnswerPanel* m_answerPanel = nullptr;
    QList<GlyphLabel*> m_statusLines;
};

} // namespace quippet
