#include "engine/core/tf.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <numbers>
#include <tuple>
#include <unordered_map>

#include "api/client.h"
#include "base/cast.h"
#include "base/log.h"

namespace engine::tf {

namespace {

// |z|^2 as re^2 + im^2: the library's std::norm goes through hypot.
inline float norm2(Complex z) { return z.real() * z.real() + z.imag() * z.imag(); }

// Four float lanes, loads without alignment, masks of comparisons and selects.
using V4 = float __attribute__((vector_size(16)));

inline V4 load4(const float* p) {
    V4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

using V4i = std::int32_t __attribute__((vector_size(16)));

inline V4 select4(V4i m, V4 a, V4 b) { return (V4)(((V4i)a & m) | ((V4i)b & ~m)); }
inline V4 splat4(float v) { return V4{v, v, v, v}; }

// Lane moves written element by element, which GCC and clang both accept
// and turn into shuffles. even4/odd4: the real and imaginary parts of four
// interleaved complex values a, b; zip_lo4/zip_hi4 interleave them again;
// dup_lo4/dup_hi4 repeat each of the low or high two lanes.
inline V4 even4(V4 a, V4 b) { return V4{a[0], a[2], b[0], b[2]}; }
inline V4 odd4(V4 a, V4 b) { return V4{a[1], a[3], b[1], b[3]}; }
inline V4 zip_lo4(V4 a, V4 b) { return V4{a[0], b[0], a[1], b[1]}; }
inline V4 zip_hi4(V4 a, V4 b) { return V4{a[2], b[2], a[3], b[3]}; }
template <class V>
inline V dup_lo4(V a) {
    return V{a[0], a[0], a[1], a[1]};
}
template <class V>
inline V dup_hi4(V a) {
    return V{a[2], a[2], a[3], a[3]};
}

}  // namespace

// ---------------------------------------------------------------- grid

namespace {

struct GridTables {
    Grid f{};
    Grid lo{};
    Grid hi{};
};

const GridTables& grid_tables() {
    // A function-local static: one caller computes it, concurrent first
    // callers wait, later reads take no lock.
    static const GridTables tables = [] {
        GridTables t;
        for (std::size_t i = 0; i < GRID_POINTS; ++i) {
            const float e = static_cast<float>(i) / 239.0f;
            t.f[i] = 20.0f * std::pow(1000.0f, e);
        }
        for (std::size_t i = 0; i < GRID_POINTS; ++i) {
            t.lo[i] = i == 0 ? t.f[0] : std::sqrt(t.f[i - 1] * t.f[i]);
            t.hi[i] = i + 1 == GRID_POINTS ? t.f[i] : std::sqrt(t.f[i] * t.f[i + 1]);
        }
        return t;
    }();
    return tables;
}

}  // namespace

const Grid& point_freq() { return grid_tables().f; }
float band_lo(std::size_t i) { return grid_tables().lo[i]; }
float band_hi(std::size_t i) { return grid_tables().hi[i]; }

float grid_position(float f) { return std::log(f / 20.0f) / GRID_STEP_LN; }

float db_of(Complex z) {
    const float m = magnitude(z);
    return 20.0f * std::log10(m > 1e-9f ? m : 1e-9f);  // std::fmax(m, 1e-9): NaN gives 1e-9
}

std::vector<Point> points_of(std::span<const Triple> bins) {
    const Grid& f = point_freq();
    const std::size_t count = std::min(bins.size(), GRID_POINTS);
    std::vector<Point> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const Triple& b = bins[i];
        out.push_back(Point{
            .hz = f[i],
            .db = db_of(Complex(b.re, b.im)),
            .deg = std::atan2(b.im, b.re) * 57.29578f,
            .conf = b.conf,
        });
    }
    return out;
}

namespace {

// The part of bin k0 + j's power (j < count) that falls in the band lo..hi:
// power x max(0, cover) / df with the bin's cover of the band, written with
// selects (the same values as std::min and std::max) so that it vectorises.
__attribute__((optimize("no-trapping-math"))) void band_terms(const float* __restrict power, std::int32_t k0,
                                                             std::size_t count, float lo, float hi, float df,
                                                             float* __restrict out) {
    for (std::size_t j = 0; j < count; ++j) {
        const float kf = static_cast<float>(k0 + static_cast<std::int32_t>(j));
        const float up = (kf + 0.5f) * df;
        const float down = (kf - 0.5f) * df;
        const float cover = (up < hi ? up : hi) - (lo < down ? down : lo);
        out[j] = power[j] * (0.0f < cover ? cover : 0.0f) / df;
    }
}

}  // namespace

std::vector<float> band_powers(std::size_t n, std::span<const float> power, float fs) {
    std::vector<float> out(GRID_POINTS, 0.0f);
    if (n < 4 || power.size() < n / 2) return out;
    const float df = fs / static_cast<float>(n);
    const std::size_t top = n / 2 - 1;
    for (std::size_t i = 0; i < GRID_POINTS; ++i) {
        const float lo = band_lo(i);
        const float hi = band_hi(i);
        std::size_t k_lo = base::saturating_cast<std::size_t>(std::floor(lo / df + 0.5f));
        if (k_lo == 0) k_lo = 1;
        k_lo = std::min(k_lo, top);
        std::size_t k_hi = base::saturating_cast<std::size_t>(std::ceil(hi / df - 0.5f));
        k_hi = std::max(std::min(k_hi, top), k_lo);
        float sum = 0.0f;
        if (k_hi < static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            // The terms in pieces, four at a time, then summed in order.
            std::array<float, 256> terms;
            for (std::size_t k0 = k_lo; k0 <= k_hi; k0 += terms.size()) {
                const std::size_t c = std::min(terms.size(), k_hi + 1 - k0);
                band_terms(power.data() + k0, static_cast<std::int32_t>(k0), c, lo, hi, df, terms.data());
                for (std::size_t j = 0; j < c; ++j) sum += terms[j];
            }
        } else {
            for (std::size_t k = k_lo; k <= k_hi; ++k) {
                const float kf = static_cast<float>(k);
                const float cover = std::min(hi, (kf + 0.5f) * df) - std::max(lo, (kf - 0.5f) * df);
                sum += power[k] * std::max(0.0f, cover) / df;
            }
        }
        out[i] = sum;
    }
    return out;
}

// ---------------------------------------------------------------- FFT plans

namespace plan {

namespace {

// The FFT library's planner (creation and destruction of plans, wisdom) is
// not thread-safe; executing a plan is.
std::mutex& planner_mutex() {
    static std::mutex m;
    return m;
}

bool is_real(Direction dir) { return dir == Direction::RealForward || dir == Direction::RealInverse; }

// Buffers of the library's allocator for planning: input and output (the
// same for complex plans, which run in place).
struct PlanBuffers {
    float* in = nullptr;
    float* out = nullptr;
    PlanBuffers(std::size_t len, Direction dir, std::size_t extra) {
        const std::size_t half = 2 * (len / 2 + 1) + extra;
        switch (dir) {
            case Direction::Forward:
            case Direction::Inverse: in = out = fftwf_alloc_real(2 * len + extra); break;
            case Direction::RealForward:
                in = fftwf_alloc_real(len + extra);
                out = fftwf_alloc_real(half);
                break;
            case Direction::RealInverse:
                in = fftwf_alloc_real(half);
                out = fftwf_alloc_real(len + extra);
                break;
        }
    }
    ~PlanBuffers() {
        if (out != in) fftwf_free(out);
        fftwf_free(in);
    }
    PlanBuffers(const PlanBuffers&) = delete;
    PlanBuffers& operator=(const PlanBuffers&) = delete;
};

// Under the planner lock. Offsets shift the buffers by one float so that a
// plan made on them assumes no alignment.
fftwf_plan make_plan(std::size_t len, Direction dir, float* in, float* out, unsigned flags) {
    const int n = static_cast<int>(len);
    switch (dir) {
        case Direction::Forward:
        case Direction::Inverse:
            return fftwf_plan_dft_1d(n, reinterpret_cast<fftwf_complex*>(in), reinterpret_cast<fftwf_complex*>(out),
                                     dir == Direction::Forward ? FFTW_FORWARD : FFTW_BACKWARD, flags);
        case Direction::RealForward:
            return fftwf_plan_dft_r2c_1d(n, in, reinterpret_cast<fftwf_complex*>(out), flags);
        case Direction::RealInverse:
            return fftwf_plan_dft_c2r_1d(n, reinterpret_cast<fftwf_complex*>(in), out, flags);
    }
    return nullptr;
}

// The measured plan when the wisdom holds it, else the estimate.
fftwf_plan wise_plan(std::size_t len, Direction dir, float* in, float* out, unsigned extra, bool& measured) {
    fftwf_plan p = make_plan(len, dir, in, out, FFTW_MEASURE | FFTW_WISDOM_ONLY | extra);
    measured = p != nullptr;
    if (p == nullptr) p = make_plan(len, dir, in, out, FFTW_ESTIMATE | extra);
    return p;
}

std::once_flag wisdom_once;

thread_local bool timing = false;
thread_local TransformTime timed;

// Runs one transform, timed when the thread's timing is on.
template <class F>
void execute(F&& run) {
    if (!timing) {
        run();
        return;
    }
    const auto t0 = std::chrono::steady_clock::now();
    run();
    timed.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ++timed.count;
}

}  // namespace

void time_transforms(bool on) { timing = on; }
TransformTime transform_time() { return timed; }

struct Fft::Impl {
    // Planned on buffers from the library's allocator, so it may use SIMD
    // code that needs their alignment.
    fftwf_plan aligned = nullptr;
    int in_alignment = 0;
    int out_alignment = 0;
    bool measured = false;
    // For buffers of another alignment; made on first need.
    mutable std::once_flag unaligned_once;
    mutable fftwf_plan unaligned = nullptr;

