#pragma once
// The frequency grid, response points, FFT plans, transfer-function layers
// and the time-domain analysis of the measurement engine.
//
// The grid: 240 frequencies f[i] = 20 x 1000^(i/239) Hz (20 Hz .. 20 kHz),
// built once. Complex values are pairs of 32-bit floats; the forward FFT uses
// e^(-i 2 pi k j / n), and a delay tau multiplies a response by
// e^(-i 2 pi f tau). No transform here is normalised.
#include <array>
#include <atomic>
#include <complex>
#include <filesystem>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace engine::tf {

using Complex = std::complex<float>;

// ---------------------------------------------------------------- grid

inline constexpr std::size_t GRID_POINTS = 240;
// Relative width (hi - lo) / f of one full grid band.
inline constexpr float BAND_WIDTH = 0.028903723f;
// ln(1000) / 239: the natural-log step between neighbouring grid points.
inline constexpr float GRID_STEP_LN = 0.028902743f;

using Grid = std::array<float, GRID_POINTS>;

// The 240 grid frequencies; the first call in the process computes them.
const Grid& point_freq();
// Lower and upper edge of the band of grid point i (i < 240).
float band_lo(std::size_t i);
float band_hi(std::size_t i);
// Fractional grid position of f: ln(f / 20) / GRID_STEP_LN (0 at 20 Hz, 239 at 20 kHz).
float grid_position(float f);

// One grid point of a response.
struct Point {
    float hz = 0.0f;
    float db = 0.0f;
    float deg = 0.0f;
    float conf = 0.0f;
    bool operator==(const Point&) const = default;
};

// A complex response value and its confidence on one grid point (or one bin).
struct Triple {
    float re = 0.0f;
    float im = 0.0f;
    float conf = 0.0f;
    bool operator==(const Triple&) const = default;
};

// One Point per triple (at most 240), on the first grid frequencies.
std::vector<Point> points_of(std::span<const Triple> bins);

// Integrates a per-bin power spectrum of an FFT of size n (n >= 4, at least
// n/2 powers) into the 240 grid bands.
std::vector<float> band_powers(std::size_t n, std::span<const float> power, float fs);

// |z| with the value of the C library's hypotf (the square root of the exact
// double-precision sum of squares, rounded once) without its call.
inline float magnitude(Complex z) {
    const float x = z.real();
    const float y = z.imag();
    if (__builtin_isinf(x) || __builtin_isinf(y)) return __builtin_inff();
    return static_cast<float>(__builtin_sqrt(static_cast<double>(x) * x + static_cast<double>(y) * y));
}

// 20 log10(max(|z|, 1e-9)); NaN gives -180.
float db_of(Complex z);

// ---------------------------------------------------------------- FFT plans

namespace plan {

// Complex transforms of n points, or transforms of n real samples: RealForward
// takes n samples to bins 0..n/2 (n/2 + 1 values), RealInverse takes those
// bins back to n samples.
enum class Direction : std::uint8_t { Forward, Inverse, RealForward, RealInverse };

// One FFT plan of one size and direction. Unnormalised. Executing is safe
// from any thread; the plan is shared by the layers that hold it. A size with
// a large prime factor is transformed by chirp over power-of-two transforms
// of at least twice its length, with a work area of its own.
class Fft {
public:
    Fft(std::size_t len, Direction dir);
    ~Fft();
    Fft(const Fft&) = delete;
    Fft& operator=(const Fft&) = delete;

    std::size_t len() const { return len_; }
    Direction direction() const { return dir_; }
    // Whether the plan came from measured plans (kept as wisdom), not from
    // the planner's estimate.
    bool measured() const;
    // Work area a caller needs beside its buffer (none: transforms run in place).
    std::size_t scratch_len() const { return 0; }

