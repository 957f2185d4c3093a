#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <complex>
#include <numbers>
#include <ostream>
#include <random>
#include <span>
#include <thread>
#include <vector>

#include "base/tests/support.h"
#include "engine/core/tf.h"

namespace tf = engine::tf;

namespace engine::tf {
inline std::ostream& operator<<(std::ostream& os, const Arrival& a) { return os << "(" << a.ms << " ms, " << a.db << " dB)"; }
}  // namespace engine::tf
using tf::Complex;

TEST(Grid, EndsAndSpacing) {
    const auto& f = tf::point_freq();
    EXPECT_EQ(f[0], 20.0f);
    EXPECT_EQ(f[239], 20000.0f);
    EXPECT_EQ(f[1], 20.0f * std::pow(1000.0f, 1.0f / 239.0f));
    EXPECT_EQ(&tf::point_freq(), &f);  // one shared table
    EXPECT_EQ(tf::band_lo(0), 20.0f);
    EXPECT_EQ(tf::band_hi(239), 20000.0f);
    EXPECT_FLOAT_EQ(tf::band_hi(0), std::sqrt(f[0] * f[1]));
    EXPECT_FLOAT_EQ(tf::band_lo(100), std::sqrt(f[99] * f[100]));
    // A full band's relative width.
    EXPECT_NEAR((tf::band_hi(120) - tf::band_lo(120)) / f[120], tf::BAND_WIDTH, 1e-6f);
    EXPECT_NEAR(tf::grid_position(20.0f), 0.0f, 1e-6f);
    EXPECT_NEAR(tf::grid_position(20000.0f), 239.0f, 1e-3f);
    EXPECT_NEAR(tf::grid_position(f[57]), 57.0f, 1e-3f);
}

TEST(Grid, ConcurrentFirstUseSeesOneTable) {
    std::vector<const tf::Grid*> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = &tf::point_freq(); });
    for (auto& t : threads) t.join();
    for (auto* p : seen) EXPECT_EQ(p, seen[0]);
}

TEST(PointsOf, MagnitudePhaseAndLength) {
    struct Case { tf::Triple in; float db; float deg; };
    const Case cases[] = {
        {{0.0f, 0.0f, 0.3f}, -180.0f, 0.0f},
        {{0.0f, 1.0f, 0.3f}, 0.0f, 90.0f},
        {{-1.0f, 0.0f, 0.3f}, 0.0f, 180.0f},
        {{2.0f, 0.0f, 0.3f}, 20.0f * std::log10(2.0f), 0.0f},
        {{std::nanf(""), 0.0f, 0.3f}, -180.0f, std::nanf("")},
    };
    for (const auto& c : cases) {
        auto pts = tf::points_of(std::span(&c.in, 1));
        ASSERT_EQ(pts.size(), 1u);
        EXPECT_EQ(pts[0].hz, 20.0f);
        EXPECT_FLOAT_EQ(pts[0].db, c.db);
        if (std::isnan(c.deg)) {
            EXPECT_TRUE(std::isnan(pts[0].deg));
        } else {
            EXPECT_FLOAT_EQ(pts[0].deg, c.deg);
        }
        EXPECT_EQ(pts[0].conf, 0.3f);
    }
    std::vector<tf::Triple> five(5, {1.0f, 0.0f, 1.0f});
    auto pts = tf::points_of(five);
    ASSERT_EQ(pts.size(), 5u);
    EXPECT_EQ(pts[4].hz, tf::point_freq()[4]);
    std::vector<tf::Triple> many(300, {1.0f, 0.0f, 1.0f});
    EXPECT_EQ(tf::points_of(many).size(), 240u);
}

TEST(BandPowers, FractionsEdgesAndConstantDensity) {
    const std::size_t n = 32768;
    const float fs = 48000.0f;
    const float df = fs / n;
    std::vector<float> ones(n / 2, 1.0f);
    auto b = tf::band_powers(n, ones, fs);
    ASSERT_EQ(b.size(), 240u);
    // The first band lies inside bin 14.
    EXPECT_NEAR(b[0], (tf::band_hi(0) - 20.0f) / df, 1e-5f);
    EXPECT_LT(b[0], 0.2f);
    EXPECT_GT(b[0], 0.19f);
    for (std::size_t i = 0; i < 240; ++i)
        EXPECT_NEAR(b[i], (tf::band_hi(i) - tf::band_lo(i)) / df, 1e-3f * b[i] + 1e-5f) << i;

    // Above the last used bin every band is 0.
    const std::size_t n8 = 1024;
    std::vector<float> p8(n8 / 2, 1.0f);
    auto b8 = tf::band_powers(n8, p8, 8000.0f);
    const float top_edge = (n8 / 2 - 0.5f) * 8000.0f / n8;
    for (std::size_t i = 0; i < 240; ++i) {
        if (tf::band_lo(i) >= top_edge) {
            EXPECT_EQ(b8[i], 0.0f) << i;
        }
        if (tf::point_freq()[i] > 4000.0f) {
            EXPECT_EQ(b8[i], 0.0f) << i;
        }
    }
}

namespace {

std::vector<Complex> naive_dft(const std::vector<Complex>& x, int sign) {
    const std::size_t n = x.size();
    std::vector<Complex> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<double> acc = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const double a = sign * 2.0 * std::numbers::pi * static_cast<double>((k * j) % n) / static_cast<double>(n);
            acc += std::complex<double>(x[j]) * std::polar(1.0, a);
        }
        out[k] = Complex(acc);
    }
    return out;
}

}  // namespace