    fftwf_plan for_buffers(std::size_t len, Direction dir, const void* in, const void* out) const {
        if (fftwf_alignment_of(static_cast<float*>(const_cast<void*>(in))) == in_alignment &&
            fftwf_alignment_of(static_cast<float*>(const_cast<void*>(out))) == out_alignment)
            return aligned;
        std::call_once(unaligned_once, [&] {
            std::lock_guard lock(planner_mutex());
            PlanBuffers b(len, dir, 0);
            bool m = false;
            // A plan that assumes no alignment of the buffers it is given.
            unaligned = wise_plan(len, dir, b.in, b.out, FFTW_UNALIGNED, m);
        });
        return unaligned;
    }
};

Fft::Fft(std::size_t len, Direction dir) : len_(len), dir_(dir), impl_(std::make_unique<Impl>()) {
    if (len_ == 0) return;
    if (len_ > static_cast<std::size_t>(std::numeric_limits<int>::max() / 2)) std::abort();
    load_wisdom();
    std::lock_guard lock(planner_mutex());
    PlanBuffers b(len_, dir_, 0);
    impl_->aligned = wise_plan(len_, dir_, b.in, b.out, 0, impl_->measured);
    impl_->in_alignment = fftwf_alignment_of(b.in);
    impl_->out_alignment = fftwf_alignment_of(b.out);
}

Fft::~Fft() {
    if (!impl_->aligned && !impl_->unaligned) return;
    std::lock_guard lock(planner_mutex());
    if (impl_->aligned) fftwf_destroy_plan(impl_->aligned);
    if (impl_->unaligned) fftwf_destroy_plan(impl_->unaligned);
}

bool Fft::measured() const { return impl_->measured; }

void Fft::process(std::span<Complex> buf) const {
    if (buf.size() != len_ || is_real(dir_)) std::abort();
    if (len_ == 0) return;
    auto* p = reinterpret_cast<fftwf_complex*>(buf.data());
    const fftwf_plan plan = impl_->for_buffers(len_, dir_, p, p);
    execute([&] { fftwf_execute_dft(plan, p, p); });
}

void Fft::process(std::span<const Complex> in, std::span<Complex> out) const {
    if (in.size() != len_ || out.size() != len_) std::abort();
    if (in.data() != out.data()) std::copy(in.begin(), in.end(), out.begin());
    process(out);
}

void Fft::process(std::span<const float> in, std::span<Complex> out) const {
    if (dir_ != Direction::RealForward || in.size() != len_ || out.size() != len_ / 2 + 1) std::abort();
    if (len_ == 0) return;
    auto* i = const_cast<float*>(in.data());  // not written: out of place, the input is kept
    auto* o = reinterpret_cast<fftwf_complex*>(out.data());
    const fftwf_plan plan = impl_->for_buffers(len_, dir_, i, o);
    execute([&] { fftwf_execute_dft_r2c(plan, i, o); });
}

void Fft::process(std::span<Complex> in, std::span<float> out) const {
    if (dir_ != Direction::RealInverse || in.size() != len_ / 2 + 1 || out.size() != len_) std::abort();
    if (len_ == 0) return;
    auto* i = reinterpret_cast<fftwf_complex*>(in.data());
    const fftwf_plan plan = impl_->for_buffers(len_, dir_, i, out.data());
    execute([&] { fftwf_execute_dft_c2r(plan, i, out.data()); });
}

FftHandle Planner::plan(std::size_t n, Direction dir) {
    const auto key = std::make_pair(n, dir);
    if (auto it = cache_.find(key); it != cache_.end()) return it->second;
    auto handle = std::make_shared<const Fft>(n, dir);
    cache_.emplace(key, handle);
    return handle;
}

void Planner::drop_estimated() {
    std::erase_if(cache_, [](const auto& e) { return e.second->len() != 0 && !e.second->measured(); });
}

thread_local Planner PLANNER;

std::optional<std::filesystem::path> wisdom_path() {
    auto dir = api::client::Product::config_dir(api::client::PRODUCT.id);
    if (!dir) return std::nullopt;
    return *dir / "fftw-wisdom";
}

void load_wisdom() {
    std::call_once(wisdom_once, [] {
        const auto path = wisdom_path();
        if (!path) return;
        auto text = api::client::read_file(*path, std::size_t{16} << 20);
        if (!text) return;
        std::lock_guard lock(planner_mutex());
        if (fftwf_import_wisdom_from_string(text->c_str()) == 0)
            base::log::warn("Veltrum::engine::tf", "FFT wisdom file unreadable, plans are estimated",
                            {{"path", path->string()}});
    });
}

std::vector<std::pair<std::size_t, Direction>> unmeasured(std::span<const std::pair<std::size_t, Direction>> keys) {
    load_wisdom();
    std::vector<std::pair<std::size_t, Direction>> out;
    std::lock_guard lock(planner_mutex());
    for (const auto& [n, dir] : keys) {
        if (n == 0 || n > static_cast<std::size_t>(std::numeric_limits<int>::max() / 2)) continue;
        PlanBuffers b(n, dir, 0);
        fftwf_plan p = make_plan(n, dir, b.in, b.out, FFTW_MEASURE | FFTW_WISDOM_ONLY);
        if (p != nullptr) {
            fftwf_destroy_plan(p);
        } else if (std::find(out.begin(), out.end(), std::make_pair(n, dir)) == out.end()) {
            out.emplace_back(n, dir);
        }
    }
    return out;
}

std::size_t learn(std::span<const std::pair<std::size_t, Direction>> keys, const std::filesystem::path& path,
                  const std::atomic<bool>& stop, double limit_secs) {
    std::size_t made = 0;
    for (const auto& [n, dir] : unmeasured(keys)) {
        if (stop.load()) break;
        // Planning buffers outside the lock: measuring overwrites them.
        PlanBuffers b(n, dir, 0);
        std::lock_guard lock(planner_mutex());
        fftwf_set_timelimit(limit_secs);
        fftwf_plan p = make_plan(n, dir, b.in, b.out, FFTW_MEASURE);
        fftwf_set_timelimit(FFTW_NO_TIMELIMIT);
        if (p != nullptr) {
            fftwf_destroy_plan(p);
            ++made;
        }
    }
    if (made == 0) return 0;
    std::string text;
    {
        std::lock_guard lock(planner_mutex());
        char* w = fftwf_export_wisdom_to_string();
        if (w != nullptr) {
            text = w;
            std::free(w);
        }
    }
    if (text.empty()) return made;
    if (auto r = api::client::write_atomic(path, text); !r)
        base::log::warn("Veltrum::engine::tf", "FFT wisdom not saved", {{"path", path.string()}, {"err", r.error()}});
    return made;
}

}  // namespace plan

void fft_forward(std::span<Complex> buf) { plan::forward(buf.size())->process(buf); }
void fft_inverse(std::span<Complex> buf) { plan::inverse(buf.size())->process(buf); }

// ---------------------------------------------------------------- layers

namespace {

constexpr float TWO_PI_F = 6.2831855f;
constexpr double TWO_PI = 2.0 * std::numbers::pi;

// Clamp to 0..1 that lets NaN through (callers test for it).
float clamp01(float v) {
    if (v < 0.0f) return 0.0f;
    if (v > 1.0f) return 1.0f;
    return v;
}

}  // namespace

TransferFunction::TransferFunction(std::size_t n_, std::size_t averages_, float fs_)
    : fft(plan::real_forward(n_)), n(n_), hop(n_ / 2), averages(averages_), fs(fs_) {
    scratch.assign(fft->scratch_len(), Complex{});
    window.resize(n);
    for (std::size_t k = 0; k < n; ++k)
        window[k] = 0.5f - 0.5f * std::cos(TWO_PI_F * static_cast<float>(k) / static_cast<float>(n));
    mic_frame.assign(n, 0.0f);
    ref_frame.assign(n, 0.0f);
    windowed_frame.assign(n, 0.0f);
    windowed_ref.assign(n, 0.0f);
    ref_spec.assign(n / 2 + 1, Complex{});
    mic_spec.assign(n / 2 + 1, Complex{});
    sxx.assign(n / 2, 0.0f);
    syy.assign(n / 2, 0.0f);
    sxy.assign(n / 2, Complex{});
}

void TransferFunction::reset(std::size_t d) {
    delay = d;
    skip = d;
    mic_queue.clear();
    ref_queue.clear();
    w = 0.0f;
    filled = 0;
    count = 0;
    halves_known = false;
    std::fill(sxx.begin(), sxx.end(), 0.0f);
    std::fill(syy.begin(), syy.end(), 0.0f);
    std::fill(sxy.begin(), sxy.end(), Complex{});
    clean.clear();
    harmonics.clear();
    off_direct = false;
}

std::pair<Complex, float> TransferFunction::bin(std::size_t k) const {
    const float sx = sxx[k];
    const float sy = syy[k];
    if (!(sy > 1e-12f && sx > floor)) return {Complex{}, 0.0f};
    const float navg = w > 0.0f ? 1.0f / w : 0.0f;
    float coherence = 0.0f;
    if (navg > 1.0f) coherence = (navg * norm2(sxy[k]) / (sx * sy) - 1.0f) / (navg - 1.0f);
    coherence = clamp01(coherence);
    const Complex h = k < clean.size() ? clean[k] : sxy[k] / sx;
    return {h, coherence};
}

namespace {

// TransferFunction::bin for bins [0, count) into three arrays, without
// branches so that it vectorises (a bin below the floors gives zeros); the
// same operations in the same order. Without trapping math the compiler may
// compute both sides of the selects; no value changes.
__attribute__((optimize("no-trapping-math"))) void layer_bins(const float* __restrict sxx, const float* __restrict syy,
                                                             const float* __restrict sxy, std::size_t count,
                                                             float floor, float navg, float* __restrict re,
                                                             float* __restrict im, float* __restrict cf) {
    const bool biased = navg > 1.0f;
    for (std::size_t k = 0; k < count; ++k) {
        const float sx = sxx[k];
        const float sy = syy[k];
        const float r = sxy[2 * k];
        const float i = sxy[2 * k + 1];
        const bool valid = (sy > 1e-12f) & (sx > floor);
        float c = (navg * (r * r + i * i) / (sx * sy) - 1.0f) / (navg - 1.0f);
        c = biased ? c : 0.0f;
        c = c < 0.0f ? 0.0f : c;  // clamp01, NaN kept
        c = c > 1.0f ? 1.0f : c;
        re[k] = valid ? r / sx : 0.0f;
        im[k] = valid ? i / sx : 0.0f;
        cf[k] = valid ? c : 0.0f;
    }
}

}  // namespace

void TransferFunction::bins(std::span<Triple> out) const {
    const std::size_t count = std::min({out.size(), sxx.size(), syy.size(), sxy.size()});
    const float navg = w > 0.0f ? 1.0f / w : 0.0f;
    constexpr std::size_t CHUNK = 256;
    std::array<float, CHUNK> re, im, cf;
    for (std::size_t k0 = 0; k0 < count; k0 += CHUNK) {
        const std::size_t c = std::min(CHUNK, count - k0);
        layer_bins(sxx.data() + k0, syy.data() + k0, reinterpret_cast<const float*>(sxy.data() + k0), c, floor, navg,
                   re.data(), im.data(), cf.data());
        for (std::size_t j = 0; j < c; ++j) out[k0 + j] = Triple{re[j], im[j], cf[j]};
    }
    // The sweep layer's gated transfer function replaces the quotient.
    const std::size_t cleaned = std::min(count, clean.size());
    for (std::size_t k = 0; k < cleaned; ++k) {
        if (!(syy[k] > 1e-12f && sxx[k] > floor)) continue;
        out[k].re = clean[k].real();
        out[k].im = clean[k].imag();
    }
}

namespace {

// The transfer function of TransferFunction::bin for bins [0, count) into
// out (complex values), the same operations as layer_bins, four bins at a
// time.
void layer_transfer(const float* sxx, const float* syy, const float* sxy, std::size_t count, float floor,
                    float* out) {
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const V4 sx = load4(sxx + k);
        const V4i valid = (load4(syy + k) > splat4(1e-12f)) & (sx > splat4(floor));
        const V4 sx0 = dup_lo4(sx);
        const V4 sx1 = dup_hi4(sx);
        const V4i v0 = dup_lo4(valid);
        const V4i v1 = dup_hi4(valid);
        const V4 h0 = select4(v0, load4(sxy + 2 * k) / sx0, V4{});
        const V4 h1 = select4(v1, load4(sxy + 2 * k + 4) / sx1, V4{});
        std::memcpy(out + 2 * k, &h0, sizeof h0);
        std::memcpy(out + 2 * k + 4, &h1, sizeof h1);
    }
    for (; k < count; ++k) {
        const bool valid = syy[k] > 1e-12f && sxx[k] > floor;
        out[2 * k] = valid ? sxy[2 * k] / sxx[k] : 0.0f;
        out[2 * k + 1] = valid ? sxy[2 * k + 1] / sxx[k] : 0.0f;
    }
}

}  // namespace

