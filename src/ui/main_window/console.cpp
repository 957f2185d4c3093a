#include "ui/main_window/console.h"

namespace ui::main_window {

void send_prompt_command(const WindowState&, const Prompt::SendToWing&, const std::string&) {}

}  // namespace ui::main_window
