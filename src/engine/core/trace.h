#pragma once
// One stored measurement on the 240-point grid, its captured layers and the
// data derived from them (window of N cycles, points, impulse-response display).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/core/tf.h"

namespace engine::trace {

using tf::Arrival;
using tf::Complex;
using tf::Point;
using tf::Triple;

// One analysis layer of a trace: its impulse response quantised to 16 bits,
// first the 1 ms before time zero, then the n/2 samples from time zero on.
struct Layer {
    std::size_t n = 0;
    float scale = 0.0f;
    std::vector<std::int16_t> ir;

    // The layer's circular impulse response of n samples (index 0 = time zero).
    std::vector<float> impulse(float fs) const;

    bool operator==(const Layer&) const = default;
};

// One layer handed to Trace::from_layers: its FFT size and at least n/2 bins.
struct LayerBins {
    std::size_t n = 0;
    std::vector<Triple> bins;
};

struct Trace {
    // Persisted, in file order.
    std::string name;
    std::string source;
    std::string position;
    std::uint32_t fs = 0;
    std::size_t n = 0;
    std::size_t delay_samples = 0;
    float gate = 0.0f;
    std::vector<Complex> h;
    std::vector<float> confidence;
    std::vector<float> ir;
    float ir_ms = 0.0f;
    std::vector<Arrival> arrivals;
    std::vector<Layer> layers;
    std::vector<float> cal;
    bool visible = true;
    bool used = true;
    // Derived, never written.
    std::vector<Complex> windowed;
    std::vector<Point> points;

    // A trace on the grid from 240 (re, im, conf) triples.
    static Trace make(std::string name, std::uint32_t fs, std::size_t delay_samples,
                      std::span<const Triple> bins, float gate);
    // A captured trace from 1 to 4 layers' FFT bins (longest first).
    static Trace from_layers(std::string name, std::uint32_t fs, std::size_t delay_samples,
                             std::span<const LayerBins> layers, std::span<const float> cal, float gate);
    // A trace from one layer's raw bins 0 .. n/2 - 1 of an FFT of size n and
    // their confidences, as from_layers makes it; the arrays are freed as
    // soon as they are read.
    static Trace from_bins(std::string name, std::uint32_t fs, std::size_t delay_samples, std::size_t n,
                           std::vector<Complex>&& h, std::vector<float>&& conf, float gate);
    // A computed trace keeping the identity (name, source, position, flags) of t.
    static Trace with_points(const Trace& t, std::span<const Triple> bins);

    // Recomputes `windowed` (window of `cycles` periods; none when cycles <= 0,
    // NaN, or without layers) and `points`.
    void apply_cycles(float cycles);
    // Recomputes `points` from `windowed` (when not empty) or `h`, with `confidence`.
    void rebuild_points();
    // Recomputes `ir`, `arrivals` and `ir_ms` from the first layer (no-op without layers).
    void render_ir();

    bool operator==(const Trace&) const = default;
};

// The 240 grid triples of one layer's FFT bins: per grid band the mean |H|
// and mean confidence of its bins, the phase interpolated between the unit
// phasors of the two bins around the grid frequency.
std::vector<Triple> grid_of_bins(const LayerBins& layer, float fs);
// The same from the first bins of an FFT of size n (bins past the span count
// as zero), computed only for the grid points where `read` is set (every
// point when it is empty); the others stay zero.
std::vector<Triple> grid_of_bins(std::size_t n, float fs, std::span<const Triple> bins,
                                 const std::vector<bool>& read = {});
// How many bins, from bin 0, grid_of_bins reads for the points where `read`
// is set (every point when it is empty).
std::size_t grid_bins_read(std::size_t n, float fs, const std::vector<bool>& read = {});
// The same from a transfer function: bins 0..n/2 in x (at least n/2 + 1
// values, used up; bins 0 and n/2 are left out), into `out` (n samples).
void impulse_of_transfer(std::size_t n, std::span<Complex> x, std::vector<float>& out);

// "Position 1".
std::string default_position();

// Leaves `used` set on at most one trace per (source, position), the first.
void untick_duplicates(std::vector<Trace>& traces);

}  // namespace engine::trace