void TransferFunction::transfer(std::span<Complex> out) const {
    const std::size_t count = std::min({out.size(), sxx.size(), syy.size(), sxy.size()});
    layer_transfer(sxx.data(), syy.data(), reinterpret_cast<const float*>(sxy.data()), count, floor,
                   reinterpret_cast<float*>(out.data()));
    const std::size_t cleaned = std::min(count, clean.size());
    for (std::size_t k = 0; k < cleaned; ++k)
        if (syy[k] > 1e-12f && sxx[k] > floor) out[k] = clean[k];
}

Accumulator::Accumulator(std::size_t n_, float fs_, float threshold_, std::size_t averages)
    : sxy(n_ / 2), power(n_ / 2, 0.0f), weight(n_ / 2, 0.0f), n(n_), fs(fs_), threshold(threshold_),
      full_weight(2.0f * static_cast<float>(averages)) {}

void Accumulator::clear() {
    std::fill(sxy.begin(), sxy.end(), Complex{});
    std::fill(power.begin(), power.end(), 0.0f);
    std::fill(weight.begin(), weight.end(), 0.0f);
    shift = 0;
}

std::pair<Complex, float> Accumulator::bin(std::size_t k) const {
    const float wk = weight[k];
    if (wk <= 0.0f) return {Complex{}, 0.0f};
    const Complex m = sxy[k] / wk;
    const float mag = std::sqrt(power[k] / wk);
    const float am = std::sqrt(norm2(m));
    const Complex h = am > 0.0f ? m / am * mag : Complex(mag, 0.0f);
    return {h, std::fmin(wk / full_weight, 1.0f)};
}

namespace {

// The transfer function of accumulated bin k (zero for a bin without weight),
// without branches so that the loops below vectorise. Without trapping math
// the compiler may compute both sides of the selects, and this file is built
// without errno from the math functions, so the square roots are inline; no
// value changes.
__attribute__((optimize("no-trapping-math", "no-math-errno"))) __attribute__((always_inline)) inline void
accumulated_value(const float* __restrict s, const float* __restrict pw, float wk, std::size_t k, float& re, float& im) {
    const float mr = s[2 * k] / wk;
    const float mi = s[2 * k + 1] / wk;
    const float mag = __builtin_sqrtf(pw[k] / wk);
    const float am = __builtin_sqrtf(mr * mr + mi * mi);
    const float hr1 = mr / am * mag;
    const float hi1 = mi / am * mag;
    const bool some = am > 0.0f;
    const float hr = some ? hr1 : mag;
    const float hi = some ? hi1 : 0.0f;
    const bool has = wk > 0.0f;
    re = has ? hr : 0.0f;
    im = has ? hi : 0.0f;
}

// Accumulator::bin for bins [0, count) into three arrays (a bin without
// weight gives zeros).
__attribute__((optimize("no-trapping-math", "no-math-errno"))) void accumulated_bins(
    const float* __restrict s, const float* __restrict pw, const float* __restrict wt, std::size_t count, float full,
    float* __restrict re, float* __restrict im, float* __restrict cf) {
    for (std::size_t k = 0; k < count; ++k) {
        const float wk = wt[k];
        accumulated_value(s, pw, wk, k, re[k], im[k]);
        const float q = wk / full;
        const float conf = q < 1.0f ? q : 1.0f;  // std::fmin(q, 1): a NaN q gives 1
        cf[k] = wk > 0.0f ? conf : 0.0f;
    }
}

// The transfer function of accumulated_bins alone, into out (complex values).
__attribute__((optimize("no-trapping-math", "no-math-errno"))) void accumulated_transfer(
    const float* __restrict s, const float* __restrict pw, const float* __restrict wt, std::size_t count,
    float* __restrict out) {
    for (std::size_t k = 0; k < count; ++k) accumulated_value(s, pw, wt[k], k, out[2 * k], out[2 * k + 1]);
}

}  // namespace

void Accumulator::transfer(std::span<Complex> out) const {
    const std::size_t count = std::min({out.size(), weight.size(), power.size(), sxy.size()});
    accumulated_transfer(reinterpret_cast<const float*>(sxy.data()), power.data(), weight.data(), count,
                         reinterpret_cast<float*>(out.data()));
}

void Accumulator::bins(std::span<Triple> out) const {
    const std::size_t count = std::min({out.size(), weight.size(), power.size(), sxy.size()});
    constexpr std::size_t CHUNK = 256;
    std::array<float, CHUNK> re, im, cf;
    for (std::size_t k0 = 0; k0 < count; k0 += CHUNK) {
        const std::size_t c = std::min(CHUNK, count - k0);
        accumulated_bins(reinterpret_cast<const float*>(sxy.data() + k0), power.data() + k0, weight.data() + k0, c,
                         full_weight, re.data(), im.data(), cf.data());
        for (std::size_t j = 0; j < c; ++j) out[k0 + j] = Triple{re[j], im[j], cf[j]};
    }
}

