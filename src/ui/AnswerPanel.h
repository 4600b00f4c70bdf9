#pragma once

#include <QImage>
#include <QTextBrowser>
#include <QUuid>
#include <QWidget>

class QLabel;

namespace quippet {

class Assistant;
class ChromeButton;
class PanelState;
struct AnswerCard;

// The current answer card's text. A growing card is rendered incrementally: only the lines from the first one
// that changed are laid out again, so a long streamed answer costs per fragment what its last line costs. While
// the reader stays at the end the view follows a growing answer; once they scroll up it keeps their place.
class AnswerBody : public QTextBrowser {
    Q_OBJECT
public:
    explicit AnswerBody(QWidget* parent = nullptr);
    void showCard(const AnswerCard& card);
    // Lines laid out again by the last showCard (for the benchmark and tests of the incremental path).
    int lastRenderedUnits() const { return m_lastRendered; }
    // The card's last line is in view.
    bool showsEnd() const;
    QVariant loadResource(int type, const QUrl& name) override;

protected:
    // With QUIPPET_TRACE_ANSWERS set, the moment a card's first words reach the screen goes to standard error
    // (steady-clock milliseconds and the card's question), for the end-to-end benchmark.
    void paintEvent(QPaintEvent* event) override;

private:
    struct Unit {
        enum class Kind { Header, Prose, Code };
        Kind kind;
        QString text;
        bool startsSegment = false;
        bool operator==(const Unit&) const = default;
    };
    static QList<Unit> unitsOf(const AnswerCard& card);
    void render(qsizetype from);
    void setRunway();
    bool showsEnd(int scrollValue) const;
    void keepEndInView();
    void insertUnit(QTextCursor& cursor, const Unit& unit);

    QImage m_bubble, m_warning;
    QUuid m_cardId;
    bool m_isError = false;
    QString m_question;
    bool m_hasWords = false;
    QUuid m_tracedId;
    QList<Unit> m_units;
    // Per unit: where its text begins in the document (before its block break), and whether it was written into
    // the empty block a code frame leaves behind it.
    QList<int> m_from;
    QList<bool> m_inTail;
    bool m_tailEmpty = true;
    bool m_follow = true;
    bool m_updating = false;
    int m_lastRendered = 0;
};

// The answer card with its header: back, position among the cards, forward, copy, delete, close.
class AnswerPanel : public QWidget {
    Q_OBJECT
public:
    AnswerPanel(Assistant& assistant, PanelState& state, QWidget* parent = nullptr);
    AnswerBody* body() const { return m_body; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void updateHeader();
    void updateCard();
    void copy();

    Assistant& m_assistant;
    PanelState& m_state;
    ChromeButton* m_back;
    ChromeButton* m_forward;
    QLabel* m_counter;
    AnswerBody* m_body;
};

} // namespace quippet
