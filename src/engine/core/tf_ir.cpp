// The impulse response as drawn: the envelope masked by the confidence, the
// displayed span and the arrivals.
#include <algorithm>
#include <array>
#include <utility>
#include <cmath>
#include <memory>
#include <mutex>

#include "base/cast.h"
#include "base/pages.h"
#include "engine/core/tf.h"
#include "engine/core/internal/tf_detail.h"

namespace engine::tf {

namespace {

// The grid point whose confidence masks bin k (k <= n/2) of an FFT of size n
// at rate fs; kept for the last few sizes (the same n and fs come with every
// display refresh), shared by all threads. Threads that ask for one table at
// once wait for the first to make it.
std::shared_ptr<const std::vector<std::uint8_t>> mask_points(std::size_t n, float fs) {
    struct Entry {
        std::size_t n;
        float fs;
        std::once_flag once;
        std::shared_ptr<const std::vector<std::uint8_t>> table;
    };
    static std::mutex mutex;
    static std::vector<std::shared_ptr<Entry>> cache;
    std::shared_ptr<Entry> e;
    {
        std::lock_guard lock(mutex);
        for (const auto& c : cache)
            if (c->n == n && c->fs == fs) e = c;
        if (!e) {
            e = std::make_shared<Entry>();
            e->n = n;
            e->fs = fs;
            if (cache.size() >= 8) cache.erase(cache.begin());
            cache.push_back(e);
        }
    }
    std::call_once(e->once, [&] {
        const float nf = static_cast<float>(n);
        auto table = std::make_shared<std::vector<std::uint8_t>>(n / 2 + 1);
        for (std::size_t k = 0; k <= n / 2; ++k) {
            const float fk = fs * static_cast<float>(std::min(k, n - k)) / nf;
            (*table)[k] = static_cast<std::uint8_t>(
                std::min<std::size_t>(base::saturating_round<std::size_t>(grid_position(std::fmax(fk, 20.0f))), 239));
        }
        e->table = std::move(table);
    });
    return e->table;
}

}  // namespace

namespace {

// |z| (magnitude) of `count` complex values into out, four at a time.
// Without trapping math the compiler may compute both sides of the select,
// and this file is built without errno from the math functions, so the
// square roots are inline; no value changes.
__attribute__((optimize("no-trapping-math"))) void magnitudes(const float* __restrict z, float* __restrict out,
                                                             std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        const float x = z[2 * k];
        const float y = z[2 * k + 1];
        const float r = static_cast<float>(__builtin_sqrt(static_cast<double>(x) * x + static_cast<double>(y) * y));
        const bool inf = (__builtin_fabsf(x) == __builtin_inff()) | (__builtin_fabsf(y) == __builtin_inff());
        out[k] = inf ? __builtin_inff() : r;
    }
}

// The samples of ir outside its longest run of zeros (taken cyclically):
// the first and their count. A layer's response holds 1 ms before time zero
// and the half of the transform after it; the rest is zero.
std::pair<std::size_t, std::size_t> taken_samples(std::span<const float> ir) {
    const std::size_t n = ir.size();
    std::size_t lead = 0;
    while (lead < n && ir[lead] == 0.0f) ++lead;
    if (lead == n) return {0, 0};
    std::size_t best = 0, best_end = 0;  // the longest run inside, and where it ends
    std::size_t run = 0;
    for (std::size_t k = lead; k < n; ++k) {
        if (ir[k] == 0.0f) {
            if (++run > best) {
                best = run;
                best_end = k + 1;
            }
        } else {
            run = 0;
        }
    }
    // The run at the end joins the one at the start.
    if (run + lead > best) return {lead, n - run - lead};
    return {best_end % n, n - best};
}

}  // namespace

std::vector<Complex>& thread_scratch() {
    thread_local std::vector<Complex> s;
    return s;
}