TEST(Fft, AnySizeMatchesNaiveDftUnnormalised) {
    std::mt19937 rng(7);
    std::normal_distribution<float> nd;
    for (std::size_t n : {1u, 2u, 3u, 5u, 12u, 17u, 100u, 240u, 1000u, 1009u}) {
        std::vector<Complex> x(n);
        for (auto& v : x) v = Complex(nd(rng), nd(rng));
        auto want_f = naive_dft(x, -1);
        auto want_i = naive_dft(x, +1);
        std::vector<Complex> f = x, i = x;
        tf::fft_forward(f);
        tf::fft_inverse(i);
        for (std::size_t k = 0; k < n; ++k) {
            const float tol = 1e-4f * std::sqrt(static_cast<float>(n)) * 4.0f;
            EXPECT_NEAR(f[k].real(), want_f[k].real(), tol) << n << " " << k;
            EXPECT_NEAR(f[k].imag(), want_f[k].imag(), tol) << n << " " << k;
            EXPECT_NEAR(i[k].real(), want_i[k].real(), tol) << n << " " << k;
            EXPECT_NEAR(i[k].imag(), want_i[k].imag(), tol) << n << " " << k;
        }
    }
}

TEST(Fft, PlansAreCachedPerThreadAndWorkOnUnalignedBuffers) {
    auto a = tf::plan::PLANNER.plan_fft_forward(48);
    auto b = tf::plan::forward(48);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, tf::plan::inverse(48));
    tf::plan::FftHandle other;
    std::thread([&] { other = tf::plan::forward(48); }).join();
    EXPECT_NE(other, a);

    // A buffer starting at an odd float offset, transformed forward then back.
    std::vector<float> raw(2 * 64 + 2);
    auto* p = reinterpret_cast<Complex*>(raw.data() + 1);
    std::span<Complex> buf(p, 64);
    for (std::size_t k = 0; k < 64; ++k) buf[k] = Complex(static_cast<float>(k), -1.0f);
    tf::plan::forward(64)->process(buf);
    EXPECT_NEAR(buf[0].real(), 63.0f * 64.0f / 2.0f, 1e-2f);
    tf::plan::inverse(64)->process(buf);
    for (std::size_t k = 0; k < 64; ++k) {
        EXPECT_NEAR(buf[k].real(), 64.0f * k, 1e-2f);
        EXPECT_NEAR(buf[k].imag(), -64.0f, 1e-2f);
    }
    // Out of place leaves the input alone.
    std::vector<Complex> in(8, Complex(1.0f, 0.0f)), out(8);
    tf::plan::forward(8)->process(in, out);
    EXPECT_EQ(in[0], Complex(1.0f, 0.0f));
    EXPECT_NEAR(out[0].real(), 8.0f, 1e-6f);
    EXPECT_NEAR(std::abs(out[3]), 0.0f, 1e-6f);
}

TEST(Fft, RealTransformsMatchComplexOnesOnUnalignedBuffers) {
    std::mt19937 rng(5);
    std::normal_distribution<float> nd;
    for (std::size_t n : {2u, 7u, 64u, 100u, 1025u}) {
        const std::size_t bins = n / 2 + 1;
        // Input and output one float past the allocator's alignment.
        std::vector<float> raw_in(n + 1), raw_out(2 * bins + 2);
        std::span<float> in(raw_in.data() + 1, n);
        std::span<Complex> out(reinterpret_cast<Complex*>(raw_out.data() + 1), bins);
        std::vector<Complex> full(n);
        for (std::size_t k = 0; k < n; ++k) {
            in[k] = nd(rng);
            full[k] = Complex(in[k], 0.0f);
        }
        const std::vector<float> kept(in.begin(), in.end());
        tf::plan::real_forward(n)->process(in, out);
        tf::fft_forward(full);
        const float tol = 1e-5f * static_cast<float>(n);
        for (std::size_t k = 0; k < bins; ++k) {
            EXPECT_NEAR(out[k].real(), full[k].real(), tol) << n << " " << k;
            EXPECT_NEAR(out[k].imag(), full[k].imag(), tol) << n << " " << k;
        }
        EXPECT_EQ(std::vector<float>(in.begin(), in.end()), kept);  // the input is kept
        // Back: n times the samples.
        std::vector<float> back(n);
        tf::plan::real_inverse(n)->process(out, back);
        for (std::size_t k = 0; k < n; ++k) EXPECT_NEAR(back[k], kept[k] * static_cast<float>(n), tol) << n << " " << k;
    }
}

namespace {

// Bin k of the DFT of x in double precision (sign -1 forward, +1 inverse):
// the twiddle stepped by multiplication and set afresh every 256 steps.
std::complex<double> dft_bin(std::span<const Complex> x, std::size_t k, int sign) {
    const std::size_t n = x.size();
    auto root = [&](std::size_t j) {
        const double a = sign * 2.0 * std::numbers::pi * static_cast<double>((k * j) % n) / static_cast<double>(n);
        return std::polar(1.0, a);
    };
    const std::complex<double> step = root(1);
    std::complex<double> acc = 0.0;
    std::complex<double> w = 1.0;
    for (std::size_t j = 0; j < n; ++j) {
        if (j % 256 == 0) w = root(j);
        acc += std::complex<double>(x[j]) * w;
        w *= step;
    }
    return acc;
}

}  // namespace

