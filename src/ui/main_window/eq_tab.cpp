#include "ui/main_window/eq_tab.h"

namespace ui::main_window {

reactive::Element eq_tab() { return reactive::Element(); }

}  // namespace ui::main_window