namespace {

// confident_envelope of ir (conf holding 240 values, ir not empty), computed
// only for samples [0, after) and [n - before, n), the others zero: n floats
// over the thread's scratch, read before the scratch is taken again.
std::span<const float> envelope_of(std::span<const float> ir, std::span<const float> conf, float fs, std::size_t after,
                                   std::size_t before) {
    const std::size_t n = ir.size();
    const plan::FftHandle forward = plan::real_forward(n);
    const auto table = mask_points(n, fs);
    const std::vector<std::uint8_t>& points = *table;
    const float nf = static_cast<float>(n);
    // The scale of each grid point's bins, once: mask x 2 / n (x 1 / n for
    // bins 0 and n/2).
    std::array<float, GRID_POINTS> masks, scales;
    for (std::size_t i = 0; i < GRID_POINTS; ++i) {
        masks[i] = std::fmin(std::fmax((conf[i] - 0.2f) / 0.3f, 0.0f), 1.0f);
        scales[i] = masks[i] * 2.0f / nf;
    }
    auto mask_bins = [&](std::span<Complex> bins) {
        for (std::size_t k = 0; 2 * k <= n; ++k) {
            if (k == 0 || 2 * k == n)
                bins[k] *= masks[points[k]] * 1.0f / nf;
            else
                bins[k] *= scales[points[k]];
        }
    };
    after = std::min(after, n);
    before = std::min(before, n - after);
    std::vector<Complex>& s = thread_scratch();
    // The magnitudes of samples [0, after) from s[a_at ..] and [n - before, n)
    // from s[b_at ..], zero between them, written over s as n floats (s holds
    // at least n / 2 values). The first samples are read aside; then each
    // block is written below where any later block reads.
    auto write_over = [&](std::size_t a_at, std::size_t b_at) {
        float* f = reinterpret_cast<float*>(s.data());
        std::vector<float> last(before);
        magnitudes(f + 2 * b_at, last.data(), before);
        std::array<float, 1024> block;
        for (std::size_t k = 0; k < after; k += block.size()) {
            const std::size_t c = std::min(block.size(), after - k);
            magnitudes(f + 2 * (a_at + k), block.data(), c);
            std::copy_n(block.data(), c, f + k);
        }
        std::fill(f + after, f + (n - before), 0.0f);
        std::copy(last.begin(), last.end(), f + (n - before));
        return std::span<const float>(f, n);
    };
    if (forward->by_chirp()) {
        // By chirp, only the bins and samples used are transformed: bins
        // 0..n/2 of the response, then from those the samples n - before ..
        // after - 1 (mod n), in the thread's scratch.
        const std::size_t half = n / 2 + 1;
        const std::size_t wanted = after + before;
        base::pages::resize(s, std::max(half, wanted));
        const auto [from, count] = taken_samples(ir);
        forward->process_part(ir, from, count, std::span<Complex>(s).first(half));
        mask_bins(s);
        plan::inverse(n)->process_part(std::span<const Complex>(s).first(half), (n - before) % n,
                                       std::span<Complex>(s).first(wanted));
        return write_over(before, 0);
    }
    // The spectrum of the real response fills bins 0..n/2; the envelope's
    // one-sided spectrum keeps no bin above them.
    base::pages::resize(s, n);
    forward->process(ir, std::span<Complex>(s).first(n / 2 + 1));
    std::fill(s.begin() + static_cast<std::ptrdiff_t>(n / 2 + 1), s.end(), Complex{});
    mask_bins(s);
    plan::inverse(n)->process(s);
    return write_over(0, n - before);
}

}  // namespace

std::vector<float> confident_envelope(std::span<const float> ir, std::span<const float> conf, float fs) {
    if (conf.size() != GRID_POINTS || ir.empty()) return {ir.begin(), ir.end()};
    const std::span<const float> env = envelope_of(ir, conf, fs, ir.size(), 0);
    return {env.begin(), env.end()};
}

namespace {

// The samples of the envelope the display of n samples reads: [0, after) and
// [n - before, n). The span reads the first half of the envelope; the display
// reads from 2 ms before time zero (the end of the response) to at most
// 320 ms after.
std::pair<std::size_t, std::size_t> display_samples(std::size_t n, float fs) {
    const std::size_t pre = base::saturating_cast<std::size_t>(std::floor(fs * 0.002f));
    const std::size_t post = base::saturating_cast<std::size_t>(std::floor(fs * (320.0f / 1000.0f)));
    if (pre < n && post < n - pre) return {std::max(n / 2, post + 1), pre};
    return {n, 0};
}

}  // namespace

void prepare_ir_display(std::size_t n, float fs) {
    mask_points(n, fs);
    // Other sizes plan at once and need no tables.
    if (!plan::by_chirp(n)) return;
    const plan::FftHandle forward = plan::real_forward(n);
    const plan::FftHandle inverse = plan::inverse(n);
    // As envelope_of asks for them.
    const auto [after, before] = display_samples(n, fs);
    // A layer's response: 1 ms before time zero and the half after it.
    const std::size_t pre = std::min(base::saturating_cast<std::size_t>(std::floor(fs * 0.001f)), n - n / 2);
    forward->prepare_part((n - pre) % n, n / 2 + pre, 0, n / 2 + 1);
    inverse->prepare_part(0, n / 2 + 1, (n - before) % n, after + before);
}

IrView confident_ir_display(std::span<const float> ir, std::span<const float> conf, float fs) {
    IrView view;
    if (conf.size() != GRID_POINTS || ir.empty()) {
        view.span_ms = ir_span_ms(ir, fs);
        view.display = ir_display(ir, fs, view.span_ms);
        return view;
    }
    const auto [after, before] = display_samples(ir.size(), fs);
    const std::span<const float> env = envelope_of(ir, conf, fs, after, before);
    view.span_ms = ir_span_ms(env, fs);
    view.display = ir_display(env, fs, view.span_ms);
    return view;
}

namespace {

// The largest |x| of the values, at least 0; a NaN value is passed over, as
// std::fmax would. Four lanes at a time (the largest value does not depend
// on the order).
float largest_abs(const float* x, std::size_t count) {
    const V4i magnitude_bits{0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
    V4 m{};
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const V4 a = (V4)((V4i)load4(x + k) & magnitude_bits);
        m = select4(a > m, a, m);
    }
    float r = 0.0f;
    for (int j = 0; j < 4; ++j) r = m[j] > r ? m[j] : r;
    for (; k < count; ++k) {
        const float a = std::abs(x[k]);
        r = a > r ? a : r;
    }
    return r;
}

}  // namespace

