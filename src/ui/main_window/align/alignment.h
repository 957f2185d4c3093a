#pragma once
// align/: the Align tab. The alignment session (alignment) with its values
// (align_session), the level, delay, polarity and crossover searches
// (align_search), and the tab's cards (align_tab).
//
// The alignment session: one source aligned to another by level, delay,
// polarity or crossover, its candidates applied and undone on the strips.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ui/main_window/align/align_session.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// Ends the session and undoes what its candidates wrote.
void revert_alignment(const WindowState& s);
// Sets the current position, ending any alignment when it changes.
void reset_alignment(const WindowState& s, const std::string& position);
// Re-selects a position after the traces or positions changed.
void refresh_positions(const WindowState& s, const std::optional<std::string>& preferred);

// Opens a session for the named source against the first other source.
void start_alignment(const WindowState& s, const std::string& name);
// The reference drop-down's choice (only the key is used): the applied
// candidate is undone and the last mode runs again against the new reference.
void change_reference(const WindowState& s, const std::string& key, const std::string& label);
// Runs a mode (AlignMode) of the open session: undoes the applied candidate,
// searches, stores the candidates and note and applies the first one; a
// failure leaves its text in the alignment text.
void run_alignment(const WindowState& s, std::uint8_t mode);
// Writes a candidate into the strips (none: the strips as the session found
// them, as far as its candidates wrote them) and switches Predicted on.
void apply_alignment(const WindowState& s, const std::optional<AlignCandidate>& candidate);
// A candidate button: records the index as picked and applies that candidate.
void pick_candidate(const WindowState& s, std::size_t index);
// Accept: ends the session keeping the strips as they are.
void accept_alignment(const WindowState& s);
// The strip cards' edit callback: marks the project unsaved and queues an autosave.
void strip_edited(const WindowState& s);
// The root's effect (call at every render of the root): leaving the Align
// tab with a session open reverts it.
void leave_align_tab(const WindowState& s);

}  // namespace ui::main_window
