#pragma once

#include "ui/WindowKit.h"

#include <QSize>
#include <QTimer>
#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

namespace quippet {

class DocumentList;

// The user's self-description "o-mnie.md" in a text editor, and the documents of the context folder with their
// sizes: add (also by dropping files onto the documents tab), show the folder, delete. One window for the life of
// the process. Main thread only.
class ProfileWindow : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool savedFlash READ savedFlash NOTIFY savedFlashChanged)
public:
    static constexpr QSize kSize{580, 540};
    static constexpr int kSavedFlashMs = 2000;

    explicit ProfileWindow(QWidget* parent = nullptr);

    FileChooser chooseFiles = desktopFileChooser();
    UrlOpener openUrl = desktopUrlOpener();

    bool savedFlash() const { return m_flash.isActive(); }
    // Shows the window in front; a hidden window first re-reads the profile and the documents.
    void present();

    void saveProfile();
    void addFiles();
    void importFiles(const QStringList& paths);

signals:
    void savedFlashChanged();
    // After the profile or a document changed on disk.
    void changed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildProfileTab();
    QWidget* buildDocsTab();
    void loadProfile();
    void refreshDocs();

    bool m_presented = false;
    QTimer m_flash;
    QTabWidget* m_tabs;
    QPlainTextEdit* m_editor = nullptr;
    QLabel* m_encodingWarning = nullptr;
    QLabel* m_saveError = nullptr;
    QPushButton* m_save = nullptr;
    QWidget* m_docsTab = nullptr;
    DocumentList* m_documents = nullptr;
};

} // namespace quippet
