#include "app/Lifecycle.h"

#include "app/ListeningSession.h"
#include "core/DiagnosticsLog.h"
#include "core/Localization.h"
#include "core/OwnerMode.h"
#include "platform/Installation.h"
#include "ui/PanelState.h"

#include <QCoreApplication>
#include <QDir>

namespace quippet {

Lifecycle::Lifecycle(const AppEnvironment& env, DiagnosticsLog& log, QObject* parent)
    : QObject(parent), m_env(env), m_log(log) {}

void Lifecycle::attach(ListeningSession& session, PanelState& state) {
    m_session = &session;
    m_state = &state;
}

bool Lifecycle::offerInstallation() {
    if (OwnerMode::isOn() || !m_env.askToInstall)
        return true;
    const QString binary = QCoreApplication::applicationFilePath();
    if (installation::isInstalledLocation(binary, QDir::homePath()) || !m_env.askToInstall())
        return true;
    const QString installed = installation::installForUser(binary, QDir::homePath(), m_log.sink());
    if (installed.isEmpty() || !m_env.relaunch)
        return true;
    const QString error = handOver(installed);
    if (error.isEmpty())
        return false;
    // Installed but not startable from there (a home mounted noexec): say so, and go on from here.
    m_log.note(QStringLiteral("instalacja: nie mogę uruchomić %1 — %2").arg(installed, error));
    m_notice = i18n::format("notice.relaunchFailed", error);
    return true;
}

void Lifecycle::end() const {
    if (m_env.quit)
        m_env.quit();
}

QString Lifecycle::handOver(const QString& binary) const {
    const QString error = m_env.relaunch(binary);
    if (error.isEmpty())
        end();
    return error;
}

// Before the launch has built the session (the installation offer) there is no conversation to keep.
void Lifecycle::afterConversation(std::function<void()> then) {
    if (m_session)
        m_session->leave(m_env.askBeforeQuit, std::move(then));
    else
        then();
}

void Lifecycle::quit() {
    afterConversation([this] { end(); });
}

void Lifecycle::relaunch(const QString& binary) {
    if (!m_env.relaunch)
        return;
    afterConversation([this, binary] {
        const QString error = handOver(binary);
        if (error.isEmpty())
            return;
        m_log.note(QStringLiteral("restart: nie mogę uruchomić %1 — %2")
                       .arg(binary.isEmpty() ? QCoreApplication::applicationFilePath() : binary, error));
        if (m_state)
            m_state->flash(i18n::format("notice.relaunchFailed", error));
    });
}

} // namespace quippet
