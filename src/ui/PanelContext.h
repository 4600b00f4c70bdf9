#pragma once

#include <QUrl>

#include <functional>

namespace quippet {

class Assistant;
class AudioCapture;
class Backend;
class PanelState;
class SessionStore;
class TranscriptBuffer;
class UsageMeter;

// The shared models the panel's views read and act on; they outlive the views.
struct PanelModels {
    PanelState& state;
    AudioCapture& capture;
    TranscriptBuffer& transcript;
    Assistant& assistant;
    UsageMeter& usage;
    SessionStore& sessions;
    Backend& backend;
};

// The practice conversation as the menus show it.
struct RehearsalView {
    bool available = true; // a voice is installed
    bool running = false;
    QString status; // the question being asked
};

// What the panel asks of the controller. Unset callbacks do nothing.
struct PanelCallbacks {
    std::function<void()> onPrimary, onSecondary, onCollapse, onCenter, onTogglePrivate, onSettings, onManager,
        onFinishSession, onToggleListening, onAccount, onQuit;
    std::function<void()> onProfile;      // the profile and its documents
    std::function<void()> onCheckUpdates; // asks for a newer version, with a visible answer
    std::function<void()> onShortcuts;    // the shortcuts window: what each one is bound to, the commands to bind
    std::function<void()> onPreflight;    // the check before a call
    // Start or end the practice conversation; skip to its next question.
    std::function<void()> onRehearsal, onRehearsalNext;
    std::function<RehearsalView()> rehearsal;
    std::function<void(const QUrl&)> openUrl;
    std::function<bool()> hasBackendToken; // signed in: the account entry offers sign-out
    std::function<bool()> hasOwnKeys;      // both own provider keys are stored
    // Sign in to the Quippet server at an address as the user typed it; and asking for one first.
    std::function<void(const QString& address)> onServerSignIn;
    std::function<void()> onAskServerSignIn;

    // Calls an optional callback.
    static void call(const std::function<void()>& fn) {
        if (fn)
            fn();
    }
};

} // namespace quippet
