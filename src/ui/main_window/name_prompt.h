#pragma once
// The name prompt: one small modal card that names, renames and deletes
// positions, sources and traces, names a capture and sends a strip to the
// console; and what the window does with its answer.
#include <string>
#include <vector>

#include "reactive/element.h"
#include "ui/main_window/state.h"
#include "ui/main_window/types.h"

namespace ui::main_window {

struct NamePromptProps {
    Prompt prompt;
    std::string title;
    std::string text;
    std::vector<std::string> sources;
    reactive::Callback<Prompt> onchange;
    reactive::Callback<std::string> onsubmit;
    reactive::Callback<> oncancel;
    bool operator==(const NamePromptProps&) const = default;
};
reactive::Element name_prompt(const NamePromptProps& p);

// The title and the starting text of the open prompt.
std::string prompt_title(const WindowState& s, const Prompt& p);
std::string prompt_text(const WindowState& s, const Prompt& p);

// Acts on the open prompt with the entered text.
void submit_prompt(const WindowState& s, const std::string& text);

}  // namespace ui::main_window
