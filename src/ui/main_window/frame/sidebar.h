#pragma once
// The left sidebar of the transfer view: the Positions tab (positions with
// their traces), the Sources tab, and on the EQ tab of the right pane the
// source cards with their seats. Its handlers change only the window's
// cells; renaming and deleting always go through a prompt.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reactive/element.h"
#include "reactive/events.h"
#include "shared-ui/asset.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// The colour number of a source: its index in `sources` modulo 4, 0 when
// A flat icon button of the lists, with its tooltip.
reactive::Element list_button(shared_ui::Asset icon, std::string hint, reactive::Callback<const reactive::MouseEvent&> onclick,
                              bool toggled = false, bool disabled = false);
// it is not listed.
std::uint8_t colour_of(const std::vector<std::string>& sources, const std::string& name);

// The positions the sidebar lists: those of the traces, then the current
// position when no trace has it yet.
std::vector<std::string> shown_positions(const std::vector<Trace>& traces, const std::string& position);

// Folds or unfolds the trace rows of a position.
void toggle_fold(const WindowState& s, const std::string& position);
// Shows trace `index` alone (Predicted off), or stops showing it alone.
void view_trace(const WindowState& s, std::size_t index);
// Chooses the source for the right pane and opens its EQ tab.
void edit_source_eq(const WindowState& s, const std::string& name);
// Chooses the source for the right pane.
void select_source(const WindowState& s, const std::string& name);
// Adds the source to the sources summed into Predicted, or takes it out.
void toggle_predicted_source(const WindowState& s, const std::string& name);
void toggle_show_average(const WindowState& s);
// Picks a seat (or the average of the seats) and turns Predicted on.
void pick_seat(const WindowState& s, const std::string& position);
void pick_average(const WindowState& s);
// Opens the list's "Rename" / "Delete" menu at the pointer for the item
// whose rename prompt is `target`.
void open_context_menu(const WindowState& s, const reactive::MouseEvent& e, Prompt target);

// The sidebar; reads the window state from the root's context.
reactive::Element sidebar();

}  // namespace ui::main_window
