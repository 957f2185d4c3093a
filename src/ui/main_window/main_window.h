#pragma once
// The main window: the root component of the page. It owns the running
// application's state (state.h), restores the work at start (start_up.h)
// and shows the one open dialog over everything else.
#include "reactive/element.h"

namespace ui::main_window {

// The root component. The program shell provides a `WindowHostRef` context.
reactive::Element main_window();

}  // namespace ui::main_window
