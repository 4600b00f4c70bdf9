#pragma once

#include "ui/WindowKit.h"

#include <QSize>
#include <QWidget>

#include <functional>

class QButtonGroup;
class QLabel;
class QLineEdit;
class QTabWidget;
class QVBoxLayout;

namespace quippet {

class Assistant;
class DocumentList;
class SessionStore;

// Where the user prepares the current conversation (contact, company, topic, sales or evaluation), manages the
// profile and documents the assistant reads, and opens or deletes finished conversations. Edits land in the
// session store at once; file changes make the assistant re-read the context folder. One window for the life of
// the process: closing hides it and the tab last chosen stays. Main thread only.
class ManagerWindow : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int tab READ tab WRITE setTab NOTIFY tabChanged)
public:
    static constexpr QSize kSize{560, 520};
    enum Tab { Conversation, Context, History };

    ManagerWindow(SessionStore& sessions, Assistant& assistant, QWidget* parent = nullptr);

    FileChooser chooseFiles = desktopFileChooser();
    UrlOpener openUrl = desktopUrlOpener();

    int tab() const;
    void setTab(int tab);
    // Shows the window in front, centred the first time.
    void present();

    void importProfile();
    void importDocuments();

signals:
    void tabChanged();
    // After the files of the context folder changed (and the assistant re-read them).
    void changed();

private:
    QWidget* buildConversationTab();
    QWidget* buildContextTab();
    QWidget* buildHistoryTab();
    QLineEdit* field(QVBoxLayout* layout, const char* objectName, const char* labelKey, const char* hintKey,
                     std::function<void(const QString&)> set);
    void showCurrent();
    void showContext();
    void showHistory();
    void contextChanged();

    SessionStore& m_sessions;
    Assistant& m_assistant;
    bool m_presented = false;

    QTabWidget* m_tabs;
    QLineEdit* m_name = nullptr;
    QLineEdit* m_company = nullptr;
    QLineEdit* m_topic = nullptr;
    QButtonGroup* m_modes = nullptr;
    QLabel* m_modeHint = nullptr;
    QLabel* m_fileName = nullptr;
    QLabel* m_profileMark = nullptr;
    QLabel* m_profileStatus = nullptr;
    DocumentList* m_documents = nullptr;
    QVBoxLayout* m_historyRows = nullptr;
};

} // namespace quippet