    // Complex plans. In place; buf.size() must equal len().
    void process(std::span<Complex> buf) const;
    // Complex plans. Out of place; in.size() and out.size() must equal len().
    void process(std::span<const Complex> in, std::span<Complex> out) const;
    // RealForward: in.size() == len(), out.size() == len() / 2 + 1.
    void process(std::span<const float> in, std::span<Complex> out) const;
    // RealInverse: in.size() == len() / 2 + 1 (its content is used up),
    // out.size() == len().
    void process(std::span<Complex> in, std::span<float> out) const;

    // Whether the size is transformed by chirp.
    bool by_chirp() const;
    // Complex plans: bins first .. first + out.size() - 1 (mod len()) of the
    // transform of len() values, the first in.size() of them `in` and the
    // others zero (in.size() and out.size() at most len(), first below it).
    // `in` and `out` may be the same memory. By chirp the transforms are only
    // as long as those bins need (about in.size() + out.size() points rather
    // than 2 len()), on a work area of the call's own.
    void process_part(std::span<const Complex> in, std::size_t first, std::span<Complex> out) const;
    // RealForward: bins 0 .. out.size() - 1 (at most len() / 2 + 1) of the
    // len() samples `in` of which only `count` from `from` on (mod len())
    // are taken, the others as zero; likewise by chirp (about
    // count + out.size() points).
    void process_part(std::span<const float> in, std::size_t from, std::size_t count, std::span<Complex> out) const;
    // Makes the tables of a size done by chirp that a process_part taking
    // `given` values from `from` on to bins first .. first + count - 1 works
    // with (shared by every thread's plan of the size while one is held),
    // and this thread's plans for it.
    void prepare_part(std::size_t from, std::size_t given, std::size_t first, std::size_t count) const;

private:
    struct Impl;
    std::size_t len_;
    Direction dir_;
    std::unique_ptr<Impl> impl_;
};

using FftHandle = std::shared_ptr<const Fft>;

// Whether transforms of n points go by chirp (Fft::by_chirp), without a plan.
bool by_chirp(std::size_t n);

// Plans of one thread, cached by size and direction. Plan creation anywhere
// in the process takes one process-wide lock (the FFT library's planner is
// not thread-safe). A plan is the measured one when the wisdom holds it
// (see learn), otherwise the planner's estimate; planning never measures.
class Planner {
public:
    FftHandle plan(std::size_t n, Direction dir);
    FftHandle plan_fft_forward(std::size_t n) { return plan(n, Direction::Forward); }
    FftHandle plan_fft_inverse(std::size_t n) { return plan(n, Direction::Inverse); }
    std::size_t cached() const { return cache_.size(); }
    // Forgets the cached plans that were estimated, so that the next request
    // of each takes the measured plan if the wisdom holds it by then.
    void drop_estimated();

private:
    std::map<std::pair<std::size_t, Direction>, FftHandle> cache_;
};

// The calling thread's planner.
extern thread_local Planner PLANNER;

inline FftHandle forward(std::size_t n) { return PLANNER.plan(n, Direction::Forward); }
inline FftHandle inverse(std::size_t n) { return PLANNER.plan(n, Direction::Inverse); }
inline FftHandle real_forward(std::size_t n) { return PLANNER.plan(n, Direction::RealForward); }
inline FftHandle real_inverse(std::size_t n) { return PLANNER.plan(n, Direction::RealInverse); }

// ---- wisdom: measured plans kept across runs

// The wisdom file in the data folder ("fftw-wisdom"); nothing without a data folder.
std::optional<std::filesystem::path> wisdom_path();

// Reads the wisdom file once per process (later calls do nothing); a missing
// or unreadable file leaves the wisdom empty. The first plan request reads it.
void load_wisdom();

// Of the given plans, those the wisdom does not hold yet.
std::vector<std::pair<std::size_t, Direction>> unmeasured(std::span<const std::pair<std::size_t, Direction>> keys);

// Measures the given plans one after the other (each holds the planner's lock
// for at most about `limit_secs`), stopping between two plans once `stop`
// reads true, then writes the wisdom to `path`. Returns how many plans were
// measured. Meant for a background thread: no plan request waits for more
// than one measurement.
std::size_t learn(std::span<const std::pair<std::size_t, Direction>> keys, const std::filesystem::path& path,
                  const std::atomic<bool>& stop, double limit_secs = 1.0);

// ---- transform timing (benchmarks)

// The transforms one thread executed while its timing was on, and the time
// they took. Off unless switched on: the check costs one thread-local load.
struct TransformTime {
    std::uint64_t count = 0;
    double seconds = 0.0;
};

// Switches timing on or off for the calling thread (totals are kept).
void time_transforms(bool on);
// The calling thread's totals so far.
TransformTime transform_time();

}  // namespace plan

