#pragma once
// The Align tab of the right pane: the strips of every source and the
// alignment of one source to another.
#include "reactive/element.h"

namespace ui::main_window {

// Reads the window state from the root's context.
reactive::Element align_tab();

}  // namespace ui::main_window
