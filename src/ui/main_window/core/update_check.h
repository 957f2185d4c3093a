#pragma once
// The update check: asks the update server for a newer build and offers it.
#include "reactive/task.h"
#include "shell/update_install.h"
#include "ui/main_window/core/state.h"

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

// The offer's Update: asks about unsaved changes first (cancelled: nothing
// happens), shows "Updating to {}…" while the update is downloaded and
// installed, stops the analyzer and the meter just before the relaunch, and
// on failure logs "update failed: {}" and shows "Update failed: {}".
// `options` are the installation's (tests give their server, key and
// relaunch); the window uses the defaults.
reactive::Task<void> install_update(WindowState s, api::UpdateInfo info,
                                    api::client::update::InstallOptions options = {});
// Fills the state's install_update hook, which the offer's Update starts.
void install_update_handler(WindowState& s);

}  // namespace ui::main_window