TEST(Fft, SizesWithLargePrimeFactorsMatchTheDft) {
    // Small primes, primes just below and above the largest factor the
    // library's own transform keeps, a larger prime (its j^2 passes 2^32),
    // and primes times powers of two (by chirp or by the library).
    struct Case {
        std::size_t n;
        std::size_t checked;  // bins compared with the DFT, spread over 0..n-1
    };
    const Case cases[] = {{4093, 300},     {32749, 100},     {32771, 100},  {65537, 50},
                          {65537 * 4, 12}, {65537 * 16, 6},  {1000003, 8},  {1000003 * 2, 6}};
    std::mt19937 rng(11);
    std::normal_distribution<float> nd;
    for (const Case& c : cases) {
        const std::size_t n = c.n;
        std::vector<Complex> x(n);
        std::vector<float> xr(n);
        double energy = 0.0, energy_r = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            x[j] = Complex(nd(rng), nd(rng));
            xr[j] = x[j].real();
            energy += std::norm(std::complex<double>(x[j]));
            energy_r += static_cast<double>(xr[j]) * xr[j];
        }
        // Float rounding in transforms of up to 2^24 points: a bin's error is
        // a few float epsilons times log2 of the size times the input's norm.
        const double tol = 2e-6 * std::sqrt(energy);
        const double tol_r = 2e-6 * std::sqrt(energy_r);
        std::vector<Complex> f(n), i(n), fr(n / 2 + 1);
        tf::plan::forward(n)->process(x, f);
        tf::plan::inverse(n)->process(x, i);
        tf::plan::real_forward(n)->process(xr, fr);
        const std::vector<Complex> xr_c(xr.begin(), xr.end());
        for (std::size_t b = 0; b < c.checked; ++b) {
            const std::size_t k = c.checked == n ? b : (b * (n - 1)) / (c.checked - 1);
            EXPECT_LE(std::abs(std::complex<double>(f[k]) - dft_bin(x, k, -1)), tol) << n << " forward bin " << k;
            EXPECT_LE(std::abs(std::complex<double>(i[k]) - dft_bin(x, k, +1)), tol) << n << " inverse bin " << k;
            if (k <= n / 2) {
                EXPECT_LE(std::abs(std::complex<double>(fr[k]) - dft_bin(xr_c, k, -1)), tol_r) << n << " real bin " << k;
            }
        }
        // Round trips: inverse(forward(x)) = n x, for complex and real data.
        tf::plan::inverse(n)->process(f);
        std::vector<float> back(n);
        tf::plan::real_inverse(n)->process(fr, back);
        double err = 0.0, err_r = 0.0;
        const double nf = static_cast<double>(n);
        for (std::size_t j = 0; j < n; ++j) {
            err = std::max(err, std::abs(std::complex<double>(f[j]) / nf - std::complex<double>(x[j])));
            err_r = std::max(err_r, std::abs(static_cast<double>(back[j]) / nf - xr[j]));
        }
        EXPECT_LE(err, 1e-5) << n;
        EXPECT_LE(err_r, 1e-5) << n;
    }
}

TEST(Fft, PartsOfATransformMatchTheDft) {
    // A window of bins (also one wrapping past n - 1) of the transform of n
    // values given only at the start, complex both ways, and the first bins
    // of real samples: by chirp for the prime, by the library for 4096.
    using tf::plan::Direction;
    struct Case {
        std::size_t n, given, first, count;
    };
    const Case cases[] = {
        {65537, 32769, 65537 - 96, 32768 + 96},  // wraps: the samples an envelope reads
        {65537, 65537, 1000, 20000},             // a whole input
        {65537, 40000, 5, 65537},                // every bin: no shorter than the whole transform
        {65537, 1, 0, 3},
        {4096, 2049, 4096 - 10, 2058},
    };
    std::mt19937 rng(13);
    std::normal_distribution<float> nd;
    auto check = [](std::span<const Complex> got, std::span<const Complex> x, std::size_t first, int sign, double tol,
                    const std::string& what) {
        const std::size_t n = x.size();
        // About 40 bins spread over the window, its last and those around n - 1.
        std::vector<std::size_t> at{got.size() - 1};
        for (std::size_t i = 0; i < got.size(); i += std::max<std::size_t>(1, got.size() / 40)) at.push_back(i);
        if (first + got.size() > n) at.insert(at.end(), {n - first - 1, n - first});
        for (const std::size_t i : at) {
            const std::size_t k = (first + i) % n;
            EXPECT_LE(std::abs(std::complex<double>(got[i]) - dft_bin(x, k, sign)), tol) << what << " bin " << k;
        }
    };
    for (const Case& c : cases) {
        std::vector<Complex> x(c.n);
        double energy = 0.0;
        for (std::size_t j = 0; j < c.given; ++j) {
            x[j] = Complex(nd(rng), nd(rng));
            energy += std::norm(std::complex<double>(x[j]));
        }
        const double tol = 2e-6 * std::sqrt(energy);
        for (const Direction dir : {Direction::Forward, Direction::Inverse}) {
            const auto fft = tf::plan::PLANNER.plan(c.n, dir);
            EXPECT_EQ(fft->by_chirp(), c.n == 65537);
            const std::span<const Complex> in(x.data(), c.given);
            std::vector<Complex> out(c.count);
            fft->process_part(in, c.first, out);
            const std::string what = std::to_string(c.n) + (dir == Direction::Forward ? " forward" : " inverse");
            check(out, x, c.first, dir == Direction::Forward ? -1 : 1, tol, what);
            // In place: the bins over the values they come from.
            std::vector<Complex> same(std::max(c.given, c.count));
            std::copy(in.begin(), in.end(), same.begin());
            fft->process_part(std::span<const Complex>(same).first(c.given), c.first, std::span<Complex>(same).first(c.count));
            EXPECT_EQ(std::vector<Complex>(same.begin(), same.begin() + static_cast<std::ptrdiff_t>(c.count)), out) << what;
        }
    }
    // Real samples: all of them, or only those of a run that wraps past
    // n - 1 (the others zero), or none.
    for (const std::size_t n : {65537u, 4096u}) {
        struct Taken {
            std::size_t from, count;
        };
        for (const Taken t : {Taken{0, n}, Taken{n - 50, n / 2 + 50}, Taken{7, 0}}) {
            std::vector<float> xr(n, 0.0f);
            std::vector<Complex> xc(n);
            double energy = 0.0;
            for (std::size_t i = 0; i < t.count; ++i) {
                const std::size_t j = (t.from + i) % n;
                xr[j] = nd(rng);
                xc[j] = Complex(xr[j], 0.0f);
                energy += static_cast<double>(xr[j]) * xr[j];
            }
            for (const std::size_t count : {n / 2 + 1, std::size_t{100}}) {
                std::vector<Complex> out(count, Complex(1.0f, 1.0f));
                tf::plan::real_forward(n)->process_part(xr, t.from, t.count, out);
                check(out, xc, 0, -1, 2e-6 * std::sqrt(energy) + 1e-6,
                      std::to_string(n) + " real from " + std::to_string(t.from));
            }
        }
    }
}

