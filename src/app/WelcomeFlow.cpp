#include "app/WelcomeFlow.h"

#include "assistant/Assistant.h"
#include "assistant/ContextDocuments.h"
#include "audio/AudioCapture.h"
#include "backend/Backend.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "secrets/Keychain.h"
#include "ui/PanelState.h"

namespace quippet {

WelcomeFlow::WelcomeFlow(Parts parts, QObject* parent) : QObject(parent), m_parts(std::move(parts)) {
    connect(&m_parts.capture, &AudioCapture::micPermissionChanged, this, &WelcomeFlow::refresh);
    connect(&m_parts.capture, &AudioCapture::screenPermissionChanged, this, &WelcomeFlow::refresh);
    connect(&m_parts.backend, &Backend::loginStateChanged, this, &WelcomeFlow::refresh);
}

void WelcomeFlow::refresh() {
    using Kind = Backend::LoginState::Kind;
    PanelState& state = m_parts.state;
    const Backend::LoginState login = m_parts.backend.loginState();
    if (login.kind == Kind::Failed) {
        state.setReady(ReadyState::loginFailed(login.message));
        return;
    }
    if (login.kind == Kind::WaitingForBrowser) {
        state.setReady(ReadyState::of(ReadyState::Kind::WaitingForBrowser));
        return;
    }
    // The stored token, not the published sign-in state, says whether the user counts as signed in.
    if (!m_parts.keychain.hasBackendToken()) {
        state.setReady(ReadyState::of(ReadyState::Kind::NeedsLogin));
        return;
    }
    QStringList missing;
    if (m_parts.capture.micPermission() != PermissionState::Granted)
        missing << i18n::text("perm.microphone");
    if (m_parts.capture.screenPermission() != PermissionState::Granted)
        missing << i18n::text("perm.screen");
    if (!missing.isEmpty()) {
        state.setReady(ReadyState::missingPermissions(missing));
        return;
    }
    state.setReady(ReadyState::of(Onboarding::needed() ? ReadyState::Kind::SetupProfile : ReadyState::Kind::Ready));
}

void WelcomeFlow::primaryAction() {
    const ReadyState ready = m_parts.state.ready();
    switch (ready.kind) {
    case ReadyState::Kind::LoginFailed:
    case ReadyState::Kind::NeedsLogin:
        m_parts.backend.startLogin();
        break;
    case ReadyState::Kind::MissingPermissions:
        if (ready.permissions.contains(i18n::text("perm.microphone")))
            m_parts.capture.tapMic();
        else
            m_parts.capture.tapScreen();
        break;
    case ReadyState::Kind::WaitingForBrowser:
        m_parts.backend.cancelLogin();
        break;
    case ReadyState::Kind::SetupProfile:
        Onboarding::createTemplates();
        m_parts.assistant.reloadContext();
        if (m_parts.openProfile)
            m_parts.openProfile();
        refresh();
        break;
    case ReadyState::Kind::Ready:
        if (m_parts.enterWorkMode)
            m_parts.enterWorkMode();
        break;
    }
}

void WelcomeFlow::secondaryAction() {
    switch (m_parts.state.ready().kind) {
    case ReadyState::Kind::MissingPermissions:
        if (m_parts.relaunch)
            m_parts.relaunch();
        break;
    case ReadyState::Kind::SetupProfile:
        Settings::setValue(Settings::kOnboardingSkipped, true);
        refresh();
        break;
    default:
        break;
    }
}

} // namespace quippet
