#include "ui/main_window/right_pane.h"

#include "reactive/element.h"

namespace ui::main_window {

reactive::Element right_pane() { return reactive::div().cls("vt-sidebar right"); }

}  // namespace ui::main_window
