#pragma once

#include "app/AppEnvironment.h"

#include <QObject>

namespace quippet {

class DiagnosticsLog;
class ListeningSession;
class PanelState;

// How the program ends or hands over to another copy of itself: the installation offer before the launch, quitting,
// and relaunching. Both of the last end the program only once the conversation is saved or dropped as the user
// chose and a metered session is closed; a relaunch that cannot start says why and keeps this one running.
// Main thread only.
class Lifecycle : public QObject {
    Q_OBJECT
public:
    Lifecycle(const AppEnvironment& env, DiagnosticsLog& log, QObject* parent = nullptr);

    // Started from outside an installed location (a build tree, a download), the user is offered a per-user install
    // once per launch; after installing, the installed copy takes over (false). A refusal or a failure launches in
    // place (true).
    bool offerInstallation();
    // The conversation to finish first and where to say a failed relaunch; both set once the launch has built them.
    void attach(ListeningSession& session, PanelState& state);
    // A notice for the panel once it exists (a relaunch from the installation that failed); empty when none.
    QString takeNotice() { return std::exchange(m_notice, {}); }

    void quit();
    void relaunch(const QString& binary = {});

private:
    void end() const;
    // Starts `binary` as the new instance and ends this one; why it could not start, or nothing.
    QString handOver(const QString& binary) const;
    void afterConversation(std::function<void()> then);

    const AppEnvironment& m_env;
    DiagnosticsLog& m_log;
    ListeningSession* m_session = nullptr;
    PanelState* m_state = nullptr;
    QString m_notice;
};

} // namespace quippet
