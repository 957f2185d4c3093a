#pragma once
// measure/: the measurement loop. Starting and stopping the analyzer and the
// meter (measurement), the refresh loop that runs every 33 ms (refresh) and
// what it draws (plot_inputs, seats), trace capture, and the device watch
// that follows the audio devices.
//
// Running the measurement workers: starting and stopping the analyzer and
// the SPL meter, switching views, the delay search, accumulate mode and the
// restart after a settings change. UI thread only.
#include <functional>

#include "ui/main_window/core/state.h"

namespace ui::main_window {

// The analyzer's parameters from a copy of the settings (the calibration is
// read here).
engine::analyzer::Params analyzer_params(const Settings& settings);
// The meter's parameters from a copy of the settings.
engine::meter::Params meter_params(const Settings& settings);

// Asks "Start Measurement" when find_on_start is set, else starts the analyzer.
void start_measurement(const WindowState& s);
// Starts a new analyzer from the settings; without an input device the
// status asks for one and a running analyzer is left running.
void start_analyzer(const WindowState& s);
// Ends the run.
void stop_analyzer(const WindowState& s);
// Starts a new meter on the SPL input (the transfer input when none is set).
void start_meter(const WindowState& s);
// Switches the view and stops what belongs to the other one.
void set_view(const WindowState& s, engine::settings::View view);
// The Find-delay panel: start a search, keep the delay in use, lock the found one.
void refind_delay(const WindowState& s);
void keep_delay(const WindowState& s);
void apply_found_delay(const WindowState& s);
// Restarts the worker of the shown view when one runs (after a settings
// change made through change_and_restart).
void restart_worker(const WindowState& s);
void set_accumulate(const WindowState& s, bool on);
// Run/Stop.
void toggle_run(const WindowState& s);

// Fills the window's hooks (start_analyzer, start_meter, restart_worker,
// capture_trace) with the operations above and the capture.
void install_measurement(WindowState& s);

}  // namespace ui::main_window