// In-place transforms through the calling thread's planner (unnormalised).
void fft_forward(std::span<Complex> buf);
void fft_inverse(std::span<Complex> buf);

// ---------------------------------------------------------------- layers

// One analysis layer: averaged auto- and cross-spectra of reference and
// microphone for an FFT of size n.
struct TransferFunction {
    std::vector<Complex> scratch;          // work area of the forward FFT
    std::vector<float> window;             // periodic Hann (all ones for a sweep layer)
    std::vector<float> mic_queue;          // samples waiting for a hop (fewer than hop after feed)
    std::vector<float> ref_queue;
    std::vector<float> mic_frame;          // n
    std::vector<float> ref_frame;          // n
    std::vector<float> windowed_frame;     // n: the microphone frame times the window
    std::vector<float> windowed_ref;       // n: the reference frame times the window
    std::vector<Complex> ref_spec;         // n/2 + 1
    std::vector<Complex> mic_spec;         // n/2 + 1
    std::vector<float> sxx;                // n/2
    std::vector<float> syy;                // n/2
    std::vector<Complex> sxy;              // n/2
    std::vector<Complex> clean;            // sweep layer: gated transfer function
    std::vector<std::size_t> harmonic_offsets;
    std::vector<std::pair<std::uint8_t, float>> harmonics;
    plan::FftHandle fft;
    std::size_t n = 0;
    std::size_t hop = 0;
    std::size_t averages = 0;
    std::size_t skip = 0;
    std::size_t delay = 0;
    std::size_t filled = 0;
    std::uint64_t count = 0;
    // Sums of squares of the newest hop of each frame, which the next frame
    // keeps as its first half (known once a full frame was taken).
    double mic_kept_sq = 0.0;
    double ref_kept_sq = 0.0;
    bool halves_known = false;
    float fs = 0.0f;
    float w = 0.0f;
    float mic_rms = 0.0f;
    float ref_rms = 0.0f;
    float floor = 1e-12f;
    bool sweep = false;
    bool off_direct = false;

    // A fresh layer of FFT size n, planned on the calling thread.
    TransferFunction(std::size_t n, std::size_t averages, float fs);

    // Restart the averages at delay d (window, hop, averages and sweep settings stay).
    void reset(std::size_t d);

    // Transfer function and bias-corrected coherence of bin k (k < n/2).
    std::pair<Complex, float> bin(std::size_t k) const;
    // The same for bins 0 .. out.size() - 1 (at most n/2) at once.
    void bins(std::span<Triple> out) const;
    // Their transfer functions alone.
    void transfer(std::span<Complex> out) const;

    // Takes new paired samples (equal lengths), frames them and advances the
    // averages; a sweep layer also separates the harmonics. Returns the
    // number of frames completed. (Defined with the analyzer.)
    std::size_t feed(std::span<const float> mic, std::span<const float> reference);
};

// Long-term coherence-weighted accumulation of one layer.
struct Accumulator {
    std::vector<Complex> sxy;   // n/2
    std::vector<float> power;   // n/2
    std::vector<float> weight;  // n/2
    std::size_t n = 0;
    std::int64_t shift = 0;
    float fs = 0.0f;
    float threshold = 0.0f;
    float full_weight = 0.0f;

