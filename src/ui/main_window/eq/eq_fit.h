#pragma once
// The EQ fit of the current source (the Fit card of the EQ tab): which
// measurements it uses, the fit itself and the controls that steer it.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "engine/tuning/design.h"
#include "reactive/element.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// Indices of the traces the fit uses: per position, in the given order (only
// the zone's position when `zone_position` is set), the first ticked trace of
// the source there.
std::vector<std::size_t> fit_trace_filter(const std::vector<Trace>& traces, const std::vector<std::string>& positions,
                                          const std::string& source, const std::optional<std::string>& zone_position);

// The fit range: 40 Hz or the high-pass corner above it, 16 kHz or the
// low-pass corner below it.
std::pair<float, float> fit_range(const engine::design::Source& source);

// Fits the current source (or the picked zone's bands) to the target and
// writes the result; reports in the status message.
void fit_eq(const WindowState& s);
// Whether Fit has anything it may move.
bool fit_enabled(const WindowState& s);

// Every band fresh, the shaping flat at its model's nominal knees and slopes
// (its on switch kept).
void reset_eq_and_shaping(const WindowState& s);
void toggle_fit_gains(const WindowState& s);
void toggle_fit_knees(const WindowState& s);
void toggle_fit_bands(const WindowState& s);
void step_max_boost(const WindowState& s, double db);         // limited to 0..12
void slide_reflect_trust(const WindowState& s, double trust);  // limited to 0..1
void toggle_reflect_shown(const WindowState& s);

// The Fit card of the EQ tab (its Zone row is the EQ card's).
reactive::Element fit_card();

}  // namespace ui::main_window
