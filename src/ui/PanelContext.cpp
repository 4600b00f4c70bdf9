#include "ui/PanelContext.h"

#include "platform/Commands.h"

namespace quippet {

void PanelContext::trigger(const char* command) const {
    if (!commands)
        return;
    if (QAction* action = commands->action(QLatin1String(command)))
        action->trigger();
}

} // namespace quippet
