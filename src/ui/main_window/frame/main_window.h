#pragma once
// frame/: the window's frame around the plot. The root component
// (main_window), the toolbar, the status line, the sidebar with its source
// cards, and the strip card the Align and EQ tabs show for one source.
//
// The main window: the root component of the page. It owns the running
// application's state (state.h), restores the work at start (start_up.h)
// and lays out the whole window: overlays, sidebar, toolbar, plot, status
// line and right pane.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reactive/element.h"
#include "ui/main_window/core/keys.h"
#include "ui/main_window/core/state.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::main_window {

// The root component. The program shell provides a `WindowHostRef` context.
reactive::Element main_window();

// The window's element tree below the root; reads the window state from the
// root's context.
reactive::Element frame();

// The list context menu's two actions: the rename prompt of the item it was
// opened on, or the matching delete prompt.
void rename_from_menu(const WindowState& s);
void delete_from_menu(const WindowState& s);
// The delete prompt matching a rename prompt; any other value unchanged.
std::optional<Prompt> delete_prompt_of(const std::optional<Prompt>& target);

// The frequency below which the plot shades the measurement as too short
// for the cycles asked: rate x min(cycles, 34) / (fft / 2), with the
// snapshot's rate and FFT size, or the settings' rate and its default size.
float shade_below_hz(std::uint32_t snapshot_rate, std::uint32_t settings_rate, std::size_t fft_size, float cycles);

// The stored curves of the plot: (trace index, colour number) of the seats,
// or of the visible traces at the position without the trace shown alone.
std::vector<std::pair<std::size_t, std::size_t>> plot_stored(const std::vector<Trace>& traces,
                                                             const std::vector<std::string>& sources,
                                                             const std::string& position,
                                                             std::optional<std::size_t> viewed, bool main_is_viewed,
                                                             const std::optional<Seats>& seats);

// The SPL view's properties from the settings and the meter snapshot.
ui::tf_plot::SplViewProps spl_view_props(const Settings& settings, const engine::meter::MeterSnapshot& meter);

}  // namespace ui::main_window
