#pragma once

#include "ui/ReadyState.h"

#include <QObject>

#include <optional>

namespace quippet {

class Assistant;
class AudioCapture;
class Backend;
class Keychain;
class PanelState;

// The welcome screen's step (a way in, grant access, set up the profile, ready) worked out from the sign-in state,
// the stored token or own keys, the permissions and the profile, kept current as they change; and what its actions
// do. There are two ways in: the user's own provider keys, or a Quippet server's sign-in. Main thread only.
class WelcomeFlow : public QObject {
    Q_OBJECT
public:
    struct Parts {
        PanelState& state;
        AudioCapture& capture;
        Keychain& keychain;
        Backend& backend;
        Assistant& assistant;
    };

    explicit WelcomeFlow(Parts parts, QObject* parent = nullptr);

    void refresh();
    void primaryAction();
    void secondaryAction();
    // The own-keys route: an unfinished or failed sign-in is set aside and the keys window opens.
    void useOwnKeys();
    // Keys were stored or removed: both own keys are a way in, so a failed sign-in no longer stands in the way.
    void keysChanged();
    // The server route: an address as the user typed it. An acceptable one is remembered ("backendBaseURL") and the
    // device sign-in runs against it; otherwise the face says why.
    void signInTo(const QString& address);

    // Both own provider keys are stored: the program can work without a server.
    static bool hasOwnKeys(const Keychain& keychain);

signals:
    void workModeWanted();
    void relaunchWanted();
    void profileWanted(); // the profile step after the templates exist
    void keysWanted();    // the own-keys route: the keys window

private:
    ReadyState routes(ReadyState state) const;

    Parts m_parts;
    std::optional<QString> m_addressError; // why the last typed address was not used
};

} // namespace quippet
