#pragma once
// The EQ tab's Zone row, EQ card and Shaping card, and the plot handles
// that show the bands or the shaping stage of the shown strip.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/tuning/design.h"
#include "reactive/element.h"
#include "ui/main_window/core/state.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::main_window {

// Each reads the window state from the root's context.
reactive::Element zone_row();
reactive::Element eq_card();
reactive::Element shaping_card();

// The handles of the EQ tab (empty on any other tab).
std::vector<ui::tf_plot::Handle> eq_handles(const WindowState& s);
// A drag of handle `index` to (hz, db); a wheel turn over it.
void drag_eq_handle(const WindowState& s, std::size_t index, float hz, float db);
void wheel_eq_handle(const WindowState& s, std::size_t index, float delta);

// ---- the pieces the cards and handles are made of

// The strip the EQ tab shows: the current source (or its defaults) with the
// picked zone's bands and PEQ switch in place of its own.
engine::design::Source shown_strip(const WindowState& s);

// Band limits: 20 Hz .. 20 kHz, -15 .. +12 dB, Q 0.3 .. 20.
void limit_band(engine::eqfit::Band& b);
// The band's bandwidth in octaves: 2 asinh(1 / 2q) / ln 2.
float bandwidth_octaves(float q);

// The Q conventions: option label ("Q (Wing)"), column header ("Q"),
// stepper step, the number shown for a stored RBJ q, and the RBJ q of a
// number entered (before the band limits).
std::string_view q_label(engine::design::QConv c);
std::string_view q_header(engine::design::QConv c);
double q_step(engine::design::QConv c);
double q_shown(engine::design::QConv c, float q);
float q_entered(engine::design::QConv c, double v);

// The band count a Bands stepper value stands for: truncated, 1 .. 16
// (1 for a value that is not a number).
std::size_t band_count(double v);

// The shaping stage back to the nominal knees and slopes of its model, all
// gains 0 dB; `on` and the model stay.
void nominal_shaping(engine::eqfit::Shaping& sh);
// Gains and knees the card shows: 4 and 3 for Galileo, 5 and 4 for Callisto.
std::size_t shaping_gains_shown(engine::eqfit::ShapingModel m);

// The handles of the bands of a strip, and of its shaping stage (gain
// ranges, then knee lines).
std::vector<ui::tf_plot::Handle> band_handles(const engine::design::Source& strip);
std::vector<ui::tf_plot::Handle> shaping_handles(const engine::eqfit::Shaping& sh);

// The Q factor of a wheel turn of `delta` pixels: 1.02^(-delta / 4).
float wheel_factor(float delta);

}  // namespace ui::main_window
