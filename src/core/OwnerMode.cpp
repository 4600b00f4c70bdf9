#include "core/OwnerMode.h"

#include "core/Settings.h"

#include <QtGlobal>

namespace quippet::OwnerMode {
bool isOn() {
    if (qEnvironmentVariable("QUIPPET_OWNER") == QLatin1String("1"))
        return true;
    return Settings::boolValue(Settings::kOwnerMode, false);
}
} // namespace quippet::OwnerMode
