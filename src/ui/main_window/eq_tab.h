#pragma once
// The EQ tab of the right pane: Fit, EQ, Shaping, Zones and Export cards.
#include "reactive/element.h"

namespace ui::main_window {

// Reads the window state from the root's context.
reactive::Element eq_tab();

}  // namespace ui::main_window
