#pragma once
// How the panels edit the design: which source and zone they work on, the
// design edit with its bookkeeping (unsaved mark, autosave), and read-only
// copies of a source and of a measured trace through a strip.
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "ui/main_window/core/state.h"

namespace ui::main_window {

using engine::design::Design;
using engine::design::Source;

// The source the right pane edits: the selected one when listed, else the
// v kept inside [lo, hi] by plain comparisons: a NaN passes unchanged.
template <class T>
T limited(T v, T lo, T hi) {
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

// first listed, else empty.
std::string current_source(const WindowState& s);
// (index, position) of the picked zone of the current source, when it has one.
std::optional<std::pair<std::size_t, std::string>> current_zone(const WindowState& s);
// Applies `change` to the design, marks the project unsaved and queues an
// autosave. `change` must not touch the window's cells.
void edit_design(const WindowState& s, const std::function<void(Design&)>& change);
// Applies `change` to the current source; with a zone picked, the change's
// bands and PEQ switch are the zone's. A change that adds, removes or
// reorders zones while a zone is picked is refused (nothing changes).
void edit_current_source(const WindowState& s, const std::function<void(Source&)>& change);
// Applies `change` to the current source's own fields, whatever zone is picked.
void current_source_mut(const WindowState& s, const std::function<void(Source&)>& change);
// A copy of the design's source of that name, or a new default one.
Source source_or_new(const WindowState& s, const std::string& name);
// The ticked trace of the source at the current position through its strip
// (with or without the crossover filters).
std::optional<Trace> trace_through_strip(const WindowState& s, const std::string& name);
std::optional<Trace> trace_through_strip_unfiltered(const WindowState& s, const std::string& name);

}  // namespace ui::main_window
