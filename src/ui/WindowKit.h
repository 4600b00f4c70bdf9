#pragma once

#include "ui/Glyphs.h"

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class QBoxLayout;
class QLabel;
class QToolButton;
class QWidget;

namespace quippet {

// Asks the user for files to open; an empty list when cancelled. `filter` is a QFileDialog name filter.
using FileChooser =
    std::function<QStringList(QWidget* parent, const QString& title, const QString& filter, bool multiple)>;
// QFileDialog, which hands over to the desktop's file-chooser portal where one is offered.
FileChooser desktopFileChooser();
// Opens a folder or file with the desktop's default application.
using UrlOpener = std::function<void(const QUrl&)>;
UrlOpener desktopUrlOpener();

// The building blocks of the ordinary (non-panel) windows.
namespace windowKit {
QLabel* heading(const QString& text, QWidget* parent);
// Secondary text that wraps.
QLabel* caption(const QString& text, QWidget* parent, qreal scale = 0.92);
QWidget* divider(QWidget* parent);
// An icon-only button: the glyph drawn in the window's text colour, `name` spoken by screen readers and shown as the
// tooltip.
QToolButton* glyphButton(Glyph glyph, const QString& name, QWidget* parent);
// A file row: a document icon, the name, an optional detail (a size) and a trash button named `deleteName`.
QWidget* fileRow(const QString& name, const QString& detail, const QString& deleteName, std::function<void()> onDelete,
                 QWidget* parent);
// Removes and deletes every item of a layout (never from inside a signal of one of them).
void clear(QBoxLayout* layout);
// Places a top-level window in the middle of the primary screen.
void centre(QWidget* window);
// Shows a window in front with focus, centred the first time (`placed` remembers that).
void present(QWidget* window, bool& placed);
} // namespace windowKit

} // namespace quippet
