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
    // NeedsLogin, LoginFailed: the server address someone configured (empty: none), offered for signing in. With one,
    // signing in to it is the first route; without, the user's own keys are.
    QString server;
    bool serverFromEnvironment = false; // the address is QUIPPET_BACKEND's and cannot be changed here

    static ReadyState loginFailed(QString m) { return {Kind::LoginFailed, std::move(m), {}, {}, false}; }
    static ReadyState missingPermissions(QStringList list) {
        return {Kind::MissingPermissions, {}, std::move(list), {}, false};
    }
    static ReadyState of(Kind kind) { return {kind, {}, {}, {}, false}; }

    // Whether the face offers the two routes in: own keys, or a Quippet server.
    bool offersRoutes() const { return kind == Kind::NeedsLogin || kind == Kind::LoginFailed; }
    bool serverIsPrimary() const { return offersRoutes() && !server.isEmpty(); }

    // Interface texts of the welcome screen for this state.
    const char* subtitleKey() const;
    const char* actionKey() const;
    const char* secondaryActionKey() const; // nullptr when the state has no secondary button

    bool operator==(const ReadyState&) const = default;
};

} // namespace quippet

Q_DECLARE_METATYPE(quippet::ReadyState)
