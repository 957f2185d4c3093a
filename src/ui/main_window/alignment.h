#pragma once
// The alignment session: one source aligned to another by level, delay,
// polarity or crossover, its candidates applied and undone on the strips.
#include <optional>
#include <string>

#include "ui/main_window/state.h"

namespace ui::main_window {

// Ends the session and undoes what its candidates wrote.
void revert_alignment(const WindowState& s);
// Sets the current position, ending any alignment when it changes.
void reset_alignment(const WindowState& s, const std::string& position);
// Re-selects a position after the traces or positions changed.
void refresh_positions(const WindowState& s, const std::optional<std::string>& preferred);

}  // namespace ui::main_window
