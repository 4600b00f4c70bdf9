#include "ui/ReadyState.h"

#include "core/Localization.h"

namespace quippet {

const char* ReadyState::subtitleKey() const {
    switch (kind) {
    case Kind::LoginFailed:
        return "welcome.subtitle.loginFailed";
    case Kind::MissingPermissions:
        return "welcome.subtitle.permissions";
    case Kind::NeedsLogin:
        return "welcome.subtitle.routes";
    case Kind::WaitingForBrowser:
        return "welcome.subtitle.browser";
    case Kind::SetupProfile:
        return "welcome.subtitle.setup";
    case Kind::Ready:
        return "welcome.subtitle.ready";
    }
    return "welcome.subtitle.ready";
}

const char* ReadyState::actionKey() const {
    switch (kind) {
    case Kind::LoginFailed:
    case Kind::NeedsLogin:
        return serverIsPrimary() ? "welcome.action.server" : "welcome.action.ownKeys";
    case Kind::MissingPermissions:
        return "welcome.action.permissions";
    case Kind::WaitingForBrowser:
        return "welcome.action.cancel";
    case Kind::SetupProfile:
        return "welcome.action.setup";
    case Kind::Ready:
        return "welcome.action.ready";
    }
    return "welcome.action.ready";
}

const char* ReadyState::secondaryActionKey() const {
    if (offersRoutes())
        return serverIsPrimary() ? "welcome.action.ownKeys" : "welcome.action.server";
    if (kind == Kind::SetupProfile)
        return "welcome.action.setupSkip";
    if (kind == Kind::MissingPermissions && permissions.contains(i18n::text("perm.screen")))
        return "welcome.action.restart";
    return nullptr;
}

} // namespace quippet
