#include "ui/AnswerPanel.h"

#include "assistant/Assistant.h"
#include "core/Localization.h"
#include "ui/Controls.h"
#include "ui/OverlayText.h"
#include "ui/PanelState.h"

#include <QAbstractTextDocumentLayout>
#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextFrame>
#include <QVBoxLayout>

#include <chrono>
#include <cstdio>

namespace quippet {

namespace {

constexpr int kSegmentSpacing = 6;
// Within this many pixels of the end the reader counts as following the answer.
constexpr int kFollowSlack = 4;
// Blank space under the last line. A followed answer scrolls only when its end leaves the view, and then so far that
// the next lines fit in this space: each scroll repaints the whole card, a new line at the end only itself.
constexpr int kRunway = 120;

QFont pixelFont(qreal pixels, QFont::Weight weight = QFont::Normal, bool monospace = false) {
    QFont font;
    if (monospace) {
        font.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace")});
        font.setStyleHint(QFont::Monospace);
    }
    font.setPixelSize(qRound(pixels));
    font.setWeight(weight);
    return font;
}

} // namespace

AnswerBody::AnswerBody(QWidget* parent) : QTextBrowser(parent) {
    setObjectName(QStringLiteral("answerBody"));
    // The answer's text may be steered by the other party (through what they say or show): a link is only reported
    // (anchorClicked), for the panel to open through the https-only rule; the view itself never follows one.
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setFrameShape(QFrame::NoFrame);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard | Qt::LinksAccessibleByMouse |
                            Qt::LinksAccessibleByKeyboard);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    document()->setDocumentMargin(10);
    document()->setDefaultFont(pixelFont(14));
    document()->setUndoRedoEnabled(false);
    viewport()->setAutoFillBackground(false);
    const qreal scale = 2; // sharp on high-density screens too
    for (const auto& [glyph, colour] :
         {std::pair{Glyph::Bubble, QColor(255, 255, 255, 190)}, std::pair{Glyph::Warning, palette::kOrange}}) {
        QImage image(QSize(13, 13) * scale, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        paintGlyph(painter, glyph, QRectF(QPointF(), QSizeF(image.size())), colour);
        painter.end();
        image.setDevicePixelRatio(scale);
        (glyph == Glyph::Bubble ? m_bubble : m_warning) = image;
    }
    setStyleSheet(QStringLiteral(
        "QTextBrowser { background: transparent; border: none; color: white;"
        " selection-background-color: rgba(38,207,140,120); }"
        "QScrollBar:vertical { background: transparent; width: 8px; margin: 4px 2px; }"
        "QScrollBar::handle:vertical { background: rgba(255,255,255,60); border-radius: 2px; min-height: 24px; }"
        "QScrollBar::add-line, QScrollBar::sub-line { height: 0; }"
        "QScrollBar::add-page, QScrollBar::sub-page { background: none; }"));

    setRunway();
    QScrollBar* bar = verticalScrollBar();
    // The reader's own scrolling decides whether a growing answer is followed.
    connect(bar, &QScrollBar::valueChanged, this, [this](int value) {
        if (!m_updating)
            m_follow = showsEnd(value);
    });
    // Layout may finish after the edit: the end is reached once the range is known.
    connect(bar, &QScrollBar::rangeChanged, this, [this] {
        if (m_follow)
            keepEndInView();
    });
}

void AnswerBody::setRunway() {
    QTextFrameFormat root = document()->rootFrame()->frameFormat();
    root.setBottomMargin(root.bottomMargin() + kRunway);
    document()->rootFrame()->setFrameFormat(root);
}

bool AnswerBody::showsEnd(int value) const {
    const qreal textEnd = document()->documentLayout()->documentSize().height() - kRunway;
    return value + viewport()->height() >= textEnd - kFollowSlack;
}

bool AnswerBody::showsEnd() const {
    return showsEnd(verticalScrollBar()->value());
}

void AnswerBody::keepEndInView() {
    QScrollBar* bar = verticalScrollBar();
    if (showsEnd(bar->value()))
        return;
    const bool updating = m_updating;
    m_updating = true;
    bar->setValue(bar->maximum());
    m_updating = updating;
}

QVariant AnswerBody::loadResource(int type, const QUrl& name) {
    if (name == QUrl(QStringLiteral("quippet:bubble")))
        return m_bubble;
    if (name == QUrl(QStringLiteral("quippet:warning")))
        return m_warning;
    Q_UNUSED(type);
    return {}; // nothing from disk or elsewhere is ever loaded into the panel
}

QList<AnswerBody::Unit> AnswerBody::unitsOf(const AnswerCard& card) {
    QList<Unit> units;
    units.append({Unit::Kind::Header, card.question, false});
    for (const overlay::Segment& segment : overlay::segments(card.text)) {
        if (segment.isCode) {
            units.append({Unit::Kind::Code, segment.text, true});
            continue;
        }
        bool first = true;
        for (const QString& line : segment.text.split(QLatin1Char('\n'))) {
            units.append({Unit::Kind::Prose, line, first});
            first = false;
        }
    }
    return units;
}

void AnswerBody::paintEvent(QPaintEvent* event) {
    QTextBrowser::paintEvent(event);
    static const bool trace = qEnvironmentVariableIsSet("QUIPPET_TRACE_ANSWERS");
    if (!trace || !m_hasWords || m_tracedId == m_cardId)
        return;
    m_tracedId = m_cardId;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::fprintf(stderr, "[answer] first words painted %.1f %s\n", ms, m_question.toUtf8().constData());
    std::fflush(stderr);
}

void AnswerBody::showCard(const AnswerCard& card) {
    m_question = card.question;
    m_hasWords = !card.text.isEmpty();
    const bool otherCard = card.id != m_cardId || card.isError != m_isError;
    QList<Unit> units = unitsOf(card);
    qsizetype from = 0;
    if (!otherCard) {
        while (from < units.size() && from < m_units.size() && units[from] == m_units[from])
            ++from;
        if (from == units.size() && from == m_units.size()) {
            m_lastRendered = 0;
            return;
        }
    }
    QScrollBar* bar = verticalScrollBar();
    const int kept = bar->value();
    m_cardId = card.id;
    m_isError = card.isError;
    m_units = std::move(units);
    setAccessibleName(card.kind);

    m_updating = true;
    render(otherCard ? 0 : from);
    if (otherCard) {
        bar->setValue(0);
        m_follow = showsEnd(0);
    } else if (m_follow) {
        keepEndInView();
    } else {
        bar->setValue(kept);
    }
    m_updating = false;
}

void AnswerBody::render(qsizetype from) {
    if (from == 0) {
        document()->clear();
        setRunway();
        m_from.clear();
        m_inTail.clear();
        m_tailEmpty = true;
    }
    QTextCursor cursor(document());
    cursor.beginEditBlock();
    if (from > 0 && from < m_from.size()) {
        cursor.setPosition(m_from[from]);
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
        m_tailEmpty = m_inTail[from];
        m_from.resize(from);
        m_inTail.resize(from);
    } else if (from > 0) {
        cursor.movePosition(QTextCursor::End);
    }
    for (qsizetype i = from; i < m_units.size(); ++i)
        insertUnit(cursor, m_units[i]);
    cursor.endEditBlock();
    m_lastRendered = int(m_units.size() - from);
}

void AnswerBody::insertUnit(QTextCursor& cursor, const Unit& unit) {
    m_from.append(cursor.position());
    m_inTail.append(m_tailEmpty);
    if (unit.kind == Unit::Kind::Code) {
        QTextFrameFormat frame;
        frame.setPadding(8);
        frame.setTopMargin(kSegmentSpacing);
        frame.setBottomMargin(kSegmentSpacing);
        frame.setBackground(QColor(0, 0, 0, 150));
        frame.setBorder(0);
        cursor.insertFrame(frame);
        QTextCharFormat code;
        code.setFont(pixelFont(12.5, QFont::Normal, true));
        code.setForeground(QColor(230, 230, 235));
        cursor.insertText(unit.text, code);
        cursor.movePosition(QTextCursor::End);
        m_tailEmpty = true;
        return;
    }

    QTextBlockFormat block;
    QTextCharFormat base;
    if (unit.kind == Unit::Kind::Header) {
        block.setBottomMargin(2);
        base.setFont(pixelFont(12, QFont::Medium));
        base.setForeground(QColor(255, 255, 255, 190));
    } else {
        block.setTopMargin(unit.startsSegment ? kSegmentSpacing : 0);
        base.setFont(pixelFont(14));
        base.setForeground(m_isError ? palette::kOrange : QColor(255, 255, 255, 240));
    }
    if (m_tailEmpty) {
        cursor.setBlockFormat(block);
        cursor.setBlockCharFormat(base);
    } else {
        cursor.insertBlock(block, base);
    }
    m_tailEmpty = false;
    if (unit.kind == Unit::Kind::Header) {
        // The marks are drawn, not emoji: not every desktop has a colour emoji font.
        QTextImageFormat mark;
        mark.setName(m_isError ? QStringLiteral("quippet:warning") : QStringLiteral("quippet:bubble"));
        mark.setWidth(13);
        mark.setHeight(13);
        mark.setVerticalAlignment(QTextCharFormat::AlignMiddle);
        cursor.insertImage(mark);
        cursor.insertText(QStringLiteral("  ") + unit.text, base);
        return;
    }
    for (const overlay::Run& run : overlay::styled(unit.text)) {
        QTextCharFormat format = base;
        if (run.style & overlay::Run::Bold)
            format.setFontWeight(QFont::Bold);
        if (run.style & overlay::Run::Italic)
            format.setFontItalic(true);
        if (run.style & overlay::Run::Strike)
            format.setFontStrikeOut(true);
        if (run.style & overlay::Run::Code) {
            format.setFontFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace")});
            format.setFontStyleHint(QFont::Monospace);
            format.setProperty(QTextFormat::FontPixelSize, 13);
            format.setBackground(QColor(255, 255, 255, 28));
        }
        if (!run.link.isEmpty()) {
            format.setAnchor(true);
            format.setAnchorHref(run.link);
            format.setFontUnderline(true);
            format.setForeground(QColor(120, 190, 255));
        }
        cursor.insertText(run.text, format);
    }
}

AnswerPanel::AnswerPanel(Assistant& assistant, PanelState& state, QWidget* parent)
    : QWidget(parent), m_assistant(assistant), m_state(state) {
    setObjectName(QStringLiteral("answerPanel"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);

    auto* header = new QHBoxLayout;
    header->setSpacing(4);
    const QColor clear(0, 0, 0, 0);
    const QColor ink(255, 255, 255, 215);
    auto button = [&](Glyph glyph, const char* helpKey, const char* name) {
        auto* b = new ChromeButton(glyph, i18n::text(helpKey), this, 24, ink, clear);
        b->setObjectName(QLatin1String(name));
        return b;
    };
    m_back = button(Glyph::ChevronLeft, "panel.previousAnswer", "answerBack");
    m_counter = new QLabel(this);
    m_counter->setObjectName(QStringLiteral("answerCounter"));
    m_counter->setFont(pixelFont(11.5, QFont::Normal, true));
    m_counter->setStyleSheet(QStringLiteral("color: rgba(255,255,255,170);"));
    m_forward = button(Glyph::ChevronRight, "panel.nextAnswer", "answerForward");
    auto* copyButton = button(Glyph::Copy, "panel.copy", "answerCopy");
    auto* deleteButton = button(Glyph::Trash, "panel.deleteAnswer", "answerDelete");
    auto* closeButton = button(Glyph::Close, "panel.closeAnswers", "answerClose");
    header->addWidget(m_back);
    header->addWidget(m_counter);
    header->addWidget(m_forward);
    header->addStretch();
    header->addWidget(copyButton);
    header->addWidget(deleteButton);
    header->addWidget(closeButton);
    layout->addLayout(header);

    m_body = new AnswerBody(this);
    layout->addWidget(m_body, 1);

    connect(m_back, &QAbstractButton::clicked, &m_assistant, &Assistant::goBack);
    connect(m_forward, &QAbstractButton::clicked, &m_assistant, &Assistant::goForward);
    connect(copyButton, &QAbstractButton::clicked, this, &AnswerPanel::copy);
    connect(deleteButton, &QAbstractButton::clicked, &m_assistant, &Assistant::dropCurrent);
    connect(closeButton, &QAbstractButton::clicked, &m_assistant, &Assistant::closeAll);
    connect(&m_assistant, &Assistant::cardsChanged, this, &AnswerPanel::updateHeader);
    connect(&m_assistant, &Assistant::indexChanged, this, &AnswerPanel::updateHeader);
    connect(&m_assistant, &Assistant::currentChanged, this, &AnswerPanel::updateCard);
    updateHeader();
    updateCard();
}

// The card's background, behind the text view: drawn here so that only the part a repaint needs is filled.
void AnswerPanel::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    fillRounded(p, event->region(), m_body->geometry(), 10, QColor(255, 255, 255, 13));
}

void AnswerPanel::updateHeader() {
    const int count = int(m_assistant.cards().size());
    const int index = m_assistant.index();
    m_back->setEnabled(index > 0);
    m_forward->setEnabled(index < count - 1);
    m_counter->setText(QStringLiteral("%1/%2").arg(count ? index + 1 : 0).arg(count));
}

void AnswerPanel::updateCard() {
    if (const auto card = m_assistant.current())
        m_body->showCard(*card);
}

void AnswerPanel::copy() {
    const auto card = m_assistant.current();
    if (!card)
        return;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(card->text);
    m_state.flash(i18n::text("notice.copied"));
}

} // namespace quippet
