#pragma once
// What every key, menu item, opened file and close request does.
//
// Keys come from the window-event bridge, one "keydown" object at a time.
// The first of these that holds takes the keyboard: an open dialog (Enter,
// Escape), an open prompt (Escape; Enter confirms a deletion), an alignment
// in progress (Escape), the Find-delay panel (Enter, Escape); then a key
// typed into a text field is dropped (except Escape); then the shown view's
// shortcuts apply.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "reactive/task.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// Connects the window's menu, opened-files and close handlers through its
// host; called once, at the root's first render.
void install_key_and_menu_handlers(WindowState& s);
// The keyboard bridge of the window (a hook: the root calls it on every
// render); its events go to on_key_event.
void use_key_events(const WindowState& s);

// One event of the window-event bridge.
void on_key_event(const WindowState& s, const nlohmann::json& event);
// One chosen menu item.
void on_menu_event(const WindowState& s, const std::string& id);
// Files the system asks the running program to open: the last URL that
// names a local file is opened, the others are dropped.
void on_open_urls(const WindowState& s, const std::vector<std::string>& urls);
// The close button and Quit: starts the quit task and refuses the close.
// While an update installs nothing is started.
bool on_close_requested(const WindowState& s);
// Asks about unsaved changes, then ends the process with status 0.
reactive::Task<void> quit(WindowState s);

// The entry of the recent-project list that a menu id "recent_<n>" names
// ("+" allowed before n), when the list of `count` entries has one.
std::optional<std::size_t> recent_index(std::string_view id, std::size_t count);

}  // namespace ui::main_window
