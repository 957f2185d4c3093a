#include "ui/main_window/name_prompt.h"

namespace ui::main_window {

reactive::Element name_prompt(const NamePromptProps&) { return reactive::Element(); }

std::string prompt_title(const WindowState&, const Prompt&) { return {}; }
std::string prompt_text(const WindowState&, const Prompt&) { return {}; }

void submit_prompt(const WindowState& s, const std::string&) { s.prompt.set(std::nullopt); }

}  // namespace ui::main_window
