#pragma once
// The name prompt: one small modal card that names, renames and deletes
// positions, sources and traces, names a capture and sends a strip to the
// console; and what the window does with its answer.
#include <string>
#include <vector>

#include "reactive/element.h"
#include "reactive/events.h"
#include "ui/main_window/core/state.h"
#include "ui/main_window/core/types.h"

namespace ui::main_window {

struct NamePromptProps {
    Prompt prompt;
    std::string title;
    std::string text;  // the field's starting text; later changes are not taken
    std::vector<std::string> sources;
    reactive::Callback<Prompt> onchange;
    reactive::Callback<std::string> onsubmit;
    reactive::Callback<> oncancel;
    bool operator==(const NamePromptProps&) const = default;
};
// The card over a dimmed window: title, the capture's source buttons or the
// console target chooser, the text field (not for deletions), Cancel and OK
// (Delete for deletions). A press beside the card cancels.
reactive::Element name_prompt(const NamePromptProps& p);

// The title and the starting text of the open prompt.
std::string prompt_title(const WindowState& s, const Prompt& p);
std::string prompt_text(const WindowState& s, const Prompt& p);

// Whether the prompt asks only to confirm a deletion (no text field; Enter
// outside a field confirms it).
bool is_delete_prompt(const Prompt& p);

// The name a capture of `source` gets with an empty text: the source name,
// or the name, a blank and n + 1 when the source already has n traces at
// `position`.
std::string capture_name(const std::vector<Trace>& traces, const std::string& source, const std::string& position);

// Acts on the open prompt with the entered text (trimmed). An empty text
// leaves a naming prompt open and does nothing.
void submit_prompt(const WindowState& s, const std::string& text);


}  // namespace ui::main_window