namespace {

constexpr std::int64_t BLOCK = 64;
constexpr std::int64_t LANES = 8;

// table[j] = e^(i a j) for j < BLOCK: eight exact rows of eight, built from
// two phasors in double precision.
void phasor_table(double a, std::array<float, BLOCK>& re, std::array<float, BLOCK>& im) {
    std::array<std::complex<double>, LANES> base;
    const std::complex<double> step = std::polar(1.0, a);
    base[0] = 1.0;
    for (std::int64_t l = 1; l < LANES; ++l) base[l] = base[l - 1] * step;
    const std::complex<double> row_step = base[LANES - 1] * step;
    std::complex<double> row = 1.0;
    for (std::int64_t r = 0; r < BLOCK / LANES; ++r) {
        for (std::int64_t l = 0; l < LANES; ++l) {
            const std::complex<double> v = row * base[l];
            re[r * LANES + l] = static_cast<float>(v.real());
            im[r * LANES + l] = static_cast<float>(v.imag());
        }
        row *= row_step;
    }
}


// Sum of t[j] x[j] e^(i a j) over one block, t the taper (1 when not
// tapered), in vectors of four lanes. Tables hold BLOCK values; x holds cnt.
template <bool Tapered>
std::complex<float> block_sum(const float* x, std::int64_t cnt, const std::array<float, BLOCK>& pr,
                              const std::array<float, BLOCK>& pi, float br, float bi,
                              const std::array<float, BLOCK>& qr, const std::array<float, BLOCK>& qi) {
    V4 ar0{}, ai0{}, ar1{}, ai1{};
    const V4 half{0.5f, 0.5f, 0.5f, 0.5f};
    const V4 vbr{br, br, br, br};
    const V4 vbi{bi, bi, bi, bi};
    std::int64_t j = 0;
    for (; j + 8 <= cnt; j += 8) {
        V4 x0 = load4(x + j);
        V4 x1 = load4(x + j + 4);
        if constexpr (Tapered) {
            x0 *= half + half * (vbr * load4(qr.data() + j) - vbi * load4(qi.data() + j));
            x1 *= half + half * (vbr * load4(qr.data() + j + 4) - vbi * load4(qi.data() + j + 4));
        }
        ar0 += x0 * load4(pr.data() + j);
        ai0 += x0 * load4(pi.data() + j);
        ar1 += x1 * load4(pr.data() + j + 4);
        ai1 += x1 * load4(pi.data() + j + 4);
    }
    float sr = 0.0f, si = 0.0f;
    for (; j < cnt; ++j) {
        float xv = x[j];
        if constexpr (Tapered) xv *= 0.5f + 0.5f * (br * qr[j] - bi * qi[j]);
        sr += xv * pr[j];
        si += xv * pi[j];
    }
    const V4 r = ar0 + ar1;
    const V4 i = ai0 + ai1;
    return {sr + ((r[0] + r[1]) + (r[2] + r[3])), si + ((i[0] + i[1]) + (i[2] + i[3]))};
}

}  // namespace

namespace {

// What windowed_at needs besides the response itself, for one response
// length, rate, frequency and number of cycles: the window's extent, the
// tables of phasor steps inside a block, the rotations from one block to the
// next and the first phasors of the two runs.
struct WindowSteps {
    std::int64_t pre = 0;
    std::int64_t len = 0;
    std::int64_t len2 = 0;
    std::array<float, BLOCK> pr, pi, qr, qi;
    std::complex<double> block_rot, taper_rot;
    std::complex<double> anchor[2], taper[2];
};

WindowSteps window_steps(std::size_t n, float fs, float f, float c) {
    WindowSteps w;
    const std::int64_t nn = static_cast<std::int64_t>(n);
    const std::int64_t half = nn / 2;
    w.pre = base::saturating_cast<std::int64_t>(std::floor(fs * 0.001f));
    std::int64_t len = base::saturating_cast<std::int64_t>(std::floor(fs * c / f));
    len = std::min(len, half);
    w.len = std::max<std::int64_t>(len, 2);
    w.len2 = w.len / 2;
    const std::int64_t fade = w.len - w.len2;

    // The sum runs in blocks of 64 samples: each block's first phasor comes
    // from the previous one by one rotation in double precision, the samples
    // inside a block use a table of phasor steps. The half cosine of the
    // taper is handled the same way.
    const double wstep = TWO_PI * static_cast<double>(f) / static_cast<double>(fs);
    const double tstep = std::numbers::pi / static_cast<double>(fade);
    phasor_table(-wstep, w.pr, w.pi);
    phasor_table(tstep, w.qr, w.qi);
    w.block_rot = std::polar(1.0, -wstep * static_cast<double>(BLOCK));
    w.taper_rot = std::polar(1.0, tstep * static_cast<double>(BLOCK));
    const std::int64_t from[2] = {-w.pre, w.len2};
    for (int r = 0; r < 2; ++r) {
        w.anchor[r] = std::polar(1.0, -wstep * static_cast<double>(from[r]));
        w.taper[r] = std::polar(1.0, tstep * static_cast<double>(from[r] - w.len2));
    }
    return w;
}

// window_steps, kept per thread: the display asks for the same grid
// frequencies of the same layers at every refresh.
const WindowSteps& cached_window_steps(std::size_t n, float fs, float f, float c) {
    struct Key {
        std::size_t n;
        std::uint32_t fs, f, c;
        bool operator==(const Key&) const = default;
    };
    struct Hash {
        std::size_t operator()(const Key& k) const {
            std::uint64_t h = k.n * 0x9E3779B97F4A7C15ull;
            for (std::uint32_t v : {k.fs, k.f, k.c}) h = (h ^ v) * 0x100000001B3ull;
            return static_cast<std::size_t>(h ^ (h >> 29));
        }
    };
    thread_local std::unordered_map<Key, WindowSteps, Hash> cache;
    const Key key{n, std::bit_cast<std::uint32_t>(fs), std::bit_cast<std::uint32_t>(f), std::bit_cast<std::uint32_t>(c)};
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    if (cache.size() >= 4096) cache.clear();
    return cache.emplace(key, window_steps(n, fs, f, c)).first->second;
}

}  // namespace

Complex windowed_at(std::span<const float> ir, float fs, float f, float cycles) {
    const std::size_t n = ir.size();
    if (n == 0) return {};
    const std::int64_t nn = static_cast<std::int64_t>(n);
    const float c = std::isnan(cycles) ? 34.0f : std::fmin(cycles, 34.0f);
    const WindowSteps& w = cached_window_steps(n, fs, f, c);

    std::array<float, BLOCK> xb;
    std::complex<double> total = 0.0;
    auto run = [&](int r, std::int64_t from, std::int64_t to, bool tapered) {
        if (from >= to) return;
        std::complex<double> anchor = w.anchor[r];
        std::complex<double> taper = w.taper[r];
        std::int64_t idx = ((from % nn) + nn) % nn;
        for (std::int64_t k0 = from; k0 < to; k0 += BLOCK) {
            const std::int64_t cnt = std::min(BLOCK, to - k0);
            const float* x;
            if (idx + cnt <= nn) {
                x = ir.data() + idx;
                idx += cnt;
                if (idx == nn) idx = 0;
            } else {
                for (std::int64_t j = 0; j < cnt; ++j) {
                    xb[j] = ir[static_cast<std::size_t>(idx)];
                    if (++idx == nn) idx = 0;
                }
                x = xb.data();
            }
            const std::complex<float> part =
                tapered ? block_sum<true>(x, cnt, w.pr, w.pi, static_cast<float>(taper.real()),
                                          static_cast<float>(taper.imag()), w.qr, w.qi)
                        : block_sum<false>(x, cnt, w.pr, w.pi, 0.0f, 0.0f, w.qr, w.qi);
            total += anchor * std::complex<double>(part);
            anchor *= w.block_rot;
            taper *= w.taper_rot;
        }
    };
    run(0, -w.pre, w.len2, false);
    run(1, w.len2, w.len, true);
    return Complex(total);
}

std::vector<Triple> merge_cal(std::span<const std::vector<Triple>> layers, std::span<const float> cal, float fs) {
    std::vector<Triple> out(GRID_POINTS);
    auto at = [](const std::vector<Triple>& l, std::size_t i) { return i < l.size() ? l[i] : Triple{}; };
    if (!layers.empty()) {
        for (std::size_t i = 0; i < GRID_POINTS; ++i) out[i] = at(layers[0], i);
    }
    // Crossovers exist for the three shorter layers of the four-layer set;
    // any further layer has none and takes no part.
    const std::size_t used = std::min<std::size_t>(layers.size(), 4);
    if (used > 1) {
        const float ratio = fs / 48000.0f;
        const std::uint64_t nearest = base::saturating_cast<std::uint64_t>(std::floor(ratio + 0.5f));
        const std::uint64_t kk = std::bit_ceil(std::clamp<std::uint64_t>(nearest, 1, std::uint64_t{1} << 32));
        const float big_k = static_cast<float>(kk);
        const std::array<float, 4> sizes{0.0f, 16384.0f * big_k, 4096.0f * big_k, 1024.0f * big_k};
        const Grid& f = point_freq();
        for (std::size_t k = 1; k < used; ++k) {
            const float fc = 2.0f * fs / (sizes[k] * BAND_WIDTH);
            for (std::size_t i = 0; i < GRID_POINTS; ++i) {
                float g = (std::log2(f[i] / fc) + 1.0f / 6.0f) / (1.0f / 3.0f);
                g = std::fmin(std::fmax(g, 0.0f), 1.0f);
                if (!(g > 0.0f)) continue;
                const Triple o = at(layers[k], i);
                Triple& t = out[i];
                t.re = (1.0f - g) * t.re + g * o.re;
                t.im = (1.0f - g) * t.im + g * o.im;
                t.conf = (1.0f - g) * t.conf + g * o.conf;
            }
        }
    }
    const std::size_t nc = std::min(cal.size(), GRID_POINTS);
    for (std::size_t i = 0; i < nc; ++i) {
        const float d = std::pow(10.0f, cal[i] / 20.0f);
        out[i].re /= d;
        out[i].im /= d;
    }
    return out;
}

// ---------------------------------------------------------------- delay and impulse response

