#pragma once

#include "ui/QuitQuestion.h"

#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace quippet {

class AudioSystem;
class Clock;
class HotKeyBackend;
class LlmClient;
class SecretStore;
class SourceMonitor;
class SpeechSynthesizer;

// What differs between the real program and a test run: the adapters to the outside world.
struct AppEnvironment {
    Clock* clock = nullptr;
    SecretStore* secrets = nullptr;
    std::function<std::unique_ptr<AudioSystem>()> makeAudioSystem;
    std::function<std::unique_ptr<SourceMonitor>()> makeSourceMonitor;
    // The language model; when null the controller uses the real client.
    LlmClient* llm = nullptr;
    bool createWindows = true; // tests of the controller's logic run without panel or tray
    // Starts `binary` (empty: the running program) as the new instance, which takes over once this one has ended.
    // Answers why it could not start, or nothing.
    std::function<QString(const QString& binary)> relaunch;
    // Asked when the program is to end with a conversation in the transcript; unset, it is finished and saved.
    std::function<QuitChoice()> askBeforeQuit;
    // The installation offer; unset, nothing is offered. True when the user wants Quippet installed.
    std::function<bool()> askToInstall;
    std::function<void()> quit;
    std::function<void(const QUrl&)> openUrl; // browser for sign-in; default: the desktop's
    std::function<bool()> screenCaptureProbe; // can the screen be captured
    std::function<void()> openSoundSettings;  // the desktop's sound settings
    std::function<void()> openScreenSettings; // where the desktop grants screenshots
    // A Wayland session: screenshots through the desktop portal, shortcuts as command-line actions.
    bool wayland = false;
    // System-wide shortcuts; when unset, X11 grabs with windows and none without.
    std::function<std::unique_ptr<HotKeyBackend>()> makeHotKeyBackend;
    // The voice of practice conversations; when unset, the desktop's (espeak-ng, speech-dispatcher).
    std::function<std::unique_ptr<SpeechSynthesizer>()> makeSpeech;
    // Asks for a Quippet server's address (prefilled with `current`); nothing when cancelled. Unset: a dialog.
    std::function<std::optional<QString>(const QString& current)> askServerAddress;
};

} // namespace quippet
