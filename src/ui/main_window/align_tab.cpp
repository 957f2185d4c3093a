#include "ui/main_window/align_tab.h"

namespace ui::main_window {

reactive::Element align_tab() { return reactive::Element(); }

}  // namespace ui::main_window
