#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "engine/tf.h"

namespace tf = engine::tf;
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
