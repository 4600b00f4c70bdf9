#include "ui/PreflightWindow.h"

#include "ui/WindowKit.h"

#include "audio/AudioCapture.h"
#include "core/Localization.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace quippet {

namespace {

QColor stateColour(PreflightRow::State state, const QPalette& palette) {
    switch (state) {
    case PreflightRow::State::Passed:
        return QColor(0x2e, 0x7d, 0x32);
    case PreflightRow::State::Warning:
        return QColor(0xb2, 0x6a, 0x00);
    case PreflightRow::State::Failed:
        return QColor(0xc6, 0x28, 0x28);
    case PreflightRow::State::Waiting:
    case PreflightRow::State::Checking:
    case PreflightRow::State::Skipped:
        break;
    }
    return palette.color(QPalette::PlaceholderText);
}

// The level bar in dB from -60 to 0, as a level meter reads.
int levelPercent(float rms) {
    if (rms <= 0)
        return 0;
    const double db = 20 * std::log10(double(rms));
    return int(std::lround(std::clamp((db + 60) / 60, 0.0, 1.0) * 100));
}

} // namespace

QString PreflightWindow::stateText(PreflightRow::State state) {
    switch (state) {
    case PreflightRow::State::Waiting:
        return i18n::text("preflight.verdict.waiting");
    case PreflightRow::State::Checking:
        return i18n::text("preflight.verdict.checking");
    case PreflightRow::State::Passed:
        return i18n::text("preflight.verdict.passed");
    case PreflightRow::State::Warning:
        return i18n::text("preflight.verdict.warning");
    case PreflightRow::State::Failed:
        return i18n::text("preflight.verdict.failed");
    case PreflightRow::State::Skipped:
        return i18n::text("preflight.verdict.skipped");
    }
    return {};
}

PreflightWindow::PreflightWindow(AudioCapture& capture, QWidget* parent) : QWidget(parent), m_capture(capture) {
    setObjectName(QStringLiteral("preflightWindow"));
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Quippet — ") + i18n::text("preflight.title"));
    setFixedWidth(kWidth);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kMargin, 16, kMargin, 16);
    layout->setSpacing(8);
    auto* title = windowKit::heading(i18n::text("preflight.title"), this);
    layout->addWidget(title);
    m_intro = windowKit::caption(i18n::text("preflight.intro"), this);
    m_intro->setObjectName(QStringLiteral("preflightIntro"));
    layout->addWidget(m_intro);
    layout->addWidget(windowKit::divider(this));
    m_rowsLayout = new QVBoxLayout;
    m_rowsLayout->setSpacing(10);
    layout->addLayout(m_rowsLayout);
    layout->addWidget(windowKit::divider(this));
    m_footer = windowKit::caption(QString(), this);
    m_footer->setObjectName(QStringLiteral("preflightFooter"));
    m_footer->hide();
    layout->addWidget(m_footer);

    auto* buttons = new QHBoxLayout;
    m_runButton = new QPushButton(i18n::text("preflight.run"), this);
    m_runButton->setObjectName(QStringLiteral("runButton"));
    m_runButton->setDefault(true);
    m_closeButton = new QPushButton(i18n::text("preflight.close"), this);
    m_closeButton->setObjectName(QStringLiteral("closeButton"));
    buttons->addStretch();
    buttons->addWidget(m_closeButton);
    buttons->addWidget(m_runButton);
    layout->addLayout(buttons);

    connect(m_runButton, &QPushButton::clicked, this, &PreflightWindow::runClicked);
    connect(m_closeButton, &QPushButton::clicked, this, &QWidget::close);
    connect(&m_capture, &AudioCapture::myLevelChanged, this, &PreflightWindow::showLevel);
}

PreflightWindow::RowWidgets PreflightWindow::makeRow(int index) {
    RowWidgets w;
    const QString n = QString::number(index);
    w.frame = new QWidget(this);
    w.frame->setObjectName(QStringLiteral("preflightRow") + n);
    auto* row = new QHBoxLayout(w.frame);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    w.state = new QLabel(w.frame);
    w.state->setObjectName(QStringLiteral("state") + n);
    w.state->setFixedWidth(kStateWidth);
    w.state->setWordWrap(true);
    w.state->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QFont bold = w.state->font();
    bold.setWeight(QFont::DemiBold);
    w.state->setFont(bold);
    row->addWidget(w.state, 0, Qt::AlignTop);

    auto* text = new QVBoxLayout;
    text->setSpacing(2);
    w.title = new QLabel(w.frame);
    w.title->setFont(bold);
    w.title->setWordWrap(true);
    w.title->setFixedWidth(kTextWidth);
    w.detail = new QLabel(w.frame);
    w.detail->setObjectName(QStringLiteral("detail") + n);
    w.detail->setWordWrap(true);
    w.detail->setFixedWidth(kTextWidth);
    w.detail->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    w.advice = windowKit::caption(QString(), w.frame);
    w.advice->setObjectName(QStringLiteral("advice") + n);
    w.advice->setFixedWidth(kTextWidth);
    text->addWidget(w.title);
    text->addWidget(w.detail);
    text->addWidget(w.advice);
    w.level = new QProgressBar(w.frame);
    w.level->setRange(0, 100);
    w.level->setTextVisible(false);
    w.level->setFixedSize(kTextWidth, 8);
    w.level->setAccessibleName(i18n::text("preflight.micLevel"));
    w.level->hide();
    text->addWidget(w.level);
    // Under the advice rather than beside it: the text keeps the whole width, so its wrapped height is right.
    w.fix = new QPushButton(w.frame);
    w.fix->setObjectName(QStringLiteral("fix") + n);
    w.fix->hide();
    text->addWidget(w.fix, 0, Qt::AlignLeft);
    row->addLayout(text, 1);
    connect(w.fix, &QPushButton::clicked, this, [this, index] { emit fixClicked(index); });
    m_rowsLayout->addWidget(w.frame);
    return w;
}

