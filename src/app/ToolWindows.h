#pragma once

#include "app/PreflightCheck.h"

#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace quippet {

class Assistant;
class AudioCapture;
class Clock;
class GeminiClient;
class Keychain;
class KeysWindow;
class ManagerWindow;
class ProfileWindow;
class RateGate;
class SessionStore;
class SpeechProbe;

// The windows opened from the menus besides the panel: the API keys, the conversation manager and the profile, each
// created on first use and kept; and the question for a server's address. Main thread only.
class ToolWindows : public QObject {
    Q_OBJECT
public:
    struct Parts {
        Clock& clock;
        Keychain& keychain;
        RateGate& rateGate;
        AudioCapture& capture;
        SessionStore& sessions;
        Assistant& assistant;
        std::function<void(const QUrl&)> openUrl;
        // Unset: a dialog.
        std::function<std::optional<QString>(const QString& current)> askServerAddress;
    };

    explicit ToolWindows(Parts parts, QObject* parent = nullptr);
    ~ToolWindows() override;

    void showKeys();
    void showManager();
    void showProfile();
    // Asks for a Quippet server's address, prefilled with the configured one; nothing when cancelled.
    std::optional<QString> askServerAddress() const;
    // The models the stored language-model key can use (the keys window and the check before a call).
    void listModels(std::function<void(PreflightCheck::ModelList)> done);

    KeysWindow* keys() const { return m_keys.get(); }
    ManagerWindow* manager() const { return m_manager.get(); }
    ProfileWindow* profile() const { return m_profile.get(); }

signals:
    void keysChanged();
    // The manager changed the context folder's files (and the assistant re-read them).
    void contextChanged();
    // The profile or a document changed on disk.
    void profileChanged();

private:
    void verifySpeech(std::function<void(const SpeechVerdict&)> done);

    Parts m_parts;
    std::unique_ptr<GeminiClient> m_modelList;
    std::unique_ptr<SpeechProbe> m_speechProbe;
    std::unique_ptr<KeysWindow> m_keys;
    std::unique_ptr<ManagerWindow> m_manager;
    std::unique_ptr<ProfileWindow> m_profile;
};

} // namespace quippet
