#include "app/ToolWindows.h"

#include "assistant/GeminiClient.h"
#include "audio/AudioCapture.h"
#include "core/Localization.h"
#include "secrets/BackendUrl.h"
#include "secrets/Credentials.h"
#include "secrets/Keychain.h"
#include "speech/RealtimeTranscription.h"
#include "speech/SpeechProbe.h"
#include "ui/KeysWindow.h"
#include "ui/ManagerWindow.h"
#include "ui/ProfileWindow.h"

#include <QInputDialog>
#include <QLineEdit>

namespace quippet {

ToolWindows::ToolWindows(Parts parts, QObject* parent) : QObject(parent), m_parts(std::move(parts)) {}

ToolWindows::~ToolWindows() = default;

void ToolWindows::listModels(std::function<void(PreflightCheck::ModelList)> done) {
    if (!m_modelList)
        m_modelList = std::make_unique<GeminiClient>(m_parts.keychain, m_parts.clock, m_parts.rateGate);
    m_modelList->verify(std::move(done), this);
}

// The key in the keyring, whatever the sign-in: one short connection with it.
void ToolWindows::verifySpeech(std::function<void(const SpeechVerdict&)> done) {
    if (!m_speechProbe)
        m_speechProbe = std::make_unique<SpeechProbe>(m_parts.clock);
    m_speechProbe->disconnect(this);
    connect(m_speechProbe.get(), &SpeechProbe::finished, this, [done](const SpeechVerdict& verdict) { done(verdict); });
    Keychain* keychain = &m_parts.keychain;
    m_speechProbe->start(
        realtimeTranscriberFactory(m_parts.clock,
                                   [keychain] { return std::make_shared<KeychainCredentialProvider>(*keychain); }),
        m_parts.capture.language(), PreflightCheck::kNetworkWait);
}

void ToolWindows::showKeys() {
    if (!m_keys) {
        KeysWindow::Services services;
        services.verifyGemini = [this](auto done) { listModels(std::move(done)); };
        services.verifySpeech = [this](auto done) { verifySpeech(std::move(done)); };
        services.modelChain = GeminiClient::modelChain();
        services.openUrl = m_parts.openUrl;
        m_keys = std::make_unique<KeysWindow>(m_parts.keychain, std::move(services));
        connect(m_keys.get(), &KeysWindow::keysChanged, this, &ToolWindows::keysChanged);
    }
    m_keys->present();
}

void ToolWindows::showManager() {
    if (!m_manager) {
        m_manager = std::make_unique<ManagerWindow>(m_parts.sessions, m_parts.assistant);
        connect(m_manager.get(), &ManagerWindow::changed, this, &ToolWindows::contextChanged);
    }
    m_manager->present();
}

void ToolWindows::showProfile() {
    if (!m_profile) {
        m_profile = std::make_unique<ProfileWindow>();
        connect(m_profile.get(), &ProfileWindow::changed, this, &ToolWindows::profileChanged);
    }
    m_profile->present();
}

std::optional<QString> ToolWindows::askServerAddress() const {
    const QString current = configuredBackendUrl() ? configuredBackendUrl()->toString() : QString();
    if (m_parts.askServerAddress)
        return m_parts.askServerAddress(current);
    bool ok = false;
    const QString typed = QInputDialog::getText(nullptr, i18n::text("server.dialog.title"),
                                                i18n::text("server.dialog.label"), QLineEdit::Normal, current, &ok);
    return ok ? std::optional(typed) : std::nullopt;
}

} // namespace quippet
