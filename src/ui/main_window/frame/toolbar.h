#pragma once
// The toolbar above the plot (pane, theme and view switches, the transport
// in the middle, Predicted and the config pane at the right) and the plot's
// panel menu.
#include <string>
#include <string_view>

#include "reactive/element.h"
#include "reactive/events.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// Inverts one switch of the settings and saves them.
void toggle_setting(const WindowState& s, bool Settings::*field);

// The panel menu's label of a panel: "✓ Phase" while shown, "    Phase" while hidden.
std::string panel_menu_label(bool on, std::string_view name);
// Opens the panel menu at the pointer.
void open_panel_menu(const WindowState& s, const reactive::MouseEvent& e);

// Components; each reads the window state from the root's context.
reactive::Element toolbar();
reactive::Element panel_menu();

}  // namespace ui::main_window
