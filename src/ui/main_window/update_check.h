#pragma once
// The update check: asks the update server for a newer build and offers it.
#include "reactive/task.h"
#include "ui/main_window/state.h"

namespace ui::main_window {

// How often an automatic check looks again whether a dialog is still open.
inline constexpr reactive::Duration NO_DIALOG_POLL = std::chrono::milliseconds(500);

// Checks for an update. From the menu (`manual`) every outcome is shown: a
// failure, "Up to date", or the offer at once. The automatic check only logs
// a failure and waits until no dialog is open before offering an update.
reactive::Task<void> check_for_updates(WindowState s, bool manual);
// The root's effect that starts the automatic check once, after the window's
// first render.
void auto_update_check(const WindowState& s);
// Returns once no dialog is open (prompts do not count).
reactive::Task<void> wait_until_no_dialog(WindowState s);

}  // namespace ui::main_window
