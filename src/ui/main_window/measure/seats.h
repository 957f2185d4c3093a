#pragma once
// Seat data of the source being EQ'd, the snapshot the plot shows instead of
// the live measurement (a viewed trace or Predicted), and the Predicted and
// level-lock switches. All of it runs on the UI thread and reads the window's
// cells; the two derived values write nothing.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/main_window/core/keys.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// A position where a source was measured: the trace standing for it, the
// position name and the position's colour number.
struct SeatOf {
    std::size_t trace = 0;
    std::string name;
    std::uint8_t colour = 0;
    bool operator==(const SeatOf&) const = default;
};

// The seats of `source` among `positions` (in order); a position counts for
// the colour numbering whether or not it is a seat. The ticked trace of the
// source at a position stands for it, else its first trace there.
std::vector<SeatOf> seats_of(const std::vector<std::string>& positions, const std::vector<Trace>& traces,
                             const std::string& source);

// The seats of the current source: only on the EQ tab with no zone picked
// and when the source has a seat.
std::optional<Seats> seats_memo(const WindowState& s);

// What the plot shows in place of the live data: the viewed trace (Predicted
// off), or Predicted at the current position; none for the live data.
std::optional<engine::analyzer::Snapshot> predicted_memo(const WindowState& s);

// Switches Predicted; switching it on is refused while a measurement runs.
void set_predicted(const WindowState& s, bool on);

// Holds the drawing level where it is now, or lets it follow the traces again.
void toggle_level_lock(const WindowState& s);

}  // namespace ui::main_window
