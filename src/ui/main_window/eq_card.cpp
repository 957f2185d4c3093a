#include "ui/main_window/eq_card.h"

namespace ui::main_window {

reactive::Element zone_row() { return reactive::Element(); }
reactive::Element eq_card() { return reactive::Element(); }
reactive::Element shaping_card() { return reactive::Element(); }

std::vector<ui::tf_plot::Handle> eq_handles(const WindowState&) { return {}; }
void drag_eq_handle(const WindowState&, std::size_t, float, float) {}
void wheel_eq_handle(const WindowState&, std::size_t, float) {}

}  // namespace ui::main_window