TEST(Fft, ThreadsShareOneLargePrimeSizeAndGetTheSameResult) {
    const std::size_t n = 65537;
    std::vector<float> x(n);
    for (std::size_t j = 0; j < n; ++j) x[j] = std::sin(0.001f * static_cast<float>(j * j % 7919));
    auto run = [&] {
        std::vector<Complex> out(n / 2 + 1);
        tf::plan::real_forward(n)->process(x, out);
        return out;
    };
    const auto here = run();
    std::vector<Complex> a, b;
    std::thread ta([&] { a = run(); });
    std::thread tb([&] { b = run(); });
    ta.join();
    tb.join();
    EXPECT_EQ(a, here);
    EXPECT_EQ(b, here);
}

TEST(Fft, LearntPlansAreMeasuredAndKeptAsWisdom) {
    using tf::plan::Direction;
    const auto dir = test_support::scratch("tf", "wisdom");
    const auto path = dir / "fftw-wisdom";
    const std::vector<std::pair<std::size_t, Direction>> keys{{96, Direction::RealForward}, {96, Direction::Inverse}};
    ASSERT_EQ(tf::plan::unmeasured(keys).size(), 2u);
    auto estimated = tf::plan::real_forward(96);
    EXPECT_FALSE(estimated->measured());

    std::atomic<bool> stop{true};
    EXPECT_EQ(tf::plan::learn(keys, path, stop), 0u);  // stopped before the first plan
    EXPECT_FALSE(std::filesystem::exists(path));
    stop = false;
    EXPECT_EQ(tf::plan::learn(keys, path, stop), 2u);
    EXPECT_TRUE(tf::plan::unmeasured(keys).empty());
    EXPECT_NE(test_support::slurp(path).find("fftw"), std::string::npos);
    EXPECT_EQ(tf::plan::learn(keys, path, stop), 0u);  // nothing left to measure

    // The cache keeps the estimated plan until told to drop it.
    EXPECT_EQ(tf::plan::real_forward(96), estimated);
    tf::plan::PLANNER.drop_estimated();
    auto measured = tf::plan::real_forward(96);
    EXPECT_TRUE(measured->measured());
    std::vector<float> in(96, 1.0f);
    std::vector<Complex> out(49);
    measured->process(in, out);
    EXPECT_NEAR(out[0].real(), 96.0f, 1e-4f);
    EXPECT_NEAR(std::abs(out[5]), 0.0f, 1e-4f);
}

// ---------------------------------------------------------------- layers

TEST(TransferFunction, NewLayerAndReset) {
    tf::TransferFunction l(1024, 8, 48000.0f);
    EXPECT_EQ(l.n, 1024u);
    EXPECT_EQ(l.hop, 512u);
    EXPECT_EQ(l.window.size(), 1024u);
    EXPECT_EQ(l.window[0], 0.0f);
    EXPECT_FLOAT_EQ(l.window[512], 1.0f);
    EXPECT_FLOAT_EQ(l.window[256], 0.5f);
    EXPECT_EQ(l.sxx.size(), 512u);
    EXPECT_EQ(l.sxy.size(), 512u);
    EXPECT_EQ(l.mic_spec.size(), 513u);
    EXPECT_EQ(l.floor, 1e-12f);
    ASSERT_TRUE(l.fft);
    EXPECT_EQ(l.fft->len(), 1024u);
    EXPECT_EQ(l.fft, tf::plan::real_forward(1024));

    l.sxx[3] = 5.0f;
    l.count = 9;
    l.w = 0.2f;
    l.clean.push_back({});
    l.off_direct = true;
    l.mic_queue.push_back(1.0f);
    l.reset(77);
    EXPECT_EQ(l.delay, 77u);
    EXPECT_EQ(l.skip, 77u);
    EXPECT_EQ(l.sxx[3], 0.0f);
    EXPECT_EQ(l.count, 0u);
    EXPECT_EQ(l.w, 0.0f);
    EXPECT_TRUE(l.clean.empty());
    EXPECT_TRUE(l.mic_queue.empty());
    EXPECT_FALSE(l.off_direct);
    EXPECT_EQ(l.hop, 512u);
}

TEST(TransferFunction, BinGatesAndBiasCorrectedCoherence) {
    tf::TransferFunction l(16, 10, 48000.0f);
    l.floor = 1e-6f;
    // (sxx, syy, |sxy|^2 / (sxx syy) raw coherence, w) -> coherence
    struct Case { float sx, sy, raw, w, coh; bool zero_h; };
    const Case cases[] = {
        {1.0f, 1e-12f, 1.0f, 0.1f, 0.0f, true},      // syy too small
        {1e-6f, 1.0f, 1.0f, 0.1f, 0.0f, true},       // sxx at the floor
        {1.0f, 1.0f, 1.0f, 0.0f, 0.0f, false},       // w = 0
        {1.0f, 1.0f, 1.0f, 1.0f, 0.0f, false},       // one frame
        {1.0f, 1.0f, 0.1f, 0.1f, 0.0f, false},       // N = 10, raw 1/N
        {1.0f, 1.0f, 1.0f, 0.1f, 1.0f, false},
        {2.0f, 4.0f, 0.55f, 0.1f, 0.5f, false},
    };
    for (const auto& c : cases) {
        l.sxx[2] = c.sx;
        l.syy[2] = c.sy;
        l.sxy[2] = Complex(std::sqrt(c.raw * c.sx * c.sy), 0.0f);
        l.w = c.w;
        auto [h, coh] = l.bin(2);
        EXPECT_NEAR(coh, c.coh, 1e-5f) << c.sx << " " << c.sy << " " << c.raw << " " << c.w;
        if (c.zero_h) {
            EXPECT_EQ(h, Complex{});
        } else {
            EXPECT_NEAR(std::abs(h - l.sxy[2] / c.sx), 0.0f, 1e-6f);
        }
    }
    l.clean = {Complex{}, Complex{}, Complex(3.0f, 4.0f)};
    EXPECT_EQ(l.bin(2).first, Complex(3.0f, 4.0f));
}

