// The transfer function at one frequency from an impulse response, through a
// window of a number of cycles of that frequency.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numbers>
#include <unordered_map>

#include "base/cast.h"
#include "engine/core/tf.h"
#include "engine/core/internal/tf_detail.h"

namespace engine::tf {

namespace {

constexpr std::int64_t BLOCK = 64;
constexpr std::int64_t LANES = 8;

// table[j] = e^(i a j) for j < BLOCK: eight exact rows of eight, built from
// two phasors in double precision.
void phasor_table(double a, std::array<float, BLOCK>& re, std::array<float, BLOCK>& im) {
    std::array<std::complex<double>, LANES> base;
    const std::complex<double> step = std::polar(1.0, a);
    base[0] = 1.0;
    for (std::int64_t l = 1; l < LANES; ++l) base[l] = base[l - 1] * step;
    const std::complex<double> row_step = base[LANES - 1] * step;
    std::complex<double> row = 1.0;
    for (std::int64_t r = 0; r < BLOCK / LANES; ++r) {
        for (std::int64_t l = 0; l < LANES; ++l) {
            const std::complex<double> v = row * base[l];
            re[r * LANES + l] = static_cast<float>(v.real());
            im[r * LANES + l] = static_cast<float>(v.imag());
        }
        row *= row_step;
    }
}


// Sum of t[j] x[j] e^(i a j) over one block, t the taper (1 when not
// tapered), in vectors of four lanes. Tables hold BLOCK values; x holds cnt.
template <bool Tapered>
std::complex<float> block_sum(const float* x, std::int64_t cnt, const std::array<float, BLOCK>& pr,
                              const std::array<float, BLOCK>& pi, float br, float bi,
                              const std::array<float, BLOCK>& qr, const std::array<float, BLOCK>& qi) {
    V4 ar0{}, ai0{}, ar1{}, ai1{};
    const V4 half{0.5f, 0.5f, 0.5f, 0.5f};
    const V4 vbr{br, br, br, br};
    const V4 vbi{bi, bi, bi, bi};
    std::int64_t j = 0;
    for (; j + 8 <= cnt; j += 8) {
        V4 x0 = load4(x + j);
        V4 x1 = load4(x + j + 4);
        if constexpr (Tapered) {
            x0 *= half + half * (vbr * load4(qr.data() + j) - vbi * load4(qi.data() + j));
            x1 *= half + half * (vbr * load4(qr.data() + j + 4) - vbi * load4(qi.data() + j + 4));
        }
        ar0 += x0 * load4(pr.data() + j);
        ai0 += x0 * load4(pi.data() + j);
        ar1 += x1 * load4(pr.data() + j + 4);
        ai1 += x1 * load4(pi.data() + j + 4);
    }
    float sr = 0.0f, si = 0.0f;
    for (; j < cnt; ++j) {
        float xv = x[j];
        if constexpr (Tapered) xv *= 0.5f + 0.5f * (br * qr[j] - bi * qi[j]);
        sr += xv * pr[j];
        si += xv * pi[j];
    }
    const V4 r = ar0 + ar1;
    const V4 i = ai0 + ai1;
    return {sr + ((r[0] + r[1]) + (r[2] + r[3])), si + ((i[0] + i[1]) + (i[2] + i[3]))};
}

}  // namespace

namespace {

// What windowed_at needs besides the response itself, for one response
// length, rate, frequency and number of cycles: the window's extent, the
// tables of phasor steps inside a block, the rotations from one block to the
// next and the first phasors of the two runs.
struct WindowSteps {
    std::int64_t pre = 0;
    std::int64_t len = 0;
    std::int64_t len2 = 0;
    std::array<float, BLOCK> pr, pi, qr, qi;
    std::complex<double> block_rot, taper_rot;
    std::complex<double> anchor[2], taper[2];
};

WindowSteps window_steps(std::size_t n, float fs, float f, float c) {
    WindowSteps w;
    const std::int64_t nn = static_cast<std::int64_t>(n);
    const std::int64_t half = nn / 2;
    w.pre = base::saturating_cast<std::int64_t>(std::floor(fs * 0.001f));
    std::int64_t len = base::saturating_cast<std::int64_t>(std::floor(fs * c / f));
    len = std::min(len, half);
    w.len = std::max<std::int64_t>(len, 2);
    w.len2 = w.len / 2;
    const std::int64_t fade = w.len - w.len2;

    // The sum runs in blocks of 64 samples: each block's first phasor comes
    // from the previous one by one rotation in double precision, the samples
    // inside a block use a table of phasor steps. The half cosine of the
    // taper is handled the same way.
    const double wstep = TWO_PI * static_cast<double>(f) / static_cast<double>(fs);
    const double tstep = std::numbers::pi / static_cast<double>(fade);
    phasor_table(-wstep, w.pr, w.pi);
    phasor_table(tstep, w.qr, w.qi);
    w.block_rot = std::polar(1.0, -wstep * static_cast<double>(BLOCK));
    w.taper_rot = std::polar(1.0, tstep * static_cast<double>(BLOCK));
    const std::int64_t from[2] = {-w.pre, w.len2};
    for (int r = 0; r < 2; ++r) {
        w.anchor[r] = std::polar(1.0, -wstep * static_cast<double>(from[r]));
        w.taper[r] = std::polar(1.0, tstep * static_cast<double>(from[r] - w.len2));
    }
    return w;
}

// window_steps, kept per thread: the display asks for the same grid
// frequencies of the same layers at every refresh.
const WindowSteps& cached_window_steps(std::size_t n, float fs, float f, float c) {
    struct Key {
        std::size_t n;
        std::uint32_t fs, f, c;
        bool operator==(const Key&) const = default;
    };
    struct Hash {
        std::size_t operator()(const Key& k) const {
            std::uint64_t h = k.n * 0x9E3779B97F4A7C15ull;
            for (std::uint32_t v : {k.fs, k.f, k.c}) h = (h ^ v) * 0x100000001B3ull;
            return static_cast<std::size_t>(h ^ (h >> 29));
        }
    };
    thread_local std::unordered_map<Key, WindowSteps, Hash> cache;
    const Key key{n, std::bit_cast<std::uint32_t>(fs), std::bit_cast<std::uint32_t>(f), std::bit_cast<std::uint32_t>(c)};
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    if (cache.size() >= 4096) cache.clear();
    return cache.emplace(key, window_steps(n, fs, f, c)).first->second;
}

}  // namespace

Complex windowed_at(std::span<const float> ir, float fs, float f, float cycles) {
    const std::size_t n = ir.size();
    if (n == 0) return {};
    const std::int64_t nn = static_cast<std::int64_t>(n);
    const float c = std::isnan(cycles) ? 34.0f : std::fmin(cycles, 34.0f);
    const WindowSteps& w = cached_window_steps(n, fs, f, c);

    std::array<float, BLOCK> xb;
    std::complex<double> total = 0.0;
    auto run = [&](int r, std::int64_t from, std::int64_t to, bool tapered) {
        if (from >= to) return;
        std::complex<double> anchor = w.anchor[r];
        std::complex<double> taper = w.taper[r];
        std::int64_t idx = ((from % nn) + nn) % nn;
        for (std::int64_t k0 = from; k0 < to; k0 += BLOCK) {
            const std::int64_t cnt = std::min(BLOCK, to - k0);
            const float* x;
            if (idx + cnt <= nn) {
                x = ir.data() + idx;
                idx += cnt;
                if (idx == nn) idx = 0;
            } else {
                for (std::int64_t j = 0; j < cnt; ++j) {
                    xb[j] = ir[static_cast<std::size_t>(idx)];
                    if (++idx == nn) idx = 0;
                }
                x = xb.data();
            }
            const std::complex<float> part =
                tapered ? block_sum<true>(x, cnt, w.pr, w.pi, static_cast<float>(taper.real()),
                                          static_cast<float>(taper.imag()), w.qr, w.qi)
                        : block_sum<false>(x, cnt, w.pr, w.pi, 0.0f, 0.0f, w.qr, w.qi);
            total += anchor * std::complex<double>(part);
            anchor *= w.block_rot;
            taper *= w.taper_rot;
        }
    };
    run(0, -w.pre, w.len2, false);
    run(1, w.len2, w.len, true);
    return Complex(total);
}

}  // namespace engine::tf
