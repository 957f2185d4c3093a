// A layer's running averages read out as transfer function and coherence,
// and the merge of the layers onto the grid through their crossovers.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "base/cast.h"
#include "engine/core/tf.h"
#include "engine/core/internal/tf_detail.h"

namespace engine::tf {

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

}  // namespace engine::tf
