#pragma once
// What the transfer-function files of engine_core share behind tf.h: |z|^2
// without hypot, four-lane float vectors, the 2 pi constants and the clamp
// that keeps NaN. Private to engine_core.
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

#include "engine/core/tf.h"

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

constexpr float TWO_PI_F = 6.2831855f;
constexpr double TWO_PI = 2.0 * std::numbers::pi;

// Clamp to 0..1 that lets NaN through (callers test for it).
inline float clamp01(float v) {
    if (v < 0.0f) return 0.0f;
    if (v > 1.0f) return 1.0f;
    return v;
}

}  // namespace

// Complex values the calling thread keeps between its large transforms
// (a layer's response, then its envelope), so that each reuses the pages of
// the last. Whoever takes it calls nothing that takes it too before done.
std::vector<Complex>& thread_scratch();

}  // namespace engine::tf