TEST(Accumulator, BinMeanPhaseRmsMagnitudeAndConfidence) {
    tf::Accumulator a(8, 48000.0f, 0.7f, 4);
    EXPECT_EQ(a.full_weight, 8.0f);
    EXPECT_EQ(a.bin(0), std::make_pair(Complex{}, 0.0f));
    // Two terms of weight 1: H = 1 and H = -1 cancel; RMS magnitude 1.
    a.sxy[1] = Complex(0.0f, 0.0f);
    a.power[1] = 2.0f;
    a.weight[1] = 2.0f;
    auto [h1, c1] = a.bin(1);
    EXPECT_EQ(h1, Complex(1.0f, 0.0f));
    EXPECT_FLOAT_EQ(c1, 0.25f);
    // Phase of the mean, size of the RMS, confidence capped at 1.
    a.sxy[2] = Complex(0.0f, 24.0f);
    a.power[2] = 24.0f * 4.0f;
    a.weight[2] = 24.0f;
    auto [h2, c2] = a.bin(2);
    EXPECT_NEAR(h2.real(), 0.0f, 1e-6f);
    EXPECT_NEAR(h2.imag(), 2.0f, 1e-6f);
    EXPECT_EQ(c2, 1.0f);
    a.sxy[3] = Complex(-3.0f, 1.5f);
    a.power[3] = 7.0f;
    a.weight[3] = 3.0f;
    // All bins at once: the same values as one by one.
    std::vector<tf::Triple> all(4);
    a.bins(all);
    for (std::size_t k = 0; k < 4; ++k) {
        const auto [h, c] = a.bin(k);
        EXPECT_EQ(all[k], (tf::Triple{h.real(), h.imag(), c})) << k;
    }
    a.shift = 5;
    a.clear();
    EXPECT_EQ(a.weight[2], 0.0f);
    EXPECT_EQ(a.shift, 0);
}

namespace {

// The windowed value computed directly from its definition, in double.
std::complex<double> windowed_naive(const std::vector<float>& ir, double fs, double f, double cycles) {
    const long n = static_cast<long>(ir.size());
    const long half = n / 2;
    const long pre = static_cast<long>(std::floor(fs * 0.001));
    const double c = std::isnan(cycles) ? 34.0 : std::min(cycles, 34.0);
    long len = static_cast<long>(std::floor(static_cast<float>(fs) * static_cast<float>(c) / static_cast<float>(f)));
    len = std::clamp(len, 2L, half);
    const long l2 = len / 2;
    std::complex<double> sum = 0.0;
    for (long k = -pre; k < len; ++k) {
        const double t = k < l2 ? 1.0 : 0.5 + 0.5 * std::cos(std::numbers::pi * (k - l2) / (len - l2));
        const double x = ir[((k % n) + n) % n];
        sum += t * x * std::polar(1.0, -2.0 * std::numbers::pi * f * k / fs);
    }
    return sum;
}

}  // namespace

TEST(WindowedAt, MatchesDefinitionAndWindowLimits) {
    const float fs = 48000.0f;
    std::vector<float> impulse(4096, 0.0f);
    impulse[0] = 1.0f;
    for (float f : {20.0f, 1000.0f, 19999.0f}) {
        for (float cyc : {0.0f, 3.0f, 34.0f}) {
            const Complex v = tf::windowed_at(impulse, fs, f, cyc);
            EXPECT_NEAR(v.real(), 1.0f, 1e-6f);
            EXPECT_NEAR(v.imag(), 0.0f, 1e-6f);
        }
    }
    // Cycles 0, negative or NaN-free tiny values: a window of 2 samples plus 1 ms before zero.
    auto at = [&](std::size_t idx, float f, float cyc) {
        std::vector<float> ir(4096, 0.0f);
        ir[idx] = 1.0f;
        return std::abs(tf::windowed_at(ir, fs, f, cyc));
    };
    EXPECT_NEAR(at(1, 1000.0f, 0.0f), 1.0f, 1e-6f);
    EXPECT_NEAR(at(2, 1000.0f, 0.0f), 0.0f, 1e-6f);
    EXPECT_NEAR(at(2, 1000.0f, -5.0f), 0.0f, 1e-6f);
    EXPECT_NEAR(at(4096 - 48, 1000.0f, 0.0f), 1.0f, 1e-6f);
    EXPECT_NEAR(at(4096 - 49, 1000.0f, 0.0f), 0.0f, 1e-6f);
    // Never beyond half the response, whatever the cycles.
    EXPECT_NEAR(at(2047, 20.0f, 34.0f), 0.0f, 1e-3f);
    EXPECT_NEAR(at(2048, 20.0f, 34.0f), 0.0f, 1e-6f);
    // 100 cycles count as 34; NaN too.
    std::mt19937 rng(3);
    std::normal_distribution<float> nd;
    std::vector<float> ir(32768);
    for (auto& v : ir) v = nd(rng);
    const Complex c34 = tf::windowed_at(ir, fs, 500.0f, 34.0f);
    EXPECT_EQ(tf::windowed_at(ir, fs, 500.0f, 100.0f), c34);
    EXPECT_EQ(tf::windowed_at(ir, fs, 500.0f, std::nanf("")), c34);
    for (float f : {20.0f, 97.0f, 1000.0f, 7777.0f, 20000.0f}) {
        for (float cyc : {0.0f, 1.5f, 6.0f, 34.0f}) {
            const auto want = windowed_naive(ir, fs, f, cyc);
            const Complex got = tf::windowed_at(ir, fs, f, cyc);
            const double tol = 1e-5 * std::sqrt(16384.0) * 4.0 + 1e-4 * std::abs(want);
            EXPECT_NEAR(got.real(), want.real(), tol) << f << " " << cyc;
            EXPECT_NEAR(got.imag(), want.imag(), tol) << f << " " << cyc;
        }
    }
}