std::optional<DelayFound> find_delay(std::span<const float> mic, std::span<const float> reference, float fs) {
    const std::size_t m = std::min(mic.size(), reference.size());
    if (m == 0) return std::nullopt;
    const std::size_t w_max = std::min(base::saturating_cast<std::size_t>(std::floor(fs * 0.5f)), m - 1);
    if (w_max < 2) return std::nullopt;
    const std::size_t big_m = std::bit_ceil(2 * m);
    const std::size_t half = big_m / 2;
    // Work areas kept by the thread: the drift step runs every few seconds
    // on the same sizes.
    thread_local std::vector<float> xr, yr;
    thread_local std::vector<Complex> xs, ys;
    xr.resize(big_m);
    yr.resize(big_m);
    xs.resize(half + 1);
    ys.resize(half + 1);
    const auto ref_tail = reference.subspan(reference.size() - m);
    const auto mic_tail = mic.subspan(mic.size() - m);
    std::copy(ref_tail.begin(), ref_tail.end(), xr.begin());
    std::copy(mic_tail.begin(), mic_tail.end(), yr.begin());
    std::fill(xr.begin() + static_cast<std::ptrdiff_t>(m), xr.end(), 0.0f);
    std::fill(yr.begin() + static_cast<std::ptrdiff_t>(m), yr.end(), 0.0f);
    auto fwd = plan::real_forward(big_m);
    fwd->process(xr, xs);
    fwd->process(yr, ys);
    // The energy of the whole spectrum: the bins above half mirror those below.
    double inner = 0.0;
    for (std::size_t k = 1; k < half; ++k) inner += static_cast<double>(norm2(xs[k]));
    const double energy = static_cast<double>(norm2(xs[0])) + 2.0 * inner + static_cast<double>(norm2(xs[half]));
    const float eps = static_cast<float>(1e-4 * energy / static_cast<double>(big_m));
    // conj(X) Y / (|X|^2 + eps) in real arithmetic, one division per bin.
    {
        const float* xp = reinterpret_cast<const float*>(xs.data());
        float* yp = reinterpret_cast<float*>(ys.data());
        for (std::size_t k = 0; k <= half; ++k) {
            const float xr = xp[2 * k], xi = xp[2 * k + 1];
            const float yr = yp[2 * k], yi = yp[2 * k + 1];
            const float inv = 1.0f / (xr * xr + xi * xi + eps);
            yp[2 * k] = (xr * yr + xi * yi) * inv;
            yp[2 * k + 1] = (xr * yi - xi * yr) * inv;
        }
    }
    plan::real_inverse(big_m)->process(ys, yr);
    const std::vector<float>& y = yr;

    float peak = 0.0f;
    double sum_sq = 0.0;
    for (std::size_t j = 0; j <= w_max; ++j) {
        const float v = std::abs(y[j]);
        peak = std::fmax(peak, v);
        sum_sq += static_cast<double>(v) * v;
    }
    const double mean_sq = sum_sq / static_cast<double>(w_max + 1);
    if (!(peak > 0.0f) || !std::isfinite(peak) || !(mean_sq > 0.0) || !std::isfinite(mean_sq)) return std::nullopt;
    const float rms = static_cast<float>(std::sqrt(mean_sq));
    std::size_t j = 0;
    while (j <= w_max && !(std::abs(y[j]) >= 0.7f * peak)) ++j;
    if (j > w_max) return std::nullopt;
    while (j + 1 <= w_max && std::abs(y[j + 1]) > std::abs(y[j])) ++j;
    return DelayFound{j, peak / rms};
}

float bulk_delay(std::span<const Complex> h) {
    const std::size_t count = std::min(h.size(), GRID_POINTS);
    float p = 0.0f;
    for (std::size_t i = 0; i < count; ++i) p = std::fmax(p, std::abs(h[i]));
    if (!(p > 0.0f) || !std::isfinite(p)) return 0.0f;
    const float t = 0.0316f * p;
    const Grid& f = point_freq();
    std::vector<std::complex<double>> z;
    std::vector<double> dw;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        if (std::abs(h[i]) >= t && std::abs(h[i + 1]) >= t) {
            z.emplace_back(h[i + 1] * std::conj(h[i]));
            dw.push_back(static_cast<double>(TWO_PI_F * (f[i + 1] - f[i])));
        }
    }
    // One stage: candidates lo + j step, j < count; each pair's phasor
    // e^(i dw tau) advances by a fixed rotation from one candidate to the next.
    std::vector<std::complex<double>> ph(z.size()), rot(z.size());
    auto stage = [&](float lo, float step, std::size_t cands) {
        for (std::size_t q = 0; q < z.size(); ++q) {
            ph[q] = z[q] * std::polar(1.0, dw[q] * static_cast<double>(lo));
            rot[q] = std::polar(1.0, dw[q] * static_cast<double>(step));
        }
        float best_tau = 0.0f;
        double best = -1.0;
        for (std::size_t j = 0; j < cands; ++j) {
            const float tau = lo + static_cast<float>(j) * step;
            std::complex<double> s = 0.0;
            for (std::size_t q = 0; q < z.size(); ++q) {
                s += ph[q];
                ph[q] *= rot[q];
            }
            const double score = std::norm(s);
            if (score > best || (score == best && std::abs(tau) < std::abs(best_tau))) {
                best = score;
                best_tau = tau;
            }
        }
        return best_tau;
    };
    auto around = [&](float centre, float half, float step) {
        const float lo = centre - half;
        const float hi = centre + half;
        const std::size_t cands = base::saturating_round<std::size_t>((hi - lo) / step) + 1;
        return stage(lo, step, cands);
    };
    const float tau1 = stage(-0.05f, 0.0005f, 1101);
    const float tau2 = around(tau1, 0.0005f, 0.00002f);
    return around(tau2, 0.00002f, 0.000001f);
}

namespace {

// The grid point whose confidence masks bin k (k <= n/2) of an FFT of size n
// at rate fs; kept per thread for the last few sizes (the same n and fs come
// with every display refresh).
const std::vector<std::uint8_t>& mask_points(std::size_t n, float fs) {
    struct Entry {
        std::size_t n;
        float fs;
        std::vector<std::uint8_t> table;
    };
    thread_local std::vector<Entry> cache;
    for (const Entry& e : cache)
        if (e.n == n && e.fs == fs) return e.table;
    const float nf = static_cast<float>(n);
    std::vector<std::uint8_t> table(n / 2 + 1);
    for (std::size_t k = 0; k <= n / 2; ++k) {
        const float fk = fs * static_cast<float>(std::min(k, n - k)) / nf;
        table[k] = static_cast<std::uint8_t>(
            std::min<std::size_t>(base::saturating_round<std::size_t>(grid_position(std::fmax(fk, 20.0f))), 239));
    }
    if (cache.size() >= 8) cache.erase(cache.begin());
    cache.push_back(Entry{n, fs, std::move(table)});
    return cache.back().table;
}

}  // namespace

namespace {

// |z| (magnitude) of the complex values [from, to) into out, four at a time.
// Without trapping math the compiler may compute both sides of the select,
// and this file is built without errno from the math functions, so the
// square roots are inline; no value changes.
__attribute__((optimize("no-trapping-math"))) void magnitudes(const float* __restrict z, float* __restrict out,
                                                             std::size_t from, std::size_t to) {
    for (std::size_t k = from; k < to; ++k) {
        const float x = z[2 * k];
        const float y = z[2 * k + 1];
        const float r = static_cast<float>(__builtin_sqrt(static_cast<double>(x) * x + static_cast<double>(y) * y));
        const bool inf = (__builtin_fabsf(x) == __builtin_inff()) | (__builtin_fabsf(y) == __builtin_inff());
        out[k] = inf ? __builtin_inff() : r;
    }
}

// confident_envelope of ir (conf holding 240 values, ir not empty) into
// `out`, computed only for samples [0, after) and [n - before, n); the
// others are left zero.
void envelope_into(std::span<const float> ir, std::span<const float> conf, float fs, std::vector<float>& out,
                   std::size_t after, std::size_t before) {
    const std::size_t n = ir.size();
    // The spectrum of the real response fills bins 0..n/2; the envelope's
    // one-sided spectrum keeps no bin above them.
    thread_local std::vector<Complex> s;
    s.resize(n);
    plan::real_forward(n)->process(ir, std::span<Complex>(s).first(n / 2 + 1));
    std::fill(s.begin() + static_cast<std::ptrdiff_t>(n / 2 + 1), s.end(), Complex{});
    const float nf = static_cast<float>(n);
    const std::vector<std::uint8_t>& points = mask_points(n, fs);
    // The mask of each grid point, once.
    // The scale of each grid point's bins, once: mask x 2 / n (x 1 / n for
    // bins 0 and n/2).
    std::array<float, GRID_POINTS> masks, scales;
    for (std::size_t i = 0; i < GRID_POINTS; ++i) {
        masks[i] = std::fmin(std::fmax((conf[i] - 0.2f) / 0.3f, 0.0f), 1.0f);
        scales[i] = masks[i] * 2.0f / nf;
    }
    for (std::size_t k = 0; 2 * k <= n; ++k) {
        if (k == 0 || 2 * k == n)
            s[k] *= masks[points[k]] * 1.0f / nf;
        else
            s[k] *= scales[points[k]];
    }
    plan::inverse(n)->process(s);
    out.resize(n);
    const auto* z = reinterpret_cast<const float*>(s.data());
    after = std::min(after, n);
    before = std::min(before, n - after);
    magnitudes(z, out.data(), 0, after);
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(after), out.end() - static_cast<std::ptrdiff_t>(before), 0.0f);
    magnitudes(z, out.data(), n - before, n);
}

}  // namespace

