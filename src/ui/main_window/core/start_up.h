#pragma once
// What the main window does once, at its first render: load the settings,
// choose the project to open, set aside the autosave of the previous run,
// and start the restore task that offers to recover it and then applies the
// chosen project.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/persist/autosave.h"
#include "reactive/task.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// The settings of "settings.ron" in `data_dir`, sanitised; the defaults
// without a folder or a readable file (a file that does not parse is copied
// to "settings.ron.bad").
Settings load_settings(const std::optional<Path>& data_dir);

// What the start-up looks at.
struct StartInputs {
    std::vector<Path> pending;       // files the system asked to open, oldest first
    std::vector<std::string> args;   // the command line (raw bytes), program first
    std::optional<Path> data_dir;    // the data folder (legacy session)
    std::optional<Path> autosave_dir;  // the autosave folder while this instance holds the lock
    engine::trace::AutosaveOrder* order = nullptr;  // the autosave counter and file lock
};

// What the restore task gets.
struct Restore {
    std::optional<Session> kept;        // the previous run's autosave
    std::optional<Path> kept_project;   // the project file that autosave was made for
    std::optional<Path> requested;      // the start path asked for by the system or the command line
    std::optional<Path> failed;         // a start path that did not read
    std::optional<Session> start;       // the session of the start path or the legacy file
    std::optional<Path> start_path;     // the path the start session came from
    std::optional<Path> legacy;         // "session.ron", when the start session came from it
};

// The file work of the start: chooses and reads the start project, reads the
// legacy session when there is none, moves the previous autosave aside and
// reads it (an unreadable one becomes "autosave.bad-<time>.vtproject").
Restore plan_start(const Settings& settings, const StartInputs& in);

// Offers the kept autosave ("Recover Changes"), reports a start project that
// did not read, and applies the chosen project.
reactive::Task<void> restore_at_start(WindowState s, Restore r);

// The inputs of this process: queued files, command line and folders.
StartInputs process_start_inputs(const WindowState& s);

// Removes the temporary files that atomic writes of earlier runs left when
// they were killed ("<name>.<pid>.tmp" whose process has ended): in the data
// folder and the autosave folder any of them, in the folders of the recent
// and last projects those of project files ("*.vtproject", or the name of a
// listed project). Only while this instance holds the autosave lock, so that
// a second instance never touches the first one's files. Gives the paths
// removed (each logged at INFO).
std::vector<Path> remove_stale_temporaries(const Settings& settings, const StartInputs& in);

// Run once at the first render: removes stale temporary files, fills Open
// Recent, plans the start and spawns the restore task.
void start_up(const WindowState& s, const StartInputs& in);

}  // namespace ui::main_window
