#include "app/WelcomeFlow.h"

#include "assistant/Assistant.h"
#include "assistant/ContextDocuments.h"
#include "audio/AudioCapture.h"
#include "backend/Backend.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "secrets/BackendUrl.h"
#include "secrets/Keychain.h"
#include "ui/PanelState.h"

namespace quippet {

WelcomeFlow::WelcomeFlow(Parts parts, QObject* parent) : QObject(parent), m_parts(std::move(parts)) {
    connect(&m_parts.capture, &AudioCapture::micPermissionChanged, this, &WelcomeFlow::refresh);
    connect(&m_parts.capture, &AudioCapture::screenPermissionChanged, this, &WelcomeFlow::refresh);
    connect(&m_parts.backend, &Backend::loginStateChanged, this, &WelcomeFlow::refresh);
}

bool WelcomeFlow::hasOwnKeys(const Keychain& keychain) {
    return keychain.read(QLatin1String(Keychain::kElevenLabsKey)) && keychain.read(QLatin1String(Keychain::kGeminiKey));
}

ReadyState WelcomeFlow::routes(ReadyState state) const {
    if (const auto configured = configuredBackendUrl())
        state.server = configured->toString();
    state.serverFromEnvironment = backendUrlFromEnvironment();
    return state;
}

void WelcomeFlow::refresh() {
    using Kind = Backend::LoginState::Kind;
    PanelState& state = m_parts.state;
    const Backend::LoginState login = m_parts.backend.loginState();
    if (m_addressError) {
        state.setReady(routes(ReadyState::loginFailed(*m_addressError)));
        return;
    }
    if (login.kind == Kind::Failed) {
        state.setReady(routes(ReadyState::loginFailed(login.message)));
        return;
    }
    if (login.kind == Kind::WaitingForBrowser) {
        state.setReady(ReadyState::of(ReadyState::Kind::WaitingForBrowser));
        return;
    }
    // The stored token, not the published sign-in state, says whether the user counts as signed in; without one,
    // the user's own keys are the way in.
    if (!m_parts.keychain.hasBackendToken() && !hasOwnKeys(m_parts.keychain)) {
        state.setReady(routes(ReadyState::of(ReadyState::Kind::NeedsLogin)));
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
        if (ready.serverIsPrimary())
            signInTo(ready.server);
        else
            useOwnKeys();
        break;
    case ReadyState::Kind::MissingPermissions:
        if (ready.permissions.contains(i18n::text("perm.microphone")))
            m_parts.capture.requestMicAccess();
        else
            m_parts.capture.requestScreenAccess();
        break;
    case ReadyState::Kind::WaitingForBrowser:
        m_parts.backend.cancelLogin();
        break;
    case ReadyState::Kind::SetupProfile:
        Onboarding::createTemplates();
        m_parts.assistant.reloadContext();
        emit profileWanted();
        refresh();
        break;
    case ReadyState::Kind::Ready:
        emit workModeWanted();
        break;
    }
}

void WelcomeFlow::secondaryAction() {
    const ReadyState ready = m_parts.state.ready();
    switch (ready.kind) {
    case ReadyState::Kind::LoginFailed:
    case ReadyState::Kind::NeedsLogin:
        if (ready.serverIsPrimary())
            useOwnKeys();
        else
            signInTo(ready.server);
        break;
    case ReadyState::Kind::MissingPermissions:
        emit relaunchWanted();
        break;
    case ReadyState::Kind::SetupProfile:
        Settings::setValue(Settings::kOnboardingSkipped, true);
        refresh();
        break;
    default:
        break;
    }
}

void WelcomeFlow::useOwnKeys() {
    m_addressError.reset();
    if (m_parts.backend.loginState().kind != Backend::LoginState::Kind::SignedIn)
        m_parts.backend.cancelLogin(); // a failure or a wait for the browser is set aside
    refresh();
    emit keysWanted();
}

void WelcomeFlow::keysChanged() {
    if (hasOwnKeys(m_parts.keychain)) {
        m_addressError.reset();
        if (m_parts.backend.loginState().kind == Backend::LoginState::Kind::Failed)
            m_parts.backend.cancelLogin();
    }
    refresh();
}

void WelcomeFlow::signInTo(const QString& address) {
    const auto parsed = parseServerAddress(address);
    if (const auto* error = std::get_if<QString>(&parsed)) {
        m_addressError = *error;
        refresh();
        return;
    }
    m_addressError.reset();
    // QUIPPET_BACKEND decides while it is set; the address shown then is that one.
    if (!backendUrlFromEnvironment())
        storeBackendUrl(std::get<QUrl>(parsed));
    m_parts.backend.startLogin();
}

} // namespace quippet
