#pragma once
// core/: what every region of the main window stands on. The state (its
// reactive cells), the vocabulary of dialogs and prompts, the host window's
// services, the small shared helpers (keys), the modal dialogs and the name
// prompt, the project commands (new, open, save, autosave), the start-up
// restore, the effects that follow the state, the design edits, the window's
// keys and menu items, and the update check.
//
// The main window's state: every reactive cell it owns, created once at its
// first render in this order and kept for the life of the window. Cells are
// handles: closures copy them freely; all of it lives on the UI thread.
//
// Panels of the window add their own cells here, beside the ones they use.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/tuning/align.h"
#include "engine/analyzer/analyzer.h"
#include "engine/audio/capture.h"
#include "engine/tuning/design.h"
#include "engine/tuning/eqfit.h"
#include "engine/meter/meter.h"
#include "engine/settings/settings_store.h"
#include "engine/core/trace.h"
#include "engine/exports/wing.h"
#include "engine/persist/trace_file.h"
#include "reactive/loop.h"
#include "reactive/page.h"
#include "reactive/signal.h"
#include "reactive/task.h"
#include "shared-ui/components/dropdown.h"
#include "shared-ui/components/tooltip.h"
#include "ui/main_window/align/align_session.h"
#include "ui/main_window/core/host.h"
#include "ui/main_window/core/keys.h"
#include "ui/main_window/core/types.h"

namespace ui::main_window {

using engine::settings::Settings;
using engine::settings::SettingsStore;
using engine::trace::Session;
using engine::trace::Setup;
using engine::trace::Trace;
using reactive::Signal;
using Path = std::filesystem::path;

// The log target of the main window.
inline constexpr std::string_view LOG_TARGET = "Veltrum::ui::main_window";

// The window's way to the autosave files; the process-wide autosave unless
// a test puts its own in.
struct AutosaveHooks {
    // Queues the session, with the project file it belongs to.
    std::function<void(Session, std::optional<Path>)> autosave;
    // Deletes the autosave file (and its project note).
    std::function<void()> remove_autosave;
    // Deletes the autosave kept at start-up.
    std::function<void()> remove_kept_autosave;

    // The process-wide autosave of engine::trace.
    static AutosaveHooks process();
};

struct WindowState {
    // ---- settings
    SettingsStore settings;
    // The one tooltip bubble and the one open drop-down list of the kit.
    shared_ui::components::tooltip::TooltipStore tooltip;
    shared_ui::components::dropdown::OpenList open_dropdown{std::nullopt};

    // ---- engine
    Signal<engine::capture::DeviceList> input_devices;
    Signal<engine::capture::DeviceList> output_devices;
    Signal<std::optional<engine::analyzer::Analyzer>> analyzer{std::nullopt};
    Signal<engine::analyzer::Snapshot> snapshot;
    Signal<bool> waiting_for_device{false};
    Signal<bool> show_predicted{false};
    Signal<bool> delay_panel{false};
    Signal<bool> auto_delay{false};
    Signal<std::optional<reactive::Instant>> delay_found_at{std::nullopt};
    Signal<std::string> notice;
    Signal<std::optional<engine::align::Alignment>> alignment;
    Signal<std::optional<engine::meter::Meter>> meter{std::nullopt};
    Signal<engine::meter::MeterSnapshot> meter_snapshot;
    // The plot page script's channel; replaced when the page is rebuilt.
    Signal<reactive::Eval> plot_channel;

    // ---- project
    Signal<std::vector<std::string>> sources;
    Signal<std::vector<Trace>> traces;
    Signal<engine::design::Design> design;
    Signal<std::string> position{engine::trace::default_position()};
    Signal<std::optional<Path>> project_path{std::nullopt};
    Signal<bool> unsaved{false};
    Signal<Setup> saved_setup;

