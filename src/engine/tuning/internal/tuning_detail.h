#pragma once
// Small numeric helpers shared by the tuning modules (design, eqfit, align).
#include <bit>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/tuning/eqfit.h"

#include "engine/core/trace.h"

namespace engine::tuning_detail {

using Complex = std::complex<float>;

inline constexpr float PI_F = 3.1415927f;
inline constexpr float TWO_PI_F = 6.2831855f;

// Plain complex arithmetic in single precision.
inline Complex cmul(Complex a, Complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
inline Complex cdiv(Complex a, Complex b) {
    const float c = b.real();
    const float d = b.imag();
    const float den = c * c + d * d;
    return {(a.real() * c + a.imag() * d) / den, (a.imag() * c - a.real() * d) / den};
}
inline Complex cscale(float g, Complex a) { return {g * a.real(), g * a.imag()}; }
// hypot(x, y) for floats: the square root of the exact sum of squares in
// double precision, rounded once; the same value as the C library's hypotf,
// without the call.
inline float hypot_f(float x, float y) {
    if (std::isinf(x) || std::isinf(y)) return INFINITY;
    return static_cast<float>(std::sqrt(static_cast<double>(x) * x + static_cast<double>(y) * y));
}
inline float cabs(Complex a) { return hypot_f(a.real(), a.imag()); }
inline Complex cis(float phi) { return {std::cos(phi), std::sin(phi)}; }

// Butterworth pole k (0-based) of order n (1..MAX_BUTTER_ORDER): the
// left-half-plane poles on the unit circle, theta = (n + 1 + 2k) pi / (2n).
inline constexpr int MAX_BUTTER_ORDER = 42;  // slope 255 dB/oct
Complex butter_pole(int n, int k);

// The response in dB of one band at every frequency of hz (band_db, point by
// point). With a weight list, points without weight get 0 instead: they add
// nothing to a weighted error.
void band_db_row(const eqfit::Band& band, std::span<const float> hz, std::vector<float>& row,
                 std::span<const float> weight = {});

// shaping_db of the shaping at every frequency of hz.
void shaping_db_row(const eqfit::Shaping& shaping, std::span<const float> hz, std::vector<float>& row);

// A trace's value at grid point i: its cycle-windowed value when it holds
// windowed values, else its measured value; 0 past the end of its lists.
inline Complex value_at(const trace::Trace& t, std::size_t i) {
    if (!t.windowed.empty()) return i < t.windowed.size() ? t.windowed[i] : Complex{};
    return i < t.h.size() ? t.h[i] : Complex{};
}
inline float conf_at(const trace::Trace& t, std::size_t i) {
    return i < t.confidence.size() ? t.confidence[i] : 0.0f;
}

// Total order of 32-bit floats (negative NaN < -inf < ... < -0 < +0 < ... < inf < NaN).
inline std::int32_t total_key(float v) {
    const auto bits = std::bit_cast<std::int32_t>(v);
    return bits ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 31) >> 1);
}
inline bool total_less(float a, float b) { return total_key(a) < total_key(b); }

// The widest delay an alignment searches either way.
inline constexpr float MAX_DELAY_MS = 40.0f;

// Whether a point's confidence reaches its trace's gate.
inline bool reaches_gate(const trace::Trace& t, std::size_t i) { return conf_at(t, i) >= t.gate; }

}  // namespace engine::tuning_detail
