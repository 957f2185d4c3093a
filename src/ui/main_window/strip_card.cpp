#include "ui/main_window/strip_card.h"

namespace ui::main_window {

reactive::Element strip_card(const StripCardProps&) { return reactive::div().cls("vt-card"); }

reactive::Element filter_controls(const FilterControlsProps&) { return reactive::div().cls("row xover"); }

}  // namespace ui::main_window
