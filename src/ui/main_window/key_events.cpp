#include "ui/main_window/key_events.h"

namespace ui::main_window {

void install_key_and_menu_handlers(WindowState&) {}

}  // namespace ui::main_window
