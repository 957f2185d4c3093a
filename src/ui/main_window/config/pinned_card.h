#pragma once
// The card pinned under every tab of the right pane in the transfer view:
// smoothing of the curves, the cycles of the frequency-dependent window, and
// the level lock with its offset.
#include "ui/main_window/config/card_parts.h"

namespace ui::main_window {

// Reads the window state from the root's context.
reactive::Element pinned_card();

// The card's handlers.
void choose_smoothing(const WindowState& s, const Choice& chosen);
// Stores 0..34 cycles, hands them to an analyzer that exists and applies
// them again to every stored trace.
void set_cycles(const WindowState& s, const CardWorkers& w, double value);
// Replaces the offset of a level lock; nothing without one.
void step_lock_offset(const WindowState& s, double value);
void level_lock_button(const WindowState& s);

}  // namespace ui::main_window
