// The analysis layer set of the analyzer, feeding and averaging a layer,
// the sweep layer's harmonic separation, and the accumulators.
#include <algorithm>
#include <bit>
#include <cmath>
#include <tuple>

#include "base/cast.h"
#include "engine/analyzer.h"

namespace engine::analyzer {

std::size_t rate_factor(float fs) {
    const float r = std::round(fs / 48000.0f);
    const std::uint64_t ri = base::saturating_cast<std::uint64_t>(r);
    if (ri <= 1) return 1;
    return static_cast<std::size_t>(std::bit_ceil(std::min<std::uint64_t>(ri, std::uint64_t{1} << 32)));
}

std::vector<std::size_t> harmonic_offsets(float fs, Signal signal, float sweep_secs) {
    float t;
    if (signal == Signal::Chirp) {
        t = 0.1f;
    } else if (signal == Signal::Sweep) {
        t = std::fmax(sweep_secs, 0.1f);  // NaN gives 0.1
    } else {
        return {};
    }
    const float f_top = std::fmin(fs * 0.5f, 20000.0f);
    const float d = std::log(f_top / 20.0f);
    constexpr float LN[4] = {0.6931472f, 1.0986123f, 1.3862944f, 1.609438f};
    std::vector<std::size_t> out;
    out.reserve(4);
    for (float ln_k : LN) out.push_back(base::saturating_cast<std::size_t>(((t * ln_k) / d) * fs));
    return out;
}

LayerSet build_layers(float fs, bool single, std::size_t length, Signal signal, float sweep_secs, float average_secs,
                      float coherence_threshold) {
    LayerSet set;
    if (single) {
        const std::size_t n = length;
        const float want = std::ceil(fs * average_secs / static_cast<float>(n));
        const std::size_t avg = std::max<std::size_t>(2, base::saturating_cast<std::size_t>(want));
        tf::TransferFunction layer(n, avg, fs);
        layer.hop = n;
        std::fill(layer.window.begin(), layer.window.end(), 1.0f);
        layer.sweep = true;
        layer.harmonic_offsets = harmonic_offsets(fs, signal, sweep_secs);
        set.sizes.push_back(n);
        set.averages.push_back(avg);
        set.layers.push_back(std::move(layer));
    } else {
        const std::size_t k = rate_factor(fs);
        for (std::size_t base_n : {32768u, 16384u, 4096u, 1024u}) {
            const std::size_t n = base_n * k;
            const float want = std::ceil(fs * average_secs / static_cast<float>(n / 2));
            const std::size_t avg = std::max<std::size_t>(1, base::saturating_cast<std::size_t>(want));
            set.sizes.push_back(n);
            set.averages.push_back(avg);
            set.layers.emplace_back(n, avg, fs);
        }
    }
    for (std::size_t i = 0; i < set.layers.size(); ++i)
        set.accumulators.emplace_back(set.sizes[i], fs, coherence_threshold, set.averages[i]);
    return set;
}

}  // namespace engine::analyzer

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
    z.assign(n, Complex{});
    r.resize(n);
    for (std::size_t k = 1; k < n / 2; ++k) {
        if (l.sxx[k] > l.floor && l.syy[k] > 1e-12f) z[k] = l.sxy[k] / l.sxx[k];
        z[n - k] = std::conj(z[k]);
    }
    plan::inverse(n)->process(z);
    const float nf = static_cast<float>(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = z[i].real() / nf;

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
    for (std::size_t i = 0; i < n; ++i) z[i] = Complex(r[i], 0.0f);
    plan::forward(n)->process(z);
    l.clean.assign(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(n / 2));
}