    // ---- interface
    Signal<std::vector<std::string>> folded_positions;
    Signal<std::size_t> left_tab{0};
    Signal<std::size_t> right_tab{0};
    Signal<std::optional<std::pair<double, double>>> menu_position{std::nullopt};
    Signal<std::optional<std::pair<double, double>>> panel_menu_position{std::nullopt};
    Signal<std::optional<Prompt>> menu_target{std::nullopt};
    Signal<std::optional<std::size_t>> viewed_trace{std::nullopt};
    Signal<std::pair<std::string, std::vector<std::pair<float, float>>>> fit_curve;
    Signal<float> max_boost{6.0f};
    Signal<std::optional<std::size_t>> picked_zone{std::nullopt};
    Signal<bool> show_average{true};
    Signal<std::optional<std::string>> picked_seat{std::nullopt};
    Signal<std::vector<std::string>> summed_sources;
    Signal<engine::eqfit::FitWhat> fit_what;
    Signal<bool> shaping_selected{false};
    Signal<std::uint64_t> wheel_generation{0};
    Signal<std::string> current_source_name;
    Signal<std::optional<std::pair<float, float>>> level_lock{std::nullopt};
    Signal<std::optional<std::size_t>> hovered_arrival{std::nullopt};
    Signal<float> draw_level{0.0f};

    // ---- derived values, one memo each shared by all their readers (the
    // refresh loop, the source cards, the plot's skeleton, the Predicted
    // switch); made by make_state.
    // The seat data of the current source (seats.h).
    reactive::Memo<std::optional<Seats>> seats;
    // What the plot shows in place of live data: the viewed trace or Predicted.
    reactive::Memo<std::optional<engine::analyzer::Snapshot>> predicted;
    // Per trace, per grid point: the dB change when its reflections are
    // taken out; recomputed when the trace list changes.
    reactive::Memo<std::vector<std::vector<float>>> reflections;

    // ---- alignment (the Align tab)
    // The open alignment session; none while no source is being aligned.
    Signal<std::optional<AlignSession>> align_session{std::nullopt};
    // The last alignment run's note or failure, shown under the Align panel.
    Signal<std::string> alignment_text;

    // ---- modal interface
    Signal<std::optional<Prompt>> prompt{std::nullopt};
    Signal<std::optional<Dialog>> dialog{std::nullopt};
    Signal<std::optional<reactive::OneshotSender<Answer>>> dialog_reply{std::nullopt};

    // ---- captures and questions
    Signal<std::optional<Trace>> pending_capture{std::nullopt};
    Signal<std::optional<std::string>> selected_source{std::nullopt};
    Signal<bool> confirming_unsaved{false};

    // ---- services
    WindowHostRef host;
    AutosaveHooks files;
    // Filled by the measurement control: restarts the worker of the shown
    // view when one runs; starts a measurement.
    std::function<void()> restart_worker;
    std::function<void()> start_analyzer;
    // Filled by the measurement control: starts the SPL meter on its input.
    std::function<void()> start_meter;
    // Filled by the update installation: downloads, installs and relaunches.
    std::function<void(api::UpdateInfo)> install_update;

    // ---- frame, prompts and keys
    // Filled by the measurement control: asks the running analyzer for a
    // trace, which then opens the Capture prompt (the Capture button, Enter).
    std::function<void()> capture_trace;

    // ---- console exports
    // The console's OSC port (tests answer on a loopback port of their own).
    std::uint16_t wing_port = engine::wing::PORT;
};

// The measurement setup held in the settings (cycles, coherence threshold,
// averaging, target, bass level, calibration file).
Setup setup_of(const Settings& s);

// The state of a window whose settings are `settings`: every cell at its
// initial value; `saved_setup` is the settings' setup.
WindowState make_state(Settings settings, WindowHostRef host, AutosaveHooks files = AutosaveHooks::process());

// The window's state as the root provides it to the panels below it.
WindowState use_window_state();

}  // namespace ui::main_window
