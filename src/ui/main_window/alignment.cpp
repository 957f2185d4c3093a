#include "ui/main_window/alignment.h"

namespace ui::main_window {

void revert_alignment(const WindowState&) {}
void reset_alignment(const WindowState& s, const std::string& position) { s.position.set(position); }
void refresh_positions(const WindowState&, const std::optional<std::string>&) {}

}  // namespace ui::main_window