std::vector<float> confident_envelope(std::span<const float> ir, std::span<const float> conf, float fs) {
    if (conf.size() != GRID_POINTS || ir.empty()) return {ir.begin(), ir.end()};
    std::vector<float> out;
    envelope_into(ir, conf, fs, out, ir.size(), 0);
    return out;
}

IrView confident_ir_display(std::span<const float> ir, std::span<const float> conf, float fs) {
    IrView view;
    if (conf.size() != GRID_POINTS || ir.empty()) {
        view.span_ms = ir_span_ms(ir, fs);
        view.display = ir_display(ir, fs, view.span_ms);
        return view;
    }
    // The span reads the first half of the envelope; the display reads from
    // 2 ms before time zero (the end of the response) to at most 320 ms after.
    const std::size_t n = ir.size();
    const std::size_t pre = base::saturating_cast<std::size_t>(std::floor(fs * 0.002f));
    const std::size_t post = base::saturating_cast<std::size_t>(std::floor(fs * (320.0f / 1000.0f)));
    std::size_t after = n;
    std::size_t before = 0;
    if (pre < n && post < n - pre) {
        after = std::max(n / 2, post + 1);
        before = pre;
    }
    thread_local std::vector<float> env;
    envelope_into(ir, conf, fs, env, after, before);
    view.span_ms = ir_span_ms(env, fs);
    view.display = ir_display(env, fs, view.span_ms);
    return view;
}

namespace {

// The largest |x| of the values, at least 0; a NaN value is passed over, as
// std::fmax would. Four lanes at a time (the largest value does not depend
// on the order).
float largest_abs(const float* x, std::size_t count) {
    const V4i magnitude_bits{0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
    V4 m{};
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const V4 a = (V4)((V4i)load4(x + k) & magnitude_bits);
        m = select4(a > m, a, m);
    }
    float r = 0.0f;
    for (int j = 0; j < 4; ++j) r = m[j] > r ? m[j] : r;
    for (; k < count; ++k) {
        const float a = std::abs(x[k]);
        r = a > r ? a : r;
    }
    return r;
}

}  // namespace

float ir_span_ms(std::span<const float> ir, float fs) {
    const std::size_t half = ir.size() / 2;
    auto max_abs = [&](std::size_t from, std::size_t to) { return from < to ? largest_abs(ir.data() + from, to - from) : 0.0f; };
    const float p = max_abs(0, half);
    for (const float span : {40.0f, 80.0f, 160.0f}) {
        const std::size_t e = base::saturating_cast<std::size_t>(std::floor(fs * (2.0f * span) / 1000.0f));
        if (e > half) return span;
        const std::size_t b = base::saturating_cast<std::size_t>(std::floor(fs * (0.75f * span) / 1000.0f));
        if (2.0f * max_abs(0, std::min(b, ir.size())) < p) continue;
        if (b >= e) {
            if (p * 0.25118864f > 0.0f) return span;
            continue;
        }
        const float late = max_abs(b, e);
        if (late < p * 0.25118864f) return span;
        std::size_t first = b;
        while (first < e && std::abs(ir[first]) != late) ++first;
        if (first == b) return span;
    }
    return 320.0f;
}

IrDisplay ir_display(std::span<const float> ir, float fs) {
    if (ir.empty()) return {};
    return ir_display(ir, fs, ir_span_ms(ir, fs));
}

IrDisplay ir_display(std::span<const float> ir, float fs, float span_ms) {
    IrDisplay out;
    if (ir.empty()) return out;
    const std::int64_t n = static_cast<std::int64_t>(ir.size());
    const std::int64_t pre = base::saturating_cast<std::int64_t>(std::floor(fs * 0.002f));
    const std::int64_t post = base::saturating_cast<std::int64_t>(std::floor(fs * (span_ms / 1000.0f)));
    const std::int64_t len = pre + post;
    if (len <= 0) return out;
    std::vector<float> v(static_cast<std::size_t>(len));
    // The circular index of sample j - pre, stepped rather than divided.
    std::int64_t idx = (((-pre) % n) + n) % n;
    for (std::int64_t j = 0; j < len;) {
        // A run of samples up to the end of the response.
        const std::int64_t run = std::min(len - j, n - idx);
        for (std::int64_t r = 0; r < run; ++r) v[j + r] = std::abs(ir[static_cast<std::size_t>(idx + r)]);
        j += run;
        idx = idx + run == n ? 0 : idx + run;
    }
    const float peak = largest_abs(v.data(), v.size());  // std::fmax: peak is never NaN
    if (!(peak > 0.0f)) return out;
    auto level = [&](float x) { return std::fmin(std::fmax(20.0f * std::log10(std::fmax(x / peak, 1e-9f)), -60.0f), 0.0f); };

    out.display.resize(IR_DISPLAY_LEN);
    const std::int64_t blocks = static_cast<std::int64_t>(IR_DISPLAY_LEN);
    for (std::int64_t b = 0; b < blocks; ++b) {
        const std::int64_t s = b * len / blocks;
        const std::int64_t e = std::max(s + 1, (b + 1) * len / blocks);
        float m = v[s];
        // std::fmax(m, v[j]): a NaN m takes the next value, a NaN v[j] is passed over.
        for (std::int64_t j = s + 1; j < e; ++j) m = v[j] > m || m != m ? v[j] : m;
        out.display[b] = level(m);
    }

    std::vector<std::int64_t> cands;
    const float floor_level = peak * 0.056234132f;
    for (std::int64_t j = 1; j + 1 < len; ++j) {
        if (v[j] > floor_level && v[j] >= v[j - 1] && v[j] >= v[j + 1]) cands.push_back(j);
    }
    // Candidates by falling level, the earlier first among equals; only as
    // many are put in order as the choice below reads.
    const auto before = [&](std::int64_t a, std::int64_t b) { return v[a] > v[b] || (v[a] == v[b] && a < b); };
    std::size_t ordered = 0;
    const std::int64_t sep = base::saturating_cast<std::int64_t>(std::floor(fs * 0.00025f));
    std::vector<std::int64_t> taken;
    for (std::size_t c = 0; c < cands.size(); ++c) {
        if (taken.size() == 6) break;
        if (c == ordered) {
            ordered = std::min(cands.size(), std::max<std::size_t>(64, 2 * ordered));
            std::partial_sort(cands.begin() + static_cast<std::ptrdiff_t>(c),
                              cands.begin() + static_cast<std::ptrdiff_t>(ordered), cands.end(), before);
        }
        const std::int64_t j = cands[c];
        const bool apart = std::all_of(taken.begin(), taken.end(), [&](std::int64_t t) { return std::abs(j - t) >= sep; });
        if (apart) taken.push_back(j);
    }
    std::sort(taken.begin(), taken.end());
    for (std::int64_t j : taken) {
        const float ms = std::round(static_cast<float>(j - pre) / fs * 10000.0f) / 10.0f;
        out.arrivals.push_back(Arrival{ms, std::round(level(v[j]))});
    }
    return out;
}

// ---------------------------------------------------------------- weighting

namespace {
// Squared pole frequencies of the weighting filters: 20.6, 107.7, 737.9 and 12194 Hz.
const float P1 = 20.6f * 20.6f;
const float P2 = 107.7f * 107.7f;
const float P3 = 737.9f * 737.9f;
const float P4 = 12194.0f * 12194.0f;
}  // namespace

float a_weighting_db(float hz) {
    const float q = hz * hz;
    const float r = q * (q * P4) / ((q + P1) * std::sqrt((q + P2) * (q + P3)) * (q + P4));
    return 20.0f * std::log10(std::fmax(r, 1e-12f)) + 2.0f;
}

float c_weighting_db(float hz) {
    const float q = hz * hz;
    const float r = q * P4 / ((q + P1) * (q + P4));
    return 20.0f * std::log10(std::fmax(r, 1e-12f)) + 0.06f;
}

float weighting_db(Weighting w, float hz) {
    switch (w) {
        case Weighting::A: return a_weighting_db(hz);
        case Weighting::C: return c_weighting_db(hz);
        case Weighting::Z: break;
    }
    return 0.0f;
}

// ---------------------------------------------------------------- feeding and accumulating layers

namespace {

// The sweep layer's impulse response, its harmonics and the gated transfer
// function `clean`, after an averaged frame.
void sweep_analysis(TransferFunction& l) {
    const std::size_t n = l.n;
    if (n < 4) return;
    // Work areas kept by the thread: a sweep layer can hold millions of bins.
    thread_local std::vector<Complex> z;
    thread_local std::vector<float> r;
    z.assign(n / 2 + 1, Complex{});
    r.resize(n);
    for (std::size_t k = 1; k < n / 2; ++k)
        if (l.sxx[k] > l.floor && l.syy[k] > 1e-12f) z[k] = l.sxy[k] / l.sxx[k];
    plan::real_inverse(n)->process(z, r);
    const float nf = static_cast<float>(n);
    for (std::size_t i = 0; i < n; ++i) r[i] /= nf;

    std::size_t p = 0;
    float best = -1.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float a = std::abs(r[i]);
        if (a > best) {
            best = a;
            p = i;
        }
    }
    const std::size_t g = base::saturating_cast<std::size_t>(l.fs * 0.002f);
    if (p >= n / 2 && p + g < n) {
        l.off_direct = true;
        l.clean.clear();
        l.harmonics.clear();
        return;
    }
    l.off_direct = false;

