#pragma once
// The EQ tab's Zone row, EQ card and Shaping card, and the plot handles
// that show the bands or the shaping stage of the shown strip.
#include <cstddef>
#include <vector>

#include "reactive/element.h"
#include "ui/main_window/state.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::main_window {

// Each reads the window state from the root's context.
reactive::Element zone_row();
reactive::Element eq_card();
reactive::Element shaping_card();

// The handles of the EQ tab (empty on any other tab).
std::vector<ui::tf_plot::Handle> eq_handles(const WindowState& s);
// A drag of handle `index` to (hz, db); a wheel turn over it.
void drag_eq_handle(const WindowState& s, std::size_t index, float hz, float db);
void wheel_eq_handle(const WindowState& s, std::size_t index, float delta);

}  // namespace ui::main_window