namespace {

std::vector<tf::Triple> constant(float re, float conf) { return std::vector<tf::Triple>(240, {re, 0.0f, conf}); }

// Frequency where the merged value crosses 0.5 going up.
float crossing(const std::vector<tf::Triple>& merged, std::size_t from) {
    const auto& f = tf::point_freq();
    for (std::size_t i = from; i + 1 < 240; ++i) {
        if (merged[i].re < 0.5f && merged[i + 1].re >= 0.5f) {
            const float t = (0.5f - merged[i].re) / (merged[i + 1].re - merged[i].re);
            return f[i] * std::pow(f[i + 1] / f[i], t);
        }
    }
    return 0.0f;
}

}  // namespace

TEST(MergeCal, FourLayerCrossfadesAt48k) {
    const std::vector<std::vector<tf::Triple>> layers{constant(0.0f, 0.0f), constant(1.0f, 1.0f),
                                                      constant(2.0f, 2.0f), constant(3.0f, 3.0f)};
    const auto m = tf::merge_cal(layers, {}, 48000.0f);
    ASSERT_EQ(m.size(), 240u);
    for (std::size_t i = 0; i <= 76; ++i) EXPECT_EQ(m[i].re, 0.0f) << i;
    EXPECT_GT(m[80].re, 0.4f);
    EXPECT_LT(m[80].re, 0.5f);
    EXPECT_EQ(m[80].conf, m[80].re);
    for (std::size_t i = 85; i <= 124; ++i) EXPECT_EQ(m[i].re, 1.0f) << i;
    EXPECT_EQ(m[239].re, 3.0f);
}

TEST(MergeCal, CrossoverFrequenciesPerRate) {
    struct Case { float fs; float fc[3]; };
    const Case cases[] = {
        {44100.0f, {186.0f, 745.0f, 2980.0f}},
        {48000.0f, {203.0f, 811.0f, 3240.0f}},
        {96000.0f, {203.0f, 811.0f, 3240.0f}},
    };
    for (const auto& c : cases) {
        for (std::size_t k = 1; k <= 3; ++k) {
            // Layer k steps from 0 to 1; every other layer holds the value of its neighbour below.
            std::vector<std::vector<tf::Triple>> layers;
            for (std::size_t l = 0; l <= k; ++l) layers.push_back(constant(l < k ? 0.0f : 1.0f, 1.0f));
            const float fc = crossing(tf::merge_cal(layers, {}, c.fs), 0);
            EXPECT_NEAR(fc / c.fc[k - 1], 1.0f, 0.01f) << c.fs << " layer " << k;
        }
    }
}

TEST(MergeCal, CalibrationAndAnyLayerCount) {
    std::vector<std::vector<tf::Triple>> one{std::vector<tf::Triple>(240, {0.6f, -0.8f, 0.9f})};
    std::vector<float> cal(100, 0.0f);
    cal[10] = 20.0f * std::log10(2.0f);
    const auto m = tf::merge_cal(one, cal, 48000.0f);
    EXPECT_NEAR(m[10].re, 0.3f, 1e-6f);
    EXPECT_NEAR(m[10].im, -0.4f, 1e-6f);
    EXPECT_EQ(m[10].conf, 0.9f);
    EXPECT_EQ(m[11].re, 0.6f);
    EXPECT_EQ(m[200].re, 0.6f);  // past the end of a short calibration

    // More layers than the layer set has crossovers: the extra ones take no part.
    std::vector<std::vector<tf::Triple>> six;
    for (int l = 0; l < 6; ++l) six.push_back(constant(static_cast<float>(l), 1.0f));
    std::vector<std::vector<tf::Triple>> four(six.begin(), six.begin() + 4);
    EXPECT_EQ(tf::merge_cal(six, {}, 48000.0f), tf::merge_cal(four, {}, 48000.0f));
    // Short layers and no layers at all read as zeros.
    std::vector<std::vector<tf::Triple>> short_layer{std::vector<tf::Triple>(3, {1.0f, 0.0f, 1.0f})};
    const auto s = tf::merge_cal(short_layer, {}, 48000.0f);
    EXPECT_EQ(s[2].re, 1.0f);
    EXPECT_EQ(s[3].re, 0.0f);
    EXPECT_EQ(tf::merge_cal({}, {}, 48000.0f), std::vector<tf::Triple>(240));
}

// ---------------------------------------------------------------- delay and impulse response

namespace {

using test_support::noise;

// mic[t] = sum of gain x ref[t - lag].
std::vector<float> echo(const std::vector<float>& ref, std::initializer_list<std::pair<std::size_t, float>> taps) {
    std::vector<float> out(ref.size(), 0.0f);
    for (auto [lag, gain] : taps)
        for (std::size_t t = lag; t < ref.size(); ++t) out[t] += gain * ref[t - lag];
    return out;
}

}  // namespace

TEST(FindDelay, WhiteNoiseDelayedAndReflections) {
    const auto ref = noise(48000, 11);
    const auto r = tf::find_delay(echo(ref, {{100, 1.0f}}), ref, 48000.0f);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->delay, 100u);
    EXPECT_GT(r->confidence, 60.0f);

    struct Case { float direct; std::size_t want; };
    for (const Case c : {Case{0.8f, 100}, Case{0.6f, 300}}) {
        const auto got = tf::find_delay(echo(ref, {{100, c.direct}, {300, 1.0f}}), ref, 48000.0f);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->delay, c.want) << c.direct;
        EXPECT_GT(got->confidence, 6.0f);
    }
}

