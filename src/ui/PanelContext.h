#pragma once

#include <QUrl>

#include <functional>

namespace quippet {

class Assistant;
class AudioCapture;
class Backend;
class Commands;
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

// What the panel's views reach beyond their models: the commands they trigger, and a few answers they show.
struct PanelContext {
    Commands* commands = nullptr;
    std::function<RehearsalView()> rehearsal;
    std::function<void(const QUrl&)> openUrl;
    std::function<bool()> hasBackendToken; // signed in: the account entry offers sign-out
    std::function<bool()> hasOwnKeys;      // both own provider keys are stored

    // Triggers a command of the table by name; nothing without commands.
    void trigger(const char* command) const;
};

} // namespace quippet
