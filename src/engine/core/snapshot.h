#pragma once
// The analyzer's published record: everything the measurement view draws,
// from a live run or from a stored trace.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/tf.h"
#include "engine/core/trace.h"

namespace engine::analyzer {

using tf::Arrival;
using tf::Point;

inline constexpr std::size_t OCTAVE_BANDS = 10;

struct Snapshot {
    std::optional<std::size_t> found;        // delay found by the running search, samples
    std::vector<Point> points;               // live transfer function on the grid
    std::vector<Point> accumulated;          // accumulated transfer function
    std::vector<float> ir;                   // impulse-response display (600 dB levels)
    std::vector<Arrival> arrivals;
    std::vector<Point> spectrum;             // microphone spectrum on the grid
    std::vector<std::pair<std::uint8_t, float>> harmonics;  // (k, dB) for k = 2..5
    std::string status;
    std::string label;                       // name of a stored trace shown; empty live
    std::array<float, OCTAVE_BANDS> octave_conf{};  // centred 31.25 x 2^i Hz
    std::size_t fft_size = 0;
    std::size_t delay = 0;
    std::uint64_t averages = 0;
    float ir_span_ms = 0.0f;
    std::uint32_t sample_rate = 0;
    float gate = 0.0f;
    float find_conf = 0.0f;
    float mic_db = 0.0f;
    float ref_db = 0.0f;
    bool accumulate = false;
    bool warn = false;
    bool running = false;
    bool lost = false;

    // The record a new analyzer starts with: "Opening input", running.
    static Snapshot opening(float coherence_threshold);
    // A stored trace shown through the same record (display synthesised
    // from the 240 points when the trace has none).
    static Snapshot of_trace(const trace::Trace& trace);

    bool operator==(const Snapshot&) const = default;
};

// Mean confidence per octave band (centre 31.25 x 2^i Hz, edges centre / sqrt 2
// included to centre x sqrt 2 excluded) of 240 grid confidences; 0 for a band
// without grid points.
std::array<float, OCTAVE_BANDS> octave_confidence(const std::vector<float>& confidence);

}  // namespace engine::analyzer