TEST(FindDelay, NothingFromTinySilentOrLeadingBlocks) {
    const std::vector<float> two{1.0f, 0.5f};
    EXPECT_FALSE(tf::find_delay(two, two, 48000.0f));
    EXPECT_FALSE(tf::find_delay({}, {}, 48000.0f));
    const std::vector<float> silent(4800, 0.0f);
    EXPECT_FALSE(tf::find_delay(silent, silent, 48000.0f));
    EXPECT_FALSE(tf::find_delay(noise(4800, 1), silent, 48000.0f));
    // Microphone ahead of the reference: that lag is outside the search.
    const auto ref = noise(24000, 5);
    const auto mic = echo(ref, {{0, 0.0f}});
    std::vector<float> lead(ref.size(), 0.0f);
    for (std::size_t t = 0; t + 100 < ref.size(); ++t) lead[t] = ref[t + 100];
    const auto got = tf::find_delay(lead, ref, 48000.0f);
    if (got) {
        EXPECT_LT(got->confidence, 6.0f);
    }
}

namespace {

std::vector<Complex> delay_response(float tau) {
    std::vector<Complex> h(240);
    for (std::size_t i = 0; i < 240; ++i)
        h[i] = Complex(std::polar(1.0, -2.0 * std::numbers::pi * tf::point_freq()[i] * static_cast<double>(tau)));
    return h;
}

}  // namespace

TEST(BulkDelay, FindsThePhaseSlope) {
    EXPECT_NEAR(tf::bulk_delay(delay_response(0.012f)), 0.012f, 1e-6f);
    EXPECT_NEAR(tf::bulk_delay(delay_response(-0.0031f)), -0.0031f, 1e-6f);
    EXPECT_NEAR(tf::bulk_delay(delay_response(0.0f)), 0.0f, 1e-6f);
    EXPECT_EQ(tf::bulk_delay(std::vector<Complex>(240)), 0.0f);
    std::vector<Complex> nan(240, Complex(std::nanf(""), 0.0f));
    EXPECT_EQ(tf::bulk_delay(nan), 0.0f);
}

TEST(ConfidentEnvelope, MaskingAndHilbertEnvelope) {
    const std::size_t n = 4096;
    std::vector<float> ir(n);
    // A 1 kHz tone at 48 kHz whose period divides n: its envelope is flat 1.
    for (std::size_t k = 0; k < n; ++k) ir[k] = std::cos(2.0f * std::numbers::pi_v<float> * 64.0f * k / n);
    EXPECT_EQ(tf::confident_envelope(ir, std::vector<float>(239, 1.0f), 48000.0f), ir);
    EXPECT_TRUE(tf::confident_envelope({}, std::vector<float>(240, 1.0f), 48000.0f).empty());
    for (float v : tf::confident_envelope(ir, std::vector<float>(240, 0.2f), 48000.0f)) EXPECT_EQ(v, 0.0f);
    for (float v : tf::confident_envelope(ir, std::vector<float>(240, 0.5f), 48000.0f)) EXPECT_NEAR(v, 1.0f, 1e-4f);
    // Half-confident: 0.35 keeps half the amplitude.
    for (float v : tf::confident_envelope(ir, std::vector<float>(240, 0.35f), 48000.0f)) EXPECT_NEAR(v, 0.5f, 1e-4f);
}

TEST(ConfidentEnvelope, ALargePrimeSizeDrawsAsAPowerOfTwoDoes) {
    // The same arrivals in a response of a prime length (its envelope by
    // chirp, from only the bins and samples the display reads) and of a
    // power of two; the blocks drawn agree to a fraction of a dB.
    const float fs = 48000.0f;
    const std::vector<float> conf(240, 1.0f);
    auto response = [](std::size_t n) {
        std::vector<float> ir(n, 0.0f);
        ir[0] = 1.0f;
        ir[480] = 0.5f;    // 10 ms
        ir[1200] = -0.25f;  // 25 ms
        ir[n - 20] = 0.1f;  // before time zero
        return ir;
    };
    const tf::IrView prime = tf::confident_ir_display(response(65537), conf, fs);
    const tf::IrView two = tf::confident_ir_display(response(65536), conf, fs);
    EXPECT_EQ(prime.span_ms, 40.0f);
    EXPECT_EQ(prime.span_ms, two.span_ms);
    EXPECT_EQ(prime.display.arrivals, two.display.arrivals);
    ASSERT_EQ(prime.display.arrivals.size(), 4u);
    ASSERT_EQ(prime.display.display.size(), two.display.display.size());
    for (std::size_t b = 0; b < prime.display.display.size(); ++b)
        EXPECT_NEAR(prime.display.display[b], two.display.display[b], 0.2f) << b;
    // The whole envelope agrees with the part the display computed.
    const std::vector<float> env = tf::confident_envelope(response(65537), conf, fs);
    EXPECT_EQ(tf::ir_span_ms(env, fs), prime.span_ms);
    const tf::IrDisplay whole = tf::ir_display(env, fs, prime.span_ms);
    EXPECT_EQ(whole.arrivals, prime.display.arrivals);
    for (std::size_t b = 0; b < whole.display.size(); ++b) EXPECT_NEAR(whole.display[b], prime.display.display[b], 1e-3f) << b;
}

