#pragma once
// What every key, menu item and close request does.
#include "ui/main_window/state.h"

namespace ui::main_window {

// Connects the window's key, menu and close handlers; called once, at the
// root's first render.
void install_key_and_menu_handlers(WindowState& s);

}  // namespace ui::main_window
