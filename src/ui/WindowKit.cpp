#include "ui/WindowKit.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QToolButton>

namespace quippet {

FileChooser desktopFileChooser() {
    return [](QWidget* parent, const QString& title, const QString& filter, bool multiple) {
        if (multiple)
            return QFileDialog::getOpenFileNames(parent, title, QString(), filter);
        const QString one = QFileDialog::getOpenFileName(parent, title, QString(), filter);
        return one.isEmpty() ? QStringList() : QStringList{one};
    };
}

UrlOpener desktopUrlOpener() {
    return [](const QUrl& url) { QDesktopServices::openUrl(url); };
}

namespace windowKit {

QLabel* heading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setWeight(QFont::DemiBold);
    font.setPointSizeF(font.pointSizeF() * 1.1);
    label->setFont(font);
    return label;
}

QLabel* caption(const QString& text, QWidget* parent, qreal scale) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    label->setFont(font);
    return label;
}

QWidget* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QToolButton* glyphButton(Glyph glyph, const QString& name, QWidget* parent) {
    auto* button = new QToolButton(parent);
    const qreal ratio = qApp->devicePixelRatio();
    QPixmap pixmap(QSize(16, 16) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    paintGlyph(painter, glyph, QRectF(0, 0, 16, 16), button->palette().color(QPalette::ButtonText));
    painter.end();
    button->setIcon(QIcon(pixmap));
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::StrongFocus);
    button->setToolTip(name);
    button->setAccessibleName(name);
    return button;
}

QWidget* fileRow(const QString& name, const QString& detail, const QString& deleteName, std::function<void()> onDelete,
                 QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* icon = new QLabel(row);
    icon->setPixmap(row->style()->standardIcon(QStyle::SP_FileIcon).pixmap(16, 16));
    layout->addWidget(icon);
    auto* label = new QLabel(name, row);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(label, 1);
    if (!detail.isEmpty())
        layout->addWidget(caption(detail, row));
    QToolButton* trash = glyphButton(Glyph::Trash, deleteName, row);
    trash->setObjectName(QStringLiteral("deleteButton"));
    trash->setProperty("fileName", name);
    // Queued, and bound to the list rather than the row: the row goes away with the file.
    QObject::connect(trash, &QToolButton::clicked, parent, std::move(onDelete), Qt::QueuedConnection);
    layout->addWidget(trash);
    return row;
}

void clear(QBoxLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget(); // rows are widgets; a spacer or layout item is the item itself
        delete item;
    }
}

void centre(QWidget* window) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), window->size());
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
}

void present(QWidget* window, bool& placed) {
    if (!placed) {
        placed = true;
        centre(window);
    }
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace windowKit

} // namespace quippet
