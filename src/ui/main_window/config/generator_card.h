#pragma once
// The Generator card of the Config tab: the test signal, its frequency,
// length and level, and the output device and channel it plays on.
#include <functional>

#include "ui/main_window/config/card_parts.h"

namespace ui::main_window {

// Reads the window state from the root's context.
reactive::Element generator_card();

// Applies a generator setting through the store, then hands the generator
// settings to an analyzer that exists.
void change_generator(const WindowState& s, const CardWorkers& w, const std::function<void(Settings&)>& change);

// The setters: signal as chosen; frequency 10..20000 Hz, sweep 0.5..30 s,
// level -60..0 dBFS; the output device (its id, empty for none) and channel.
void set_signal(Settings& settings, engine::settings::Signal signal);
void set_sine_hz(Settings& settings, double hz);
void set_sweep_secs(Settings& settings, double secs);
void set_gen_db(Settings& settings, double db);
void set_out_device(Settings& settings, std::string id);
void set_out_channel(Settings& settings, std::uint64_t channel);

// The card's handlers.
void choose_signal(const WindowState& s, const CardWorkers& w, const Choice& chosen);
void step_sine_hz(const WindowState& s, const CardWorkers& w, double value);
void step_sweep_secs(const WindowState& s, const CardWorkers& w, double value);
void step_gen_db(const WindowState& s, const CardWorkers& w, double value);
void choose_output(const WindowState& s, const Choice& chosen);
void choose_out_channel(const WindowState& s, const Choice& chosen);

}  // namespace ui::main_window
