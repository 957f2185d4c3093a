#pragma once
// The Measurement card of the Config tab: averaging, coherence gate,
// accumulate or rolling average, the delay search at start, stopping at a
// capture, and the delay in use.
#include "ui/main_window/config/card_parts.h"

namespace ui::main_window {

// Reads the window state from the root's context.
reactive::Element measurement_card();

// The setters the Averaging and Gate choices restart the run with.
void set_average_secs(Settings& settings, float secs);
void set_coherence_threshold(Settings& settings, float threshold);

// The card's handlers.
void choose_averaging(const WindowState& s, const Choice& chosen);
void choose_gate(const WindowState& s, const Choice& chosen);
// Accumulate on when the card showed Rolling, off when it showed Accumulate.
void toggle_accumulate(const WindowState& s, const CardWorkers& w, bool shown);
void toggle_find_on_start(const WindowState& s);
void toggle_stop_on_capture(const WindowState& s);
// A running analyzer gets the delay in samples at the rate the card showed
// (`rate`, 48000 when 0) and the settings follow through the refresh loop;
// without a running analyzer the delay is stored.
void set_delay_ms(const WindowState& s, const CardWorkers& w, double value, std::uint32_t rate);

// The delay the card shows: the running analyzer's, else the stored one.
double shown_delay_ms(const engine::analyzer::Snapshot& snapshot, float stored_ms);

}  // namespace ui::main_window
