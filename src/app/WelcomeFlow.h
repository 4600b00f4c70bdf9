#pragma once

#include <QObject>

#include <functional>

namespace quippet {

class Assistant;
class AudioCapture;
class Backend;
class Keychain;
class PanelState;

// The welcome screen's step (sign in, grant access, set up the profile, ready) worked out from the sign-in state,
// the stored token, the permissions and the profile, kept current as they change; and what its two actions do.
// Main thread only.
class WelcomeFlow : public QObject {
    Q_OBJECT
public:
    struct Parts {
        PanelState& state;
        AudioCapture& capture;
        Keychain& keychain;
        Backend& backend;
        Assistant& assistant;
        std::function<void()> enterWorkMode;
        std::function<void()> relaunch;
        std::function<void()> openProfile; // the profile step after the templates exist
    };

    explicit WelcomeFlow(Parts parts, QObject* parent = nullptr);

    void refresh();
    void primaryAction();
    void secondaryAction();

private:
    Parts m_parts;
};

} // namespace quippet
