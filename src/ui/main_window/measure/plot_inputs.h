#pragma once
// What the transfer view draws besides its frame, gathered from the window's
// cells on every refresh pass: the shown curve, the stored traces or seats,
// the predicted or aligned sum, the seat average, the EQ, crossover and
// target curves, the drawing level, the spectrum overlay and the arrivals.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ui/main_window/core/keys.h"
#include "ui/main_window/core/state.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::main_window {

// The cells a Predicted sum is made of. `reflections` holds, per trace and
// grid point, the dB change when the trace's reflections are taken out.
struct PredictedContext {
    const std::vector<Trace>& traces;
    const engine::design::Design& design;
    const std::vector<std::vector<float>>& reflections;
    const std::vector<std::string>& summed_sources;
};

// The grid value of a trace: its cycle-windowed value when it has them, else
// its stored one (0 past the end).
engine::tf::Complex value_at(const Trace& t, std::size_t i);

// Trace `index` summed with the ticked traces of the other summed sources at
// its position, through their strips (EQ when `with_eq`). With
// `clear_unmeasured`, points where an unmeasured source's crossover passes
// more than 0.1 in magnitude lose their confidence.
std::optional<Trace> predicted_curve(const PredictedContext& c, std::size_t index, bool clear_unmeasured, bool with_eq);

// The levelled average of the traces, raised by `offset_db`.
std::vector<engine::tf::Point> average_of(std::span<const Trace* const> traces, float offset_db);

// Indices of the traces at `position`, in list order.
std::vector<std::size_t> at_position(const std::vector<Trace>& traces, const std::string& position);

// The target curve of the settings on the grid, when they hold one.
std::optional<std::array<engine::tf::Point, 240>> target_curve(const Settings& settings);

// The path builders' inputs for one pass, with or without an analyzer
// running. `shown` is the snapshot drawn as
// the main curve (the live one, else the viewed trace or Predicted), none
// when nothing is shown.
ui::tf_plot::PathInputs plot_inputs(const WindowState& s, bool analyzer, const engine::analyzer::Snapshot* shown,
                                    const std::optional<Seats>& seats,
                                    const std::vector<std::vector<float>>& reflections);

}  // namespace ui::main_window
