#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

namespace quippet {

// How ready the program is for work; the welcome screen shows one step per case.
struct ReadyState {
    enum class Kind { LoginFailed, MissingPermissions, NeedsLogin, WaitingForBrowser, SetupProfile, Ready };

    Kind kind = Kind::Ready;
    QString message;         // LoginFailed: the failure, shown unchanged
    QStringList permissions; // MissingPermissions: localised names, microphone first

    static ReadyState loginFailed(QString m) { return {Kind::LoginFailed, std::move(m), {}}; }
    static ReadyState missingPermissions(QStringList list) { return {Kind::MissingPermissions, {}, std::move(list)}; }
    static ReadyState of(Kind kind) { return {kind, {}, {}}; }

    // Interface texts of the welcome screen for this state.
    const char* subtitleKey() const;
    const char* actionKey() const;
    const char* secondaryActionKey() const; // nullptr when the state has no secondary button

    bool operator==(const ReadyState&) const = default;
};

} // namespace quippet

Q_DECLARE_METATYPE(quippet::ReadyState)
