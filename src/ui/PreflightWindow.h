#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace quippet {

class AudioCapture;

// One line of the pre-call check as the window shows it.
struct PreflightRow {
    enum class State { Waiting, Checking, Passed, Warning, Failed, Skipped };
    QString title;
    State state = State::Waiting;
    QString detail;
    QString advice;
    QString fixLabel;           // the one-click mend's caption; empty when there is none
    bool showsMicLevel = false; // the microphone's live level under this line

    bool operator==(const PreflightRow&) const = default;
};

// The pre-call check's window: a line per thing checked with its verdict, what it means, what to do and, where
// one exists, a button that does it; the microphone's level live while the window is open; and the button that runs
// the check (again). Closing only hides it. Main thread only.
class PreflightWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 560;
    static constexpr int kMargin = 20;
    static constexpr int kStateWidth = 96;
    static constexpr int kTextWidth = kWidth - 2 * kMargin - kStateWidth - 12;

    explicit PreflightWindow(AudioCapture& capture, QWidget* parent = nullptr);

    void setRows(const QList<PreflightRow>& rows);
    const QList<PreflightRow>& rows() const { return m_rows; }
    void setRunning(bool running);
    // The text above the lines (what the check does, or why it is offered now) and the one below them.
    void setIntro(const QString& text);
    void setFooter(const QString& text);
    // Shows the window in front, centred the first time.
    void present();

    static QString stateText(PreflightRow::State state);

signals:
    void runClicked();
    void fixClicked(int row);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct RowWidgets {
        QWidget* frame = nullptr;
        QLabel* state = nullptr;
        QLabel* title = nullptr;
        QLabel* detail = nullptr;
        QLabel* advice = nullptr;
        QPushButton* fix = nullptr;
        QProgressBar* level = nullptr;
    };
    RowWidgets makeRow(int index);
    void showRow(int index);
    void showLevel();
    void fitHeight();

    AudioCapture& m_capture;
    QList<PreflightRow> m_rows;
    QList<RowWidgets> m_widgets;
    bool m_running = false;
    bool m_presented = false;
    bool m_hasRun = false;
    QLabel* m_intro;
    QVBoxLayout* m_rowsLayout;
    QLabel* m_footer;
    QPushButton* m_runButton;
    QPushButton* m_closeButton;
};

} // namespace quippet
