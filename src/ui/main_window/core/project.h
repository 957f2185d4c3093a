#pragma once
// Projects: moving the work between the window state and project files.
// New, Open, Save, Save As, the unsaved-changes question that guards them,
// loading a `Session` into the window and building one from it, and the
// small trace handlers that mark the project unsaved.
#include <functional>
#include <optional>
#include <string>

#include "reactive/task.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

inline constexpr std::string_view PROJECT_EXTENSION = "vtproject";
inline constexpr std::string_view PROJECT_FILTER = "Veltrum Project";

// The window's project as a `Session`, with the setup taken from the settings.
Session current_session(const WindowState& s);

// Marks the project unsaved and queues an autosave of it.
void mark_unsaved(const WindowState& s);

// Writes the project to `path`; true when written. A failure shows
// "Save failed".
bool save_project(const WindowState& s, const Path& path);
// Asks for a path, then saves; false when cancelled or failed.
reactive::Task<bool> save_project_as(WindowState s);
// Saves to the project's file, or asks for one first.
reactive::Task<bool> save_current(WindowState s);
// Asks about unsaved changes; true when the calling command may go on.
reactive::Task<bool> confirm_unsaved(WindowState s);
reactive::Task<void> new_project(WindowState s);
// Opens `path`, or asks for one with the open panel.
reactive::Task<void> open_project(WindowState s, std::optional<Path> path);

// The chosen save path with the project extension appended unless its file
// name already ends in it (ASCII case ignored; a name that is only the
// extension gets it again).
Path with_project_extension(const Path& chosen);

// Makes `session` the window's project, loaded from `path` (none: no file).
void apply_session(const WindowState& s, Session session, std::optional<Path> path);
// Copies a setup into the settings and sanitises them.
void setup_into_settings(Settings& settings, const Setup& setup);
// Changes the settings through the store, then restarts the worker of the
// shown view when one runs.
void change_and_restart(const WindowState& s, const std::function<void(Settings&)>& change);

void toggle_trace_visible(const WindowState& s, std::size_t index);
void toggle_trace_used(const WindowState& s, std::size_t index);

// How long the wheel edits of a band settle before the autosave.
inline constexpr reactive::Duration WHEEL_SETTLE = std::chrono::milliseconds(300);
// Queues the autosave once the wheel counter has stayed at `generation`.
reactive::Task<void> autosave_after_wheel(WindowState s, std::uint64_t generation);

// The six default bands of a source without bands.
std::vector<engine::eqfit::Band> default_bands();

}  // namespace ui::main_window