double square_sum(const std::vector<float>& x) {
    // Four partial sums, so that the loop vectorises.
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    const std::size_t n = x.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (std::size_t j = 0; j < 4; ++j) acc[j] += static_cast<double>(x[i + j]) * x[i + j];
    for (; i < n; ++i) acc[0] += static_cast<double>(x[i]) * x[i];
    return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

void windowed(const std::vector<float>& frame, const std::vector<float>& window, std::vector<Complex>& out) {
    float* o = reinterpret_cast<float*>(out.data());
    const std::size_t n = frame.size();
    for (std::size_t i = 0; i < n; ++i) {
        o[2 * i] = frame[i] * window[i];
        o[2 * i + 1] = 0.0f;
    }
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

std::size_t TransferFunction::feed(std::span<const float> mic, std::span<const float> reference) {
    const std::size_t s = std::min(skip, mic.size());
    skip -= s;
    mic_queue.insert(mic_queue.end(), mic.begin() + static_cast<std::ptrdiff_t>(s), mic.end());
    ref_queue.insert(ref_queue.end(), reference.begin(), reference.end());
    if (hop == 0 || hop > n) return 0;
    const std::size_t bins = n / 2;
    const std::size_t keep = n - hop;
    std::size_t done = 0;
    while (mic_queue.size() >= hop && ref_queue.size() >= hop) {
        std::copy(mic_frame.begin() + static_cast<std::ptrdiff_t>(hop), mic_frame.end(), mic_frame.begin());
        std::copy(ref_frame.begin() + static_cast<std::ptrdiff_t>(hop), ref_frame.end(), ref_frame.begin());
        const auto h = static_cast<std::ptrdiff_t>(hop);
        std::copy(mic_queue.begin(), mic_queue.begin() + h, mic_frame.begin() + static_cast<std::ptrdiff_t>(keep));
        std::copy(ref_queue.begin(), ref_queue.begin() + h, ref_frame.begin() + static_cast<std::ptrdiff_t>(keep));
        mic_queue.erase(mic_queue.begin(), mic_queue.begin() + h);
        ref_queue.erase(ref_queue.begin(), ref_queue.begin() + h);
        filled = std::min(n, filled + hop);
        if (filled < n) continue;

        const double mic_sq = square_sum(mic_frame);
        const double ref_sq = square_sum(ref_frame);
        if (!std::isfinite(mic_sq + ref_sq)) continue;
        windowed(mic_frame, window, mic_spec);
        windowed(ref_frame, window, ref_spec);
        const double nd = static_cast<double>(n);
        mic_rms = static_cast<float>(std::sqrt(mic_sq / nd));
        ref_rms = static_cast<float>(std::sqrt(ref_sq / nd));
        fft->process(mic_spec);
        fft->process(ref_spec);

        count += 1;
        const std::uint64_t div = std::min<std::uint64_t>(count, std::max<std::size_t>(averages, 1));
        const float a = 1.0f / static_cast<float>(div);
        w = (1.0f - a) * (1.0f - a) * w + a * a;
        average_into(ref_spec.data(), mic_spec.data(), bins, a, sxx.data(), syy.data(),
                     reinterpret_cast<float*>(sxy.data()));
        double sum = 0.0;
        for (std::size_t k = 0; k < bins; ++k) sum += sxx[k];
        floor = static_cast<float>(sum) / static_cast<float>(bins) * 0.0001f;
        if (sweep) sweep_analysis(*this);
        ++done;
    }
    return done;
}

void Accumulator::add(const TransferFunction& layer, std::uint32_t times) {
    if (times == 0) return;
    const std::size_t bins = std::min({sxy.size(), layer.sxx.size(), layer.syy.size()});
    const float factor = static_cast<float>(shift) * 6.2831855f / static_cast<float>(n);
    const std::vector<Complex>* rot = shift != 0 ? &rotation(n, shift, factor, bins) : nullptr;
    for (std::size_t k = 0; k < bins; ++k) {
        Complex h;
        float c;
        if (layer.syy[k] > 1e-12f && layer.sxx[k] > layer.floor) {
            std::tie(h, c) = layer.bin(k);
            if (std::isnan(c) || c < threshold) continue;
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
        for (std::uint32_t t = 0; t < times; ++t) {
            sxy[k] += ch;
            power[k] += cp;
            weight[k] += c;
        }
    }
}

}  // namespace engine::tf