float ir_span_ms(std::span<const float> ir, float fs) {
    const std::size_t half = ir.size() / 2;
    auto max_abs = [&](std::size_t from, std::size_t to) { return from < to ? largest_abs(ir.data() + from, to - from) : 0.0f; };
    const float p = max_abs(0, half);
    for (const float span : {40.0f, 80.0f, 160.0f}) {
        const std::size_t e = base::saturating_cast<std::size_t>(std::floor(fs * (2.0f * span) / 1000.0f));
        if (e > half) return span;
        const std::size_t b = base::saturating_cast<std::size_t>(std::floor(fs * (0.75f * span) / 1000.0f));
        if (2.0f * max_abs(0, std::min(b, ir.size())) < p) continue;
        if (b >= e) {
            if (p * 0.25118864f > 0.0f) return span;
            continue;
        }
        const float late = max_abs(b, e);
        if (late < p * 0.25118864f) return span;
        std::size_t first = b;
        while (first < e && std::abs(ir[first]) != late) ++first;
        if (first == b) return span;
    }
    return 320.0f;
}

IrDisplay ir_display(std::span<const float> ir, float fs) {
    if (ir.empty()) return {};
    return ir_display(ir, fs, ir_span_ms(ir, fs));
}

IrDisplay ir_display(std::span<const float> ir, float fs, float span_ms) {
    IrDisplay out;
    if (ir.empty()) return out;
    const std::int64_t n = static_cast<std::int64_t>(ir.size());
    const std::int64_t pre = base::saturating_cast<std::int64_t>(std::floor(fs * 0.002f));
    const std::int64_t post = base::saturating_cast<std::int64_t>(std::floor(fs * (span_ms / 1000.0f)));
    const std::int64_t len = pre + post;
    if (len <= 0) return out;
    std::vector<float> v(static_cast<std::size_t>(len));
    // The circular index of sample j - pre, stepped rather than divided.
    std::int64_t idx = (((-pre) % n) + n) % n;
    for (std::int64_t j = 0; j < len;) {
        // A run of samples up to the end of the response.
        const std::int64_t run = std::min(len - j, n - idx);
        for (std::int64_t r = 0; r < run; ++r) v[j + r] = std::abs(ir[static_cast<std::size_t>(idx + r)]);
        j += run;
        idx = idx + run == n ? 0 : idx + run;
    }
    const float peak = largest_abs(v.data(), v.size());  // std::fmax: peak is never NaN
    if (!(peak > 0.0f)) return out;
    auto level = [&](float x) { return std::fmin(std::fmax(20.0f * std::log10(std::fmax(x / peak, 1e-9f)), -60.0f), 0.0f); };

    out.display.resize(IR_DISPLAY_LEN);
    const std::int64_t blocks = static_cast<std::int64_t>(IR_DISPLAY_LEN);
    for (std::int64_t b = 0; b < blocks; ++b) {
        const std::int64_t s = b * len / blocks;
        const std::int64_t e = std::max(s + 1, (b + 1) * len / blocks);
        float m = v[s];
        // std::fmax(m, v[j]): a NaN m takes the next value, a NaN v[j] is passed over.
        for (std::int64_t j = s + 1; j < e; ++j) m = v[j] > m || m != m ? v[j] : m;
        out.display[b] = level(m);
    }

    std::vector<std::int64_t> cands;
    const float floor_level = peak * 0.056234132f;
    for (std::int64_t j = 1; j + 1 < len; ++j) {
        if (v[j] > floor_level && v[j] >= v[j - 1] && v[j] >= v[j + 1]) cands.push_back(j);
    }
    // Candidates by falling level, the earlier first among equals; only as
    // many are put in order as the choice below reads.
    const auto before = [&](std::int64_t a, std::int64_t b) { return v[a] > v[b] || (v[a] == v[b] && a < b); };
    std::size_t ordered = 0;
    const std::int64_t sep = base::saturating_cast<std::int64_t>(std::floor(fs * 0.00025f));
    std::vector<std::int64_t> taken;
    for (std::size_t c = 0; c < cands.size(); ++c) {
        if (taken.size() == 6) break;
        if (c == ordered) {
            ordered = std::min(cands.size(), std::max<std::size_t>(64, 2 * ordered));
            std::partial_sort(cands.begin() + static_cast<std::ptrdiff_t>(c),
                              cands.begin() + static_cast<std::ptrdiff_t>(ordered), cands.end(), before);
        }
        const std::int64_t j = cands[c];
        const bool apart = std::all_of(taken.begin(), taken.end(), [&](std::int64_t t) { return std::abs(j - t) >= sep; });
        if (apart) taken.push_back(j);
    }
    std::sort(taken.begin(), taken.end());
    for (std::int64_t j : taken) {
        const float ms = std::round(static_cast<float>(j - pre) / fs * 10000.0f) / 10.0f;
        out.arrivals.push_back(Arrival{ms, std::round(level(v[j]))});
    }
    return out;
}

}  // namespace engine::tf
