#pragma once
// Small pure helpers the window shares: the project's display name, the
// positions of the traces, the change keys that decide when the window's
// copies of the analyzer and meter snapshots are replaced, and the stored
// traces the plot draws beside the live curve.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/analyzer/analyzer.h"
#include "engine/meter/meter.h"
#include "engine/core/trace.h"

namespace ui::main_window {

// The file name without its last extension, as valid text; "Untitled"
// without a path or without an ordinary file name.
std::string project_name(const std::optional<std::filesystem::path>& path);

// The distinct positions of the traces, in order of first appearance.
std::vector<std::string> positions(const std::vector<engine::trace::Trace>& traces);

// What the window's controls show of an analyzer snapshot.
struct UiKey {
    std::optional<std::size_t> found;
    std::string status;
    std::vector<engine::tf::Arrival> arrivals;
    std::int64_t ir_span_ms = 0;
    std::size_t delay = 0;
    std::int64_t mic_db = 0;
    std::int64_t ref_db = 0;
    std::uint32_t sample_rate = 0;
    std::int64_t find_conf = 0;  // tenths
    bool warn = false;
    bool running = false;
    bool accumulate = false;
    std::uint64_t dropouts = 0;
    std::vector<std::pair<std::uint8_t, std::int64_t>> harmonics;
    bool operator==(const UiKey&) const = default;
};
UiKey ui_key(const engine::analyzer::Snapshot& s);

// What the SPL view shows of a meter snapshot.
struct MeterKey {
    std::string status;
    std::array<std::int32_t, 10> levels{};  // tenths of a dB; unset maxima the lowest value
    std::int64_t rms_dbfs = 0;
    std::uint32_t sample_rate = 0;
    std::uint32_t leq_secs = 0;
    bool clipping = false;
    bool warn = false;
    bool running = false;
    bool operator==(const MeterKey&) const = default;
};
MeterKey meter_key(const engine::meter::MeterSnapshot& s);

// One seat of the current source on the EQ tab.
struct Seat {
    std::size_t trace = 0;     // index in the trace list
    std::string position;
    std::uint8_t colour = 0;   // 0..3
    float db = 0.0f;           // level relative to the ticked seats
    bool ticked = false;
    bool operator==(const Seat&) const = default;
};
// The seats of the source being EQ'd.
struct Seats {
    std::vector<Seat> seats;
    std::vector<engine::tf::Point> average;
    float picked_db = 0.0f;  // level of the seat at the current position
    bool operator==(const Seats&) const = default;
};

// One stored curve the plot draws: points, index in the trace list, gate.
struct StoredCurve {
    std::vector<engine::tf::Point> points;
    std::size_t index = 0;
    float gate = 0.0f;
    bool operator==(const StoredCurve&) const = default;
};
// The visible traces at the current position (or the seats' traces,
// levelled to the current seat), without the viewed trace.
std::vector<StoredCurve> stored_curves(const std::vector<engine::trace::Trace>& traces, const std::string& position,
                                       std::optional<std::size_t> viewed, const std::optional<Seats>& seats);

}  // namespace ui::main_window
