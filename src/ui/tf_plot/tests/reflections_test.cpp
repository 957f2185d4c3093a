// Reflections on a synthetic direct sound plus one delayed copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "ui/tf_plot/tf_plot.h"

using namespace ui::tf_plot;

namespace {

// Direct sound plus a copy of gain g delayed by tau_ms, on the 240-point grid.
std::vector<Point> comb(float g, float tau_ms, float conf = 1.0f) {
    std::vector<Point> out;
    for (int i = 0; i < 240; ++i) {
        const double f = 20.0 * std::pow(1000.0, i / 239.0);
        const auto h = 1.0 + double(g) * std::exp(std::complex<double>(0, -2 * std::numbers::pi * f * tau_ms / 1000.0));
        out.push_back({static_cast<float>(f), static_cast<float>(20 * std::log10(std::abs(h))),
                       static_cast<float>(std::arg(h) * 180 / std::numbers::pi), conf});
    }
    return out;
}

float peak_to_peak(const std::vector<Point>& pts, float lo, float hi) {
    float mn = 1e9f, mx = -1e9f;
    for (const auto& p : pts)
        if (p.hz >= lo && p.hz <= hi) {
            mn = std::min(mn, p.db);
            mx = std::max(mx, p.db);
        }
    return mx - mn;
}

}  // namespace

TEST(Reflections, DelayedCopyIsTakenOut) {
    const float g = 0.5f, tau = 5.0f;  // -6 dB, 5 ms: ripple every 200 Hz
    const auto pts = comb(g, tau);
    const std::vector<Arrival> arrivals = {{0.0f, 0.0f}, {tau, 20.0f * std::log10(g)}};
    const auto r = reflections_out(pts, arrivals, 0.5f);
    ASSERT_EQ(r.per_arrival.size(), 2u);
    ASSERT_EQ(r.clean.size(), pts.size());
    const float before = peak_to_peak(pts, 100, 1000);
    const float after = peak_to_peak(r.clean, 100, 1000);
    EXPECT_NEAR(before, 20 * std::log10((1 + g) / (1 - g)), 0.5f);
    EXPECT_LT(after, before * 0.25f) << before << " -> " << after;
    // The direct sound is no reflection; the copy's ripple is found where
    // the comb is resolved, not below P/4 = 50 Hz.
    for (const auto& [amp, ph] : r.per_arrival[0]) EXPECT_EQ(amp, 0.0f);
    for (std::size_t i = 0; i < pts.size(); ++i) {
        if (pts[i].hz < 50.0f) { EXPECT_EQ(r.per_arrival[1][i].first, 0.0f) << pts[i].hz; }
        EXPECT_EQ(r.clean[i].hz, pts[i].hz);
        EXPECT_EQ(r.clean[i].deg, pts[i].deg);
        EXPECT_EQ(r.clean[i].conf, pts[i].conf);
    }
    const auto d = reflection_db(pts, arrivals, 0.5f);
    ASSERT_EQ(d.size(), pts.size());
    for (std::size_t i = 0; i < d.size(); ++i) EXPECT_EQ(d[i], r.clean[i].db - pts[i].db);
}

TEST(Reflections, BandOfA10msReflection) {
    const auto pts = comb(0.5f, 10.0f);
    const auto r = reflections_out(pts, {{0.0f, 0.0f}, {10.0f, -6.0f}}, 0.5f);
    float lo = 1e9f, hi = 0.0f;
    for (std::size_t i = 0; i < pts.size(); ++i)
        if (r.per_arrival[1][i].first != 0.0f) {
            lo = std::min(lo, pts[i].hz);
            hi = std::max(hi, pts[i].hz);
        } else {
            EXPECT_EQ(r.clean[i].db, pts[i].db);
        }
    EXPECT_GE(lo, 25.0f);
    EXPECT_LT(lo, 27.0f);
    EXPECT_GT(hi, 850.0f);
    EXPECT_LT(hi, 950.0f);
}

TEST(Reflections, NothingToTakeOut) {
    const auto pts = comb(0.5f, 5.0f);
    const std::vector<std::vector<Arrival>> cases = {
        {},
        {{0.0f, 0.0f}},
        {{3.0f, 0.0f}, {1.0f, -6.0f}},   // before the loudest: not a reflection
        {{0.0f, -3.0f}, {5.0f, -3.0f}},  // equal levels: the later is the loudest
    };
    for (const auto& a : cases) {
        const auto r = reflections_out(pts, a, 0.5f);
        EXPECT_EQ(r.clean, pts);
        EXPECT_EQ(r.per_arrival.size(), a.size());
        for (float d : reflection_db(pts, a, 0.5f)) EXPECT_EQ(d, 0.0f);
    }
    // Every point below the gate: nothing is fitted.
    const auto gated = comb(0.5f, 5.0f, 0.2f);
    EXPECT_EQ(reflections_out(gated, {{0.0f, 0.0f}, {5.0f, -6.0f}}, 0.5f).clean, gated);
}

TEST(Reflections, RemovalIsCapped) {
    // 2 pi f tau = pi: a notch; amplitudes from 8.2517 dB up are capped at g = 0.95.
    EXPECT_NEAR(-ripple_db(8.26f, 0.0f, 500.0f, 0.001f), 26.0206f, 1e-3f);
    EXPECT_NEAR(-ripple_db(40.0f, 0.0f, 500.0f, 0.001f), 26.0206f, 1e-3f);
    EXPECT_NEAR(-ripple_db(std::nanf(""), 0.0f, 500.0f, 0.001f), 26.0206f, 1e-3f);
    EXPECT_EQ(ripple_db(0.0f, 0.0f, 500.0f, 0.001f), 0.0f);
}
