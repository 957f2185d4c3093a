// The accumulator: layers added with their weight (the accumulate mode), and
// its bins read out.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "engine/core/tf.h"
#include "engine/core/internal/tf_detail.h"

namespace engine::tf {

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
