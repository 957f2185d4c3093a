// The delay search between the channels and the bulk delay of a transfer
// function.
#include <algorithm>
#include <bit>
#include <cmath>

#include "base/cast.h"
#include "engine/core/tf.h"
#include "engine/core/internal/tf_detail.h"

namespace engine::tf {

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

}  // namespace engine::tf
