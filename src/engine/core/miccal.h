#pragma once
// Microphone calibration files: plain text, one frequency (Hz) / level (dB)
// pair per line, resampled onto the 240-point grid.
#include <string_view>
#include <vector>

#include "base/result.h"

namespace engine::miccal {

struct Pair {
    float hz = 0.0f;
    float db = 0.0f;
    bool operator==(const Pair&) const = default;
};

// The sorted (stable, by frequency) pairs of a calibration file's text, or
// "no frequency / dB pairs found" when fewer than two are read.
base::Result<std::vector<Pair>> parse(std::string_view text);

// The file's calibration on the grid (240 dB values), or empty when the path
// is empty or the file cannot be used (logged as a warning).
std::vector<float> load(std::string_view path);

// The pairs (sorted, at least two) resampled onto the grid: flat outside
// their range, straight lines over log frequency between them.
std::vector<float> resample(const std::vector<Pair>& pairs);

}  // namespace engine::miccal
