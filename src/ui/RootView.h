#pragma once

#include <QStackedWidget>

#include <functional>

class QLabel;
class QPushButton;
class QTextBrowser;

namespace quippet {

class Assistant;
class AudioCapture;
class Backend;
class PanelState;
class SessionStore;
class TranscriptBuffer;
class WelcomeView;

// The panel's content: the collapsed orb, the welcome screen or the working overlay, chosen from the panel state.
class RootView : public QStackedWidget {
    Q_OBJECT
public:
    struct Callbacks {
        std::function<void()> onPrimary, onSecondary, onCollapse, onCenter, onTogglePrivate, onSettings, onManager,
            onFinishSession, onToggleListening, onAccount, onQuit;
    };

    RootView(Callbacks callbacks, PanelState& state, AudioCapture& capture, TranscriptBuffer& transcript,
             Assistant& assistant, SessionStore& sessions, Backend& backend, QWidget* parent = nullptr);

    enum class Face { Collapsed, Welcome, Working };
    Face face() const;
    WelcomeView* welcomeView() const { return m_welcome; }
    // Whether a backend token is stored (the account entry of the menu offers sign-in or sign-out).
    void setTokenCheck(std::function<bool()> hasToken) { m_hasToken = std::move(hasToken); }

private:
    void chooseFace();
    void fillWelcomeMenu();
    void updateWelcome();
    void updateWorking();
    QWidget* buildWorking();

    Callbacks m_callbacks;
    std::function<bool()> m_hasToken;
    PanelState& m_state;
    AudioCapture& m_capture;
    TranscriptBuffer& m_transcript;
    Assistant& m_assistant;
    QWidget* m_collapsed = nullptr;
    WelcomeView* m_welcome = nullptr;
    QWidget* m_working = nullptr;
    QPushButton* m_listen = nullptr;
    QLabel* m_elapsed = nullptr;
    QLabel* m_line = nullptr;
    QLabel* m_notice = nullptr;
    QLabel* m_cardTitle = nullptr;
    QTextBrowser* m_card = nullptr;
};

} // namespace quippet
