#pragma once
// Float to integer conversion that never reaches undefined behaviour:
// truncates toward zero, saturates at the target's limits, NaN gives 0.
#include <cmath>
#include <concepts>
#include <limits>

namespace base {

template <std::integral I, std::floating_point F>
constexpr I saturating_cast(F v) noexcept {
    if (std::isnan(v)) return 0;
    // Compare in long double so the limits are represented exactly enough:
    // the largest integer below 2^63 is not a double, but 2^63 is.
    using L = long double;
    constexpr L lo = static_cast<L>(std::numeric_limits<I>::min());
    constexpr L hi_excl = static_cast<L>(std::numeric_limits<I>::max()) + 1.0L;
    const L t = std::trunc(static_cast<L>(v));
    if (t < lo) return std::numeric_limits<I>::min();
    if (t >= hi_excl) return std::numeric_limits<I>::max();
    return static_cast<I>(t);
}

// Halves away from zero, then saturate.
template <std::integral I, std::floating_point F>
constexpr I saturating_round(F v) noexcept {
    return saturating_cast<I>(std::round(v));
}

}  // namespace base