    const auto ni = static_cast<std::int64_t>(n);
    auto at = [&](std::int64_t i) {
        std::int64_t m = i % ni;
        if (m < 0) m += ni;
        return std::abs(r[static_cast<std::size_t>(m)]);
    };
    auto largest = [&](std::int64_t from, std::int64_t to_excl) {
        float m = 0.0f;
        for (std::int64_t i = from; i < to_excl; ++i) m = std::fmax(m, at(i));
        return m;
    };
    const auto gi = static_cast<std::int64_t>(g);
    const auto after = base::saturating_cast<std::int64_t>(l.fs * 0.04f);
    const float a = std::fmax(largest(-gi, after), 1e-12f);
    l.harmonics.clear();
    std::uint8_t k = 2;
    for (std::size_t o : l.harmonic_offsets) {
        const auto oi = static_cast<std::int64_t>(o);
        const float b = g == 0 ? 0.0f : largest(-oi - gi, -oi + gi);
        l.harmonics.emplace_back(k, 20.0f * std::log10(std::fmax(b / a, 1e-9f)));
        ++k;
    }

    // The harmonic images arrive before the direct sound: at negative times,
    // in the second half of the response.
    for (std::size_t i = n / 2; i + g < n; ++i) r[i] = 0.0f;
    plan::real_forward(n)->process(r, z);
    l.clean.assign(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(n / 2));
}

// Adds the values in double precision to four partial sums, value i to sum
// i mod 4 (the last n mod 4 values to the first), so that the loop vectorises.
void add_partial(std::span<const float> x, double (&acc)[4]) {
    const std::size_t n = x.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (std::size_t j = 0; j < 4; ++j) acc[j] += static_cast<double>(x[i + j]);
    for (; i < n; ++i) acc[0] += static_cast<double>(x[i]);
}

double square_sum(std::span<const float> x) {
    // Four partial sums, so that the loop vectorises.
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    const std::size_t n = x.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (std::size_t j = 0; j < 4; ++j) acc[j] += static_cast<double>(x[i + j]) * x[i + j];
    for (; i < n; ++i) acc[0] += static_cast<double>(x[i]) * x[i];
    return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

// Moves frame[hop .. hop + keep) to the front and writes it times the
// window to out.
void shift_windowed(float* frame, const float* __restrict window, float* __restrict out, std::size_t hop,
                    std::size_t keep) {
    for (std::size_t i = 0; i < keep; ++i) {
        const float v = frame[i + hop];
        frame[i] = v;
        out[i] = v * window[i];
    }
}

// Writes x times the window to out and returns square_sum(x).
double windowed_squares(const float* __restrict x, const float* __restrict window, float* __restrict out,
                        std::size_t count) {
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (std::size_t j = 0; j < 4; ++j) {
            out[i + j] = x[i + j] * window[i + j];
            acc[j] += static_cast<double>(x[i + j]) * x[i + j];
        }
    }
    for (; i < count; ++i) {
        out[i] = x[i] * window[i];
        acc[0] += static_cast<double>(x[i]) * x[i];
    }
    return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

// The running averages of |X|^2, |Y|^2 and conj(X) Y with weight a, written
// out in real arithmetic (the same operations as the complex forms).
void average_into(const Complex* xs, const Complex* ys, std::size_t bins, float a, float* __restrict sxx,
                  float* __restrict syy, float* __restrict sxy) {
    const float* x = reinterpret_cast<const float*>(xs);
    const float* y = reinterpret_cast<const float*>(ys);
    for (std::size_t k = 0; k < bins; ++k) {
        const float xr = x[2 * k], xi = x[2 * k + 1];
        const float yr = y[2 * k], yi = y[2 * k + 1];
        const float px = xr * xr + xi * xi;
        const float py = yr * yr + yi * yi;
        const float cr = xr * yr + xi * yi;
        const float ci = xr * yi - xi * yr;
        sxx[k] += a * (px - sxx[k]);
        syy[k] += a * (py - syy[k]);
        sxy[2 * k] += a * (cr - sxy[2 * k]);
        sxy[2 * k + 1] += a * (ci - sxy[2 * k + 1]);
    }
}

// cos and sin of k x factor for k < bins, kept per thread for the last shift
// of each size (the shift changes once per drift step, the frames come often).
const std::vector<Complex>& rotation(std::size_t n, std::int64_t shift, float factor, std::size_t bins) {
    struct Entry {
        std::size_t n;
        std::int64_t shift;
        std::vector<Complex> table;
    };
    thread_local std::vector<Entry> cache;
    for (Entry& e : cache)
        if (e.n == n && e.shift == shift && e.table.size() >= bins) return e.table;
    std::vector<Complex> table(bins);
    for (std::size_t k = 0; k < bins; ++k) {
        const float phi = static_cast<float>(k) * factor;
        table[k] = Complex(std::cos(phi), std::sin(phi));
    }
    for (Entry& e : cache) {
        if (e.n == n) {
            e.shift = shift;
            e.table = std::move(table);
            return e.table;
        }
    }
    if (cache.size() >= 8) cache.erase(cache.begin());
    cache.push_back(Entry{n, shift, std::move(table)});
    return cache.back().table;
}

}  // namespace

std::size_t TransferFunction::feed(std::span<const float> mic, std::span<const float> reference) {
    const std::size_t s = std::min(skip, mic.size());
    skip -= s;
    mic = mic.subspan(s);
    // The samples of each stream: its queue, then the new ones. Frames take
    // them from there; what is left over goes to the queue at the end.
    auto copy_out = [](const std::vector<float>& queue, std::span<const float> fresh, std::size_t from,
                       std::size_t count, float* out) {
        if (from < queue.size()) {
            const std::size_t q = std::min(count, queue.size() - from);
            std::copy_n(queue.data() + from, q, out);
            from += q;
            count -= q;
            out += q;
        }
        std::copy_n(fresh.data() + (from - queue.size()), count, out);
    };
    auto keep_rest = [](std::vector<float>& queue, std::span<const float> fresh, std::size_t taken) {
        if (taken <= queue.size()) {
            queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(taken));
            queue.insert(queue.end(), fresh.begin(), fresh.end());
        } else {
            queue.assign(fresh.begin() + static_cast<std::ptrdiff_t>(taken - queue.size()), fresh.end());
        }
    };
    const std::size_t mic_have = mic_queue.size() + mic.size();
    const std::size_t ref_have = ref_queue.size() + reference.size();
    if (hop == 0 || hop > n) {
        keep_rest(mic_queue, mic, 0);
        keep_rest(ref_queue, reference, 0);
        return 0;
    }
    const std::size_t bins = n / 2;
    const std::size_t keep = n - hop;
    std::size_t done = 0;
    const auto h = static_cast<std::ptrdiff_t>(hop);
    std::size_t taken = 0;  // samples of both streams moved into frames
    while (mic_have - taken >= hop && ref_have - taken >= hop) {
        // A frame this hop completes is windowed on the way: the part kept
        // while it moves, the new part while its squares are summed.
        if (filled + hop >= n) {
            shift_windowed(mic_frame.data(), window.data(), windowed_frame.data(), hop, keep);
            shift_windowed(ref_frame.data(), window.data(), windowed_ref.data(), hop, keep);
        } else {
            std::copy(mic_frame.begin() + h, mic_frame.end(), mic_frame.begin());
            std::copy(ref_frame.begin() + h, ref_frame.end(), ref_frame.begin());
        }
        copy_out(mic_queue, mic, taken, hop, mic_frame.data() + keep);
        copy_out(ref_queue, reference, taken, hop, ref_frame.data() + keep);
        taken += hop;
        filled = std::min(n, filled + hop);
        if (filled < n) continue;

        // The squares of the frame: with half-frame hops, the half kept from
        // the frame before was summed then.
        const bool halves = 2 * hop == n && halves_known;
        const double mic_new = windowed_squares(mic_frame.data() + keep, window.data() + keep,
                                                windowed_frame.data() + keep, hop);
        const double ref_new = windowed_squares(ref_frame.data() + keep, window.data() + keep,
                                                windowed_ref.data() + keep, hop);
        const double mic_sq = halves ? mic_kept_sq + mic_new : mic_new + square_sum(std::span<const float>(mic_frame).first(keep));
        const double ref_sq = halves ? ref_kept_sq + ref_new : ref_new + square_sum(std::span<const float>(ref_frame).first(keep));
        mic_kept_sq = mic_new;
        ref_kept_sq = ref_new;
        halves_known = true;
        if (!std::isfinite(mic_sq + ref_sq)) continue;
        const double nd = static_cast<double>(n);
        mic_rms = static_cast<float>(std::sqrt(mic_sq / nd));
        ref_rms = static_cast<float>(std::sqrt(ref_sq / nd));
        fft->process(windowed_frame, mic_spec);
        fft->process(windowed_ref, ref_spec);

        count += 1;
        const std::uint64_t div = std::min<std::uint64_t>(count, std::max<std::size_t>(averages, 1));
        const float a = 1.0f / static_cast<float>(div);
        w = (1.0f - a) * (1.0f - a) * w + a * a;
        // The averages in pieces, each summed for the floor while in cache
        // (pieces of a multiple of four keep the order of the sums).
        double acc[4] = {0.0, 0.0, 0.0, 0.0};
        constexpr std::size_t PIECE = 1024;
        for (std::size_t k0 = 0; k0 < bins; k0 += PIECE) {
            const std::size_t c = std::min(PIECE, bins - k0);
            average_into(ref_spec.data() + k0, mic_spec.data() + k0, c, a, sxx.data() + k0, syy.data() + k0,
                         reinterpret_cast<float*>(sxy.data() + k0));
            add_partial(std::span<const float>(sxx).subspan(k0, c), acc);
        }
        const double sum = (acc[0] + acc[1]) + (acc[2] + acc[3]);
        floor = static_cast<float>(sum) / static_cast<float>(bins) * 0.0001f;
        if (sweep) sweep_analysis(*this);
        ++done;
    }
    keep_rest(mic_queue, mic, taken);
    keep_rest(ref_queue, reference, taken);
    return done;
}

