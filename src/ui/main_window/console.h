#pragma once
// Console exports: a strip sent to the Wing over OSC, the remembered routes
// sent again, and the processor's setting file.
#include <string>

#include "ui/main_window/state.h"

namespace ui::main_window {

// The submitted Send-to-Wing prompt: builds the current strip's command for
// the prompt's target, remembers the route and starts the send to `address`.
void send_prompt_command(const WindowState& s, const Prompt::SendToWing& target, const std::string& address);

}  // namespace ui::main_window
