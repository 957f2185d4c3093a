#include "engine/tf.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <numbers>

#include "base/cast.h"

namespace engine::tf {

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
    const float m = std::hypot(z.real(), z.imag());
    return 20.0f * std::log10(std::fmax(m, 1e-9f));
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
        for (std::size_t k = k_lo; k <= k_hi; ++k) {
            const float kf = static_cast<float>(k);
            const float cover = std::min(hi, (kf + 0.5f) * df) - std::max(lo, (kf - 0.5f) * df);
            sum += power[k] * std::max(0.0f, cover) / df;
        }
        out[i] = sum;
    }
    return out;
}

// ---------------------------------------------------------------- FFT plans

namespace plan {

namespace {

// The FFT library's planner (creation and destruction of plans) is not
// thread-safe; executing a plan is.
std::mutex& planner_mutex() {
    static std::mutex m;
    return m;
}

fftwf_plan make_plan(std::size_t len, Direction dir, fftwf_complex* buf, unsigned extra_flags) {
    const int sign = dir == Direction::Forward ? FFTW_FORWARD : FFTW_BACKWARD;
    return fftwf_plan_dft_1d(static_cast<int>(len), buf, buf, sign, FFTW_ESTIMATE | extra_flags);
}

}  // namespace

struct Fft::Impl {
    // Planned on buffers from the library's allocator, so it may use SIMD
    // code that needs their alignment.
    fftwf_plan aligned = nullptr;
    int alignment = 0;
    // For buffers of another alignment; made on first need.
    mutable std::once_flag unaligned_once;
    mutable fftwf_plan unaligned = nullptr;
};

Fft::Fft(std::size_t len, Direction dir) : len_(len), dir_(dir), impl_(std::make_unique<Impl>()) {
    if (len_ == 0) return;
    if (len_ > static_cast<std::size_t>(std::numeric_limits<int>::max())) std::abort();
    std::lock_guard lock(planner_mutex());
    auto* buf = fftwf_alloc_complex(len_);
    impl_->aligned = make_plan(len_, dir_, buf, 0);
    impl_->alignment = fftwf_alignment_of(reinterpret_cast<float*>(buf));
    fftwf_free(buf);
}

Fft::~Fft() {
    if (!impl_->aligned && !impl_->unaligned) return;
    std::lock_guard lock(planner_mutex());
    if (impl_->aligned) fftwf_destroy_plan(impl_->aligned);
    if (impl_->unaligned) fftwf_destroy_plan(impl_->unaligned);
}

void Fft::process(std::span<Complex> buf) const {
    if (buf.size() != len_) std::abort();
    if (len_ == 0) return;
    auto* p = reinterpret_cast<fftwf_complex*>(buf.data());
    if (fftwf_alignment_of(reinterpret_cast<float*>(p)) == impl_->alignment) {
        fftwf_execute_dft(impl_->aligned, p, p);
        return;
    }
    std::call_once(impl_->unaligned_once, [&] {
        std::lock_guard lock(planner_mutex());
        auto* tmp = fftwf_alloc_complex(len_ + 1);
        // A plan that assumes no alignment of the buffers it is given.
        impl_->unaligned = make_plan(len_, dir_, tmp, FFTW_UNALIGNED);
        fftwf_free(tmp);
    });
    fftwf_execute_dft(impl_->unaligned, p, p);
}

void Fft::process(std::span<const Complex> in, std::span<Complex> out) const {
    if (in.size() != len_ || out.size() != len_) std::abort();
    if (in.data() != out.data()) std::copy(in.begin(), in.end(), out.begin());
    process(out);
}

FftHandle Planner::plan(std::size_t n, Direction dir) {
    const auto key = std::make_pair(n, dir);
    if (auto it = cache_.find(key); it != cache_.end()) return it->second;
    auto handle = std::make_shared<const Fft>(n, dir);
    cache_.emplace(key, handle);
    return handle;
}

thread_local Planner PLANNER;

}  // namespace plan

void fft_forward(std::span<Complex> buf) { plan::forward(buf.size())->process(buf); }
void fft_inverse(std::span<Complex> buf) { plan::inverse(buf.size())->process(buf); }

}  // namespace engine::tf
