// Feeding a layer: frames of the two channels taken from the stream,
// windowed, transformed and averaged, and the sweep layer's gated analysis.
#include <algorithm>
#include <cmath>

#include "base/cast.h"
#include "engine/core/tf.h"
#include "engine/core/internal/tf_detail.h"

namespace engine::tf {

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

}  // namespace engine::tf
