#pragma once
// The Align tab of the right pane: the strips of every source and the
// alignment of one source to another.
#include <string>
#include <vector>

#include "reactive/element.h"
#include "ui/main_window/align/align_session.h"

namespace ui::main_window {

// Reads the window state from the root's context.
reactive::Element align_tab();

struct AlignPanelProps {
    std::string name;  // one of the source names
    bool operator==(const AlignPanelProps&) const = default;
};
// The strip card of that source, or the Align panel while it is being aligned.
reactive::Element align_panel(const AlignPanelProps& p);

// One piece of the applied line; `bold` pieces are the values.
struct TextPiece {
    std::string text;
    bool bold = false;
    bool operator==(const TextPiece&) const = default;
};
// What the session's picked candidate wrote, or that nothing is applied yet.
std::vector<TextPiece> applied_line(const AlignSession& ses);
// The label of a candidate button.
std::string candidate_label(const AlignSession& ses, const AlignCandidate& c);

}  // namespace ui::main_window
