// The 240-point display grid: its frequencies and band edges, the position
// of a frequency on it, points of grid triples and the power of an FFT's bins
// in each band.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "base/cast.h"
#include "engine/core/tf.h"
#include "engine/core/internal/tf_detail.h"

namespace engine::tf {

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

}  // namespace engine::tf
