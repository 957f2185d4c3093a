#pragma once
// The process's logging: daily log files in the data folder's "logs" folder,
// written by one writer thread, and every line also on standard error.
//
//   auto logging = shell::init_logging();   // kept for the life of the process
//
// Lines come from the `base::log` facade (the line format is its
// `format_line`); GLib's log records and spdlog's default logger are bridged
// into it. ERROR, WARN and INFO are written; DEBUG and TRACE are not.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace shell {

// The process-wide target of the shell's own events.
inline constexpr std::string_view LOG_TARGET = "Veltrum";

// Most log files kept in the logs folder.
inline constexpr std::size_t LOG_FILES_KEPT = 3;
// Lines the writer thread's queue holds; a line that does not fit is dropped.
inline constexpr std::size_t LOG_QUEUE_LINES = 128000;

using WallClock = std::function<std::chrono::system_clock::time_point()>;

// "veltrum.YYYY-MM-DD.log" for the UTC day of `t`.
std::string log_file_name(std::chrono::system_clock::time_point t);

// True for the names that count as log files: "veltrum…log".
bool is_log_file_name(std::string_view name);

// When the folder holds LOG_FILES_KEPT or more regular files with log file
// names, deletes the oldest by creation time (the name breaks ties) until
// LOG_FILES_KEPT - 1 remain. Other names and folders are left alone.
void prune_log_files(const std::filesystem::path& folder);

struct LogSetup {
    // The data folder; none: standard error only.
    std::optional<std::filesystem::path> data_dir;
    // The time that picks the day's file (the system clock by default).
    WallClock clock;
    // Standard error (tests pass a file of their own).
    std::FILE* err = stderr;
    // Colours on `err` in the fallback case; by default unless NO_COLOR is
    // set to a non-empty text.
    std::optional<bool> colour;
};

// Keeps the log writer thread and the sinks alive. Dropping it puts the
// facade back on plain standard error and lets the writer finish its queue.
class LogHandle {
public:
    LogHandle();
    ~LogHandle();
    LogHandle(LogHandle&&) noexcept;
    LogHandle& operator=(LogHandle&&) noexcept;

    // True when lines also go to the day's log file.
    bool writes_files() const;
    // The logs folder in use, when `writes_files`.
    std::optional<std::filesystem::path> folder() const;
    // Waits (at most `limit`) until the writer thread has written every
    // queued line. For tests and the fatal-error hook.
    void drain(std::chrono::milliseconds limit) const;

    struct State;
    explicit LogHandle(std::shared_ptr<State> s);

private:
    std::shared_ptr<State> s_;
};

// Sets up logging for the data folder of the product id "veltrum":
// "<data folder>/logs" is created when missing and the day's file opened;
// when any of that fails lines go to standard error only, after the WARN
// "no log directory, logging to stderr only".
LogHandle init_logging();
LogHandle init_logging(LogSetup setup);

// ---- fatal errors ---------------------------------------------------------

struct PanicInfo {
    std::string location;                // where it happened, as far as known
    std::optional<std::string> message;  // the error's text, when it has one
};

// ERROR "panicked at <location>:" (and a line break and the message when
// there is one), target "Veltrum"; the log files get it before it returns.
void log_panic(const PanicInfo& info);

// Installs the fatal-error hook in front of the one in force (std::terminate's
// handler): it logs the escaped exception with log_panic and then runs the
// kept handler, which reports to standard error and ends the process.
void install_panic_hook();

}  // namespace shell