TEST(IrSpan, PicksTheDisplayLength) {
    const float fs = 48000.0f;
    EXPECT_EQ(tf::ir_span_ms(std::vector<float>(4096, 0.0f), fs), 40.0f);
    struct Case { const char* what; std::vector<std::pair<std::size_t, float>> samples; float want; };
    auto ramp = [](std::size_t from, std::size_t to, float base) {
        std::vector<std::pair<std::size_t, float>> out{{0, 1.0f}};
        for (std::size_t k = from; k < to; ++k) out.emplace_back(k, base + 1e-6f * static_cast<float>(k - from));
        return out;
    };
    std::vector<std::pair<std::size_t, float>> decay;
    for (std::size_t k = 0; k < 40000; ++k) decay.emplace_back(k, std::exp(-static_cast<float>(k) / 3000.0f));
    const Case cases[] = {
        {"impulse at zero", {{0, 1.0f}}, 40.0f},
        {"peak at 50 ms", {{2400, 1.0f}}, 80.0f},
        {"late decay continuing", {{0, 1.0f}, {10, 0.3f}}, 40.0f},
        {"late peak at 62.5 ms", ramp(3000, 3001, 0.5f), 160.0f},
        {"slow decay", decay, 40.0f},
        {"rising late energy", ramp(3000, 40000, 0.3f), 320.0f},
    };
    for (const auto& c : cases) {
        std::vector<float> ir(131072, 0.0f);
        for (auto [k, v] : c.samples) ir[k] = v;
        EXPECT_EQ(tf::ir_span_ms(ir, fs), c.want) << c.what;
    }
}

TEST(IrDisplay, BlocksAndArrivals) {
    const float fs = 48000.0f;
    EXPECT_EQ(tf::ir_display({}, fs), tf::IrDisplay{});
    EXPECT_EQ(tf::ir_display(std::vector<float>(8192, 0.0f), fs), tf::IrDisplay{});

    std::vector<float> ir(16384, 0.0f);
    ir[0] = 1.0f;
    auto d = tf::ir_display(ir, fs);
    ASSERT_EQ(d.display.size(), 600u);
    // Span 40 ms: 96 + 1920 samples; time zero is sample 96, in block 28.
    for (std::size_t b = 0; b < 600; ++b) EXPECT_EQ(d.display[b], b == 28 ? 0.0f : -60.0f) << b;
    ASSERT_EQ(d.arrivals.size(), 1u);
    EXPECT_EQ(d.arrivals[0], (tf::Arrival{0.0f, 0.0f}));

    struct Case { const char* what; std::vector<std::pair<std::size_t, float>> peaks; std::vector<tf::Arrival> want; };
    const float db26 = std::pow(10.0f, -26.0f / 20.0f);
    const float db246 = std::pow(10.0f, -24.6f / 20.0f);
    const Case cases[] = {
        {"two peaks 0.1 ms apart", {{480, 1.0f}, {485, 0.8f}}, {{10.0f, 0.0f}}},
        {"seven peaks", {{100, 1.0f}, {200, 0.9f}, {300, 0.8f}, {400, 0.3f}, {500, 0.7f}, {600, 0.6f}, {700, 0.5f}},
         {{2.1f, 0.0f}, {4.2f, -1.0f}, {6.3f, -2.0f}, {10.4f, -3.0f}, {12.5f, -4.0f}, {14.6f, -6.0f}}},
        {"peak at -26 dB", {{100, 1.0f}, {1000, db26}}, {{2.1f, 0.0f}}},
        {"peak at -24.6 dB", {{100, 1.0f}, {1000, db246}}, {{2.1f, 0.0f}, {20.8f, -25.0f}}},
        {"just before time zero", {{16384 - 24, 1.0f}}, {{-0.5f, 0.0f}}},
    };
    for (const auto& c : cases) {
        std::vector<float> x(16384, 0.0f);
        for (auto [k, v] : c.peaks) x[k] = v;
        EXPECT_EQ(tf::ir_display(x, fs).arrivals, c.want) << c.what;
    }
}

TEST(Fft, ALargePrimeSizeLearnsThePowerOfTwoTransformsItRuns) {
    using tf::plan::Direction;
    const auto dir = test_support::scratch("tf", "wisdom-prime");
    const auto path = dir / "fftw-wisdom";
    const std::vector<std::pair<std::size_t, Direction>> keys{{32771, Direction::RealForward},
                                                              {32771, Direction::Inverse}};
    const std::vector<std::pair<std::size_t, Direction>> want{{131072, Direction::Forward},
                                                              {131072, Direction::Inverse}};
    EXPECT_EQ(tf::plan::unmeasured(keys), want);
    auto estimated = tf::plan::real_forward(32771);
    EXPECT_FALSE(estimated->measured());
    std::atomic<bool> stop{false};
    // A generous time limit: a measurement cut short is not kept as wisdom.
    EXPECT_EQ(tf::plan::learn(keys, path, stop, 60.0), 2u);
    EXPECT_TRUE(tf::plan::unmeasured(keys).empty());
    tf::plan::PLANNER.drop_estimated();
    auto measured = tf::plan::real_forward(32771);
    EXPECT_TRUE(measured->measured());
    // The same transform either way, within float rounding.
    std::vector<float> in(32771);
    for (std::size_t j = 0; j < in.size(); ++j) in[j] = std::cos(0.01f * static_cast<float>(j % 977));
    std::vector<Complex> a(32771 / 2 + 1), b(32771 / 2 + 1);
    estimated->process(in, a);
    measured->process(in, b);
    for (std::size_t k = 0; k < a.size(); k += 97) EXPECT_LE(std::abs(a[k] - b[k]), 1e-2f) << k;
}

TEST(Fft, ThreadsPlanAndTransformAtTheSameTime) {
    // Every thread plans its own sizes (plan creation is serialised inside)
    // and checks a forward-inverse round trip.
    std::vector<std::thread> threads;
    std::vector<int> bad(6, 0);
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([t, &bad] {
            for (std::size_t n : {96u, 128u, 250u, 4096u, 4801u}) {
                const std::size_t len = n + static_cast<std::size_t>(t);
                std::vector<Complex> buf(len);
                for (std::size_t k = 0; k < len; ++k) buf[k] = Complex(std::sin(0.1f * k), std::cos(0.3f * k));
                const auto orig = buf;
                tf::fft_forward(buf);
                tf::fft_inverse(buf);
                for (std::size_t k = 0; k < len; ++k)
                    if (std::abs(buf[k] / static_cast<float>(len) - orig[k]) > 1e-4f) ++bad[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int b : bad) EXPECT_EQ(b, 0);
}