namespace {


// Four bins of Accumulator::add without branches: each bin gets its
// contribution `times` times, or zeros. sxy_l, rot, sxy: four complex values
// (eight floats); the others four floats. Returns the mask of the bins whose
// 1 / (sx sy) over- or underflows (the caller adds them the general way).
template <bool Rotate>
inline V4i add4(const float* sxx_l, const float* syy_l, const float* sxy_l, const float* rot, std::uint32_t times,
                float lfloor, bool biased, float navg, float inv_m1, float threshold, float* sxy, float* power,
                float* weight) {
    const V4 sx = load4(sxx_l);
    const V4 sy = load4(syy_l);
    const V4 s0 = load4(sxy_l);
    const V4 s1 = load4(sxy_l + 4);
    const V4 re = even4(s0, s1);
    const V4 im = odd4(s0, s1);
    const V4 zero{};
    const V4i valid = (sy > splat4(1e-12f)) & (sx > splat4(lfloor));
    const V4 inv = splat4(1.0f) / (sx * sy);
    const V4i finite = (inv > zero) & (inv < splat4(INFINITY));
    const V4 cb = (splat4(navg) * (re * re + im * im) * inv - splat4(1.0f)) * splat4(inv_m1);
    V4 c = biased ? cb : zero;
    c = select4(c < zero, zero, c);  // clamp01, NaN kept
    c = select4(c > splat4(1.0f), splat4(1.0f), c);
    const V4 inv_sx = sy * inv;
    V4 hr = re * inv_sx;
    V4 hi = im * inv_sx;
    const V4 p = hr * hr + hi * hi;
    // c >= threshold is false for a NaN c; p - p is 0 only for a finite p.
    const V4i take = valid & finite & (c >= splat4(threshold)) & (p - p == zero);
    V4 cp = c * p;
    if constexpr (Rotate) {
        const V4 r0 = load4(rot);
        const V4 r1 = load4(rot + 4);
        const V4 rr = even4(r0, r1);
        const V4 ri = odd4(r0, r1);
        const V4 h2r = hr * rr - hi * ri;
        const V4 h2i = hr * ri + hi * rr;
        hr = h2r;
        hi = h2i;
        cp = c * (hr * hr + hi * hi);
    }
    const V4 cr = select4(take, c * hr, zero);
    const V4 ci = select4(take, c * hi, zero);
    cp = select4(take, cp, zero);
    const V4 cw = select4(take, c, zero);
    V4 ar = even4(load4(sxy), load4(sxy + 4));
    V4 ai = odd4(load4(sxy), load4(sxy + 4));
    V4 ap = load4(power);
    V4 aw = load4(weight);
    for (std::uint32_t t = 0; t < times; ++t) {
        ar += cr;
        ai += ci;
        ap += cp;
        aw += cw;
    }
    const V4 o0 = zip_lo4(ar, ai);
    const V4 o1 = zip_hi4(ar, ai);
    std::memcpy(sxy, &o0, sizeof o0);
    std::memcpy(sxy + 4, &o1, sizeof o1);
    std::memcpy(power, &ap, sizeof ap);
    std::memcpy(weight, &aw, sizeof aw);
    return valid & ~finite;
}

// Accumulator::add for a layer without gated transfer function, four bins
// at a time (the last few through a padded copy). Bins whose 1 / (sx sy)
// over- or underflows are left out and counted; the caller adds them the
// general way.
template <bool Rotate>
std::size_t add_plain(const float* sxx_l, const float* syy_l, const float* sxy_l, const float* rot,
                      std::size_t bins, std::uint32_t times, float lfloor, bool biased, float navg, float inv_m1,
                      float threshold, float* sxy, float* power, float* weight) {
    V4i slow{};
    std::size_t k = 0;
    for (; k + 4 <= bins; k += 4)
        slow -= add4<Rotate>(sxx_l + k, syy_l + k, sxy_l + 2 * k, Rotate ? rot + 2 * k : nullptr, times, lfloor,
                             biased, navg, inv_m1, threshold, sxy + 2 * k, power + k, weight + k);
    if (k < bins) {
        // Padding bins have no power: never valid, never slow.
        const std::size_t left = bins - k;
        float tx[4] = {}, ty[4] = {}, tp[4] = {}, tw[4] = {}, ts[8] = {}, tr[8] = {}, tsum[8] = {};
        std::copy_n(sxx_l + k, left, tx);
        std::copy_n(syy_l + k, left, ty);
        std::copy_n(sxy_l + 2 * k, 2 * left, ts);
        if (Rotate) std::copy_n(rot + 2 * k, 2 * left, tr);
        std::copy_n(sxy + 2 * k, 2 * left, tsum);
        std::copy_n(power + k, left, tp);
        std::copy_n(weight + k, left, tw);
        slow -= add4<Rotate>(tx, ty, ts, tr, times, lfloor, biased, navg, inv_m1, threshold, tsum, tp, tw);
        std::copy_n(tsum, 2 * left, sxy + 2 * k);
        std::copy_n(tp, left, power + k);
        std::copy_n(tw, left, weight + k);
    }
    return static_cast<std::size_t>(slow[0]) + static_cast<std::size_t>(slow[1]) + static_cast<std::size_t>(slow[2]) +
           static_cast<std::size_t>(slow[3]);
}

}  // namespace

void Accumulator::add(const TransferFunction& layer, std::uint32_t times) {
    if (times == 0) return;
    const std::size_t bins = std::min({sxy.size(), layer.sxx.size(), layer.syy.size()});
    const float factor = static_cast<float>(shift) * 6.2831855f / static_cast<float>(n);
    const std::vector<Complex>* rot = shift != 0 ? &rotation(n, shift, factor, bins) : nullptr;
    // TransferFunction::bin written out with its per-layer terms taken out
    // of the loop.
    const float navg = layer.w > 0.0f ? 1.0f / layer.w : 0.0f;
    const bool biased = navg > 1.0f;
    const float navg_m1 = navg - 1.0f;
    const float inv_m1 = biased ? 1.0f / navg_m1 : 0.0f;
    const float* sxx_l = layer.sxx.data();
    const float* syy_l = layer.syy.data();
    const Complex* sxy_l = layer.sxy.data();
    const std::size_t cleaned = std::min(layer.clean.size(), bins);
    const float lfloor = layer.floor;
    // Only the bins whose reciprocal over- or underflows remain for the
    // general loop below.
    bool only_slow = false;
    if (cleaned == 0) {
        const auto* s_l = reinterpret_cast<const float*>(sxy_l);
        auto* s = reinterpret_cast<float*>(sxy.data());
        const std::size_t slow =
            rot != nullptr
                ? add_plain<true>(sxx_l, syy_l, s_l, reinterpret_cast<const float*>(rot->data()), bins, times, lfloor,
                                  biased, navg, inv_m1, threshold, s, power.data(), weight.data())
                : add_plain<false>(sxx_l, syy_l, s_l, nullptr, bins, times, lfloor, biased, navg, inv_m1, threshold,
                                   s, power.data(), weight.data());
        if (slow == 0) return;
        only_slow = true;
    }
    for (std::size_t k = 0; k < bins; ++k) {
        if (only_slow) {
            const float inv = 1.0f / (sxx_l[k] * syy_l[k]);
            const bool slow_bin = syy_l[k] > 1e-12f && sxx_l[k] > lfloor && !(inv > 0.0f && inv < INFINITY);
            if (!slow_bin) continue;
        }
        Complex h;
        float c;
        const float sx = sxx_l[k];
        const float sy = syy_l[k];
        if (sy > 1e-12f && sx > lfloor) {
            // One division per bin: 1 / (sx sy) serves the coherence and,
            // times sy, 1 / sx (equal to the quotients within rounding).
            const float inv = 1.0f / (sx * sy);
            const bool finite = inv > 0.0f && inv < INFINITY;
            c = 0.0f;
            if (biased)
                c = finite ? (navg * norm2(sxy_l[k]) * inv - 1.0f) * inv_m1
                           : (navg * norm2(sxy_l[k]) / (sx * sy) - 1.0f) / navg_m1;
            c = clamp01(c);
            if (std::isnan(c) || c < threshold) continue;
            if (k < cleaned) {
                h = layer.clean[k];
            } else if (finite) {
                const float inv_sx = sy * inv;
                h = Complex(sxy_l[k].real() * inv_sx, sxy_l[k].imag() * inv_sx);
            } else {
                h = sxy_l[k] / sx;
            }
        } else {
            if (threshold > 0.0f) continue;
            h = Complex{};
            c = 0.0f;
        }
        // |H|^2 as re^2 + im^2 (std::norm goes through hypot).
        const float p = h.real() * h.real() + h.imag() * h.imag();
        if (!std::isfinite(p)) continue;
        if (rot != nullptr) h *= (*rot)[k];
        const Complex ch = c * h;
        const float cp = c * (h.real() * h.real() + h.imag() * h.imag());
        if (times == 1) {
            sxy[k] += ch;
            power[k] += cp;
            weight[k] += c;
            continue;
        }
        for (std::uint32_t t = 0; t < times; ++t) {
            sxy[k] += ch;
            power[k] += cp;
            weight[k] += c;
        }
    }
}

}  // namespace engine::tf