    Accumulator(std::size_t n, float fs, float threshold, std::size_t averages);

    void clear();
    // Accumulated transfer function and confidence of bin k (k < n/2).
    std::pair<Complex, float> bin(std::size_t k) const;
    // The same for bins 0 .. out.size() - 1 (at most n/2) at once.
    void bins(std::span<Triple> out) const;
    // Their transfer functions alone.
    void transfer(std::span<Complex> out) const;
    // Adds the layer's current average `times` times, weighted by coherence.
    // (Defined with the analyzer.)
    void add(const TransferFunction& layer, std::uint32_t times);
};

// Value at f of a circular impulse response (index 0 = time zero) under a
// window from 1 ms before zero to `cycles` periods of f (at most 34) after it.
Complex windowed_at(std::span<const float> ir, float fs, float f, float cycles);

// Merges 1 to 4 layers' 240 grid triples (longest FFT first) through the
// layer crossovers, then divides out the microphone calibration (dB per point).
std::vector<Triple> merge_cal(std::span<const std::vector<Triple>> layers, std::span<const float> cal, float fs);

// ---------------------------------------------------------------- delay and impulse response

// One arrival found in an impulse response.
struct Arrival {
    float ms = 0.0f;  // after time zero, to 0.1 ms
    float db = 0.0f;  // relative to the displayed peak, whole dB, -60..0
    bool operator==(const Arrival&) const = default;
};

struct DelayFound {
    std::size_t delay = 0;  // samples the microphone lags the reference
    float confidence = 0.0f;
    bool operator==(const DelayFound&) const = default;
};

// Delay of mic behind reference by regularised deconvolution (lags 0 .. 0.5 s).
std::optional<DelayFound> find_delay(std::span<const float> mic, std::span<const float> reference, float fs);

// Bulk delay (seconds, positive when lagging) of a 240-point grid response.
float bulk_delay(std::span<const Complex> h);

// Envelope of ir restricted to the grid frequencies with enough confidence
// (conf must hold 240 values, otherwise ir is returned unchanged).
std::vector<float> confident_envelope(std::span<const float> ir, std::span<const float> conf, float fs);

// Display span in ms: 40, 80, 160 or 320.
float ir_span_ms(std::span<const float> ir, float fs);

inline constexpr std::size_t IR_DISPLAY_LEN = 600;

struct IrDisplay {
    std::vector<float> display;  // 600 dB levels (-60..0) or empty
    std::vector<Arrival> arrivals;
    bool operator==(const IrDisplay&) const = default;
};

// Display (600 block maxima in dB from -2 ms to the span) and up to 6 arrivals.
IrDisplay ir_display(std::span<const float> ir, float fs);
// The same with the response's span (ir_span_ms) already known.
IrDisplay ir_display(std::span<const float> ir, float fs, float span_ms);

// The display of an impulse response and its span, both of its confident
// envelope: confident_envelope, ir_span_ms and ir_display in one, with the
// envelope computed only where those two read it.
struct IrView {
    float span_ms = 0.0f;
    IrDisplay display;
};
IrView confident_ir_display(std::span<const float> ir, std::span<const float> conf, float fs);
// Makes ready, on this thread, what confident_ir_display of n samples at fs
// works with: its plans and, for a size transformed by chirp, the chirp's
// tables, which then stay while this thread holds the plans.
void prepare_ir_display(std::size_t n, float fs);

// ---------------------------------------------------------------- weighting

// Frequency weightings of sound levels.
enum class Weighting : std::uint8_t { Z = 0, A = 1, C = 2 };

// Weighting in dB at a frequency in Hz (32-bit arithmetic throughout).
float a_weighting_db(float hz);
float c_weighting_db(float hz);
float weighting_db(Weighting w, float hz);

}  // namespace engine::tf
