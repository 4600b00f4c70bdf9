#pragma once

namespace quippet {

// What the user wants done with a conversation still in the transcript when the program ends.
enum class QuitChoice { FinishAndSave, QuitWithoutSaving, Cancel };

// Asks it in a dialog of its own; closing the dialog cancels.
QuitChoice askBeforeQuit();

} // namespace quippet
