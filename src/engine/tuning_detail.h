#pragma once
// Small numeric helpers shared by the tuning modules (design, eqfit, align).
#include <bit>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>

#include "engine/trace.h"

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
inline float cabs(Complex a) { return std::hypot(a.real(), a.imag()); }
inline Complex cis(float phi) { return {std::cos(phi), std::sin(phi)}; }

// Butterworth pole k (0-based) of order n: the left-half-plane poles on the unit circle.
inline Complex butter_pole(int n, int k) {
    const float theta = static_cast<float>(n + 1 + 2 * k) * PI_F / static_cast<float>(2 * n);
    return {std::cos(theta), std::sin(theta)};
}

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

}  // namespace engine::tuning_detail
