#pragma once
// The right pane: its tab bar, the cards of the chosen tab and the pinned card.
#include "reactive/element.h"

namespace ui::main_window {

// Reads the window state from the root's context.
reactive::Element right_pane();

}  // namespace ui::main_window