void PreflightWindow::setRows(const QList<PreflightRow>& rows) {
    const bool grown = m_widgets.size() < rows.size();
    while (m_widgets.size() < rows.size())
        m_widgets.append(makeRow(int(m_widgets.size())));
    if (grown) {
        // Tab goes through the mends from the top, then to Close and to the check itself.
        QWidget* previous = nullptr;
        for (const RowWidgets& w : std::as_const(m_widgets)) {
            if (previous)
                setTabOrder(previous, w.fix);
            previous = w.fix;
        }
        setTabOrder(previous, m_closeButton);
        setTabOrder(m_closeButton, m_runButton);
    }
    for (qsizetype i = rows.size(); i < m_widgets.size(); ++i)
        m_widgets[i].frame->hide();
    m_rows = rows;
    for (int i = 0; i < int(rows.size()); ++i)
        showRow(i);
    showLevel();
    fitHeight();
}

// Verdicts come in with texts of their own length: each wrapped text is given the height it needs at the column's
// fixed width, and the window the height of them all.
void PreflightWindow::fitHeight() {
    for (const RowWidgets& w : std::as_const(m_widgets))
        for (QLabel* label : {w.title, w.detail, w.advice})
            label->setFixedHeight(label->text().isEmpty() ? 0 : label->heightForWidth(kTextWidth));
    // The layouts cache their items' hints; they are asked afresh.
    for (const RowWidgets& w : std::as_const(m_widgets)) {
        w.frame->layout()->invalidate();
        w.frame->layout()->activate();
    }
    layout()->invalidate();
    layout()->activate();
    setFixedHeight(std::max(layout()->totalSizeHint().height(), layout()->totalMinimumSize().height()));
}

void PreflightWindow::showRow(int index) {
    const PreflightRow& r = m_rows.at(index);
    RowWidgets& w = m_widgets[index];
    w.frame->show();
    const QString state = stateText(r.state);
    w.state->setText(state);
    QPalette palette = w.state->palette();
    palette.setColor(QPalette::WindowText, stateColour(r.state, palette));
    w.state->setPalette(palette);
    w.title->setText(r.title);
    w.detail->setText(r.detail);
    w.detail->setVisible(!r.detail.isEmpty());
    w.advice->setText(r.advice);
    w.advice->setVisible(!r.advice.isEmpty());
    w.fix->setText(r.fixLabel);
    // Two lines may offer the same mend: a screen reader tells them apart by the line's name and verdict.
    w.fix->setAccessibleName(r.fixLabel + QStringLiteral(" — ") + r.title);
    w.fix->setAccessibleDescription(QStringList{state, r.detail, r.advice}.join(QLatin1Char(' ')).trimmed());
    w.fix->setVisible(!r.fixLabel.isEmpty());
    w.fix->setEnabled(!m_running);
    w.level->setVisible(r.showsMicLevel);
    w.level->setObjectName(r.showsMicLevel ? QStringLiteral("micLevel") : QString());
    // What a screen reader says on reaching the line: the thing, its verdict, then the explanation.
    w.frame->setAccessibleName(r.title + QStringLiteral(": ") + state);
    w.frame->setAccessibleDescription(QStringList{r.detail, r.advice}.join(QLatin1Char(' ')).trimmed());
}

void PreflightWindow::showLevel() {
    for (int i = 0; i < int(m_rows.size()); ++i)
        if (m_rows.at(i).showsMicLevel)
            m_widgets[i].level->setValue(levelPercent(m_capture.myLevel()));
}

void PreflightWindow::setRunning(bool running) {
    m_running = running;
    if (running)
        m_hasRun = true;
    m_runButton->setEnabled(!running);
    m_runButton->setText(i18n::text(m_hasRun ? "preflight.runAgain" : "preflight.run"));
    for (int i = 0; i < int(m_rows.size()); ++i)
        m_widgets[i].fix->setEnabled(!running);
}

void PreflightWindow::setIntro(const QString& text) {
    m_intro->setText(text);
}

void PreflightWindow::setFooter(const QString& text) {
    m_footer->setText(text);
    m_footer->setVisible(!text.isEmpty());
    fitHeight();
}

void PreflightWindow::present() {
    fitHeight();
    windowKit::present(this, m_presented);
}

void PreflightWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    // Return presses the focused button, else runs the check (a plain window has no default button of its own).
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        auto* focused = qobject_cast<QPushButton*>(focusWidget());
        QPushButton* target = focused && focused->isVisible() ? focused : m_runButton;
        if (target->isEnabled())
            target->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace quippet
