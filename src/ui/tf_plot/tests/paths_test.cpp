// Path builders: the path rule, smoothing, the reference offset, the
// spectrum paths and build_paths' output.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "ui/tf_plot/tf_plot.h"

using namespace ui::tf_plot;

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

// The frequency whose plot x is `x`.
float hz_at(float x) { return 20.0f * std::pow(1000.0f, x / 1000.0f); }

std::vector<Point> grid(float db = 0.0f, float conf = 1.0f) {
    std::vector<Point> out;
    for (int i = 0; i < 240; ++i)
        out.push_back({20.0f * std::pow(1000.0f, static_cast<float>(i) / 239.0f), db, 0.0f, conf});
    return out;
}

const PlotUpdate* find(const std::vector<PlotUpdate>& u, const std::string& id, std::string_view attr = ATTR_D) {
    for (const auto& x : u)
        if (x.id == id && x.attr == attr) return &x;
    return nullptr;
}

}  // namespace

TEST(PathRule, Table) {
    const YRule mag{.kind = YRule::Mag};
    const YRule phase{.kind = YRule::Phase};
    struct Case {
        const char* name;
        std::vector<Point> pts;
        YRule rule;
        float threshold;
        std::string want;
    };
    const Case cases[] = {
        {"empty", {}, mag, 0.0f, ""},
        {"two runs", {{hz_at(0), 0, 0, 1}, {hz_at(100), 10, 0, 1}, {hz_at(200), 0, 0, 0.1f}, {hz_at(300), 0, 0, 1}, {hz_at(400), -10, 0, 1}},
         mag, 0.5f, "M0 500L100 250M300 500L400 750"},
        {"lone point", {{hz_at(0), 0, 0, 0.2f}, {hz_at(120), 4, 0, 1}, {hz_at(200), 0, 0, 0.2f}}, mag, 0.5f, "M120 400h2"},
        {"lone point at the end", {{hz_at(0), 0, 0, 1}, {hz_at(10), 0, 0, 0}, {hz_at(20), 0, 0, 1}}, mag, 0.5f, "M0 500h2M20 500h2"},
        {"NaN level dropped, NaN confidence drawn", {{hz_at(0), NaN, 0, 1}, {hz_at(10), 0, 0, NaN}, {hz_at(20), 0, 0, 1}},
         mag, 0.5f, "M10 500L20 500"},
        {"frequency 0 dropped", {{0.0f, 0, 0, 1}, {hz_at(10), 0, 0, 1}}, mag, 0.0f, "M10 500h2"},
        {"levels clamp", {{hz_at(0), 40, 0, 1}, {hz_at(10), -40, 0, 1}}, mag, 0.0f, "M0 0L10 1000"},
        {"phase wrap breaks the run", {{hz_at(0), 0, 170, 1}, {hz_at(100), 0, -170, 1}}, phase, 0.0f, "M0 28h2M100 972h2"},
        {"phase without a wrap", {{hz_at(0), 0, 0, 1}, {hz_at(100), 0, -90, 1}, {hz_at(200), 0, -170, 1}}, phase, 0.0f,
         "M0 500L100 750L200 972"},
        {"magnitude never breaks on jumps", {{hz_at(0), 20, 0, 1}, {hz_at(100), -20, 0, 1}}, mag, 0.0f, "M0 0L100 1000"},
    };
    for (const auto& c : cases) EXPECT_EQ(curve_path(c.pts, c.rule, c.threshold), c.want) << c.name;
}

TEST(Smooth, HalfWidthPerFraction) {
    // An impulse of 1 dB at the middle of the grid: the smoothed value there
    // is 1 / (2b + 1).
    const std::pair<int, int> table[] = {{1, 12}, {2, 6}, {3, 4}, {6, 2}, {12, 1}, {24, 1}};
    for (auto [n, b] : table) {
        auto pts = grid();
        pts[120].db = 1.0f;
        const auto s = smooth(pts, static_cast<std::uint8_t>(n));
        EXPECT_FLOAT_EQ(s[120].db, 1.0f / static_cast<float>(2 * b + 1)) << n;
        EXPECT_GT(s[120 + b].db, 0.0f) << n;
        EXPECT_EQ(s[120 + b + 1].db, 0.0f) << n;
    }
}

TEST(RtaBands, ToneKeepsItsLevelAndNoiseGainsTheBandwidth) {
    struct Case {
        int n, b;
    };
    for (const Case c : {Case{1, 12}, Case{3, 4}, Case{6, 2}, Case{12, 1}}) {
        SCOPED_TRACE(c.n);
        // A tone in one grid band, nothing elsewhere: the band around it
        // reads the tone's level, its edge half as much.
        auto tone = grid(-200.0f);
        tone[120].db = -17.0f;
        tone[120].deg = 33.0f;
        const auto t = rta_bands(tone, static_cast<std::uint8_t>(c.n));
        ASSERT_EQ(t.size(), tone.size());
        EXPECT_NEAR(t[120].db, -17.0f, 0.001f);
        EXPECT_NEAR(t[120 + c.b - 1].db, -17.0f, 0.001f);
        EXPECT_NEAR(t[120 - c.b].db, -17.0f - 3.0103f, 0.001f);
        EXPECT_LT(t[120 + c.b + 1].db, -150.0f);
        EXPECT_EQ(t[120].deg, 33.0f);
        EXPECT_EQ(t[120].hz, tone[120].hz);
        // Equal levels in every grid band: a band of 2b grid bands.
        const auto flat = rta_bands(grid(-40.0f), static_cast<std::uint8_t>(c.n));
        EXPECT_NEAR(flat[120].db, -40.0f + 10.0f * std::log10(2.0f * static_cast<float>(c.b)), 0.001f);
    }
    const auto pts = grid(-40.0f);
    EXPECT_EQ(rta_bands(pts, 0), pts);
    const std::vector<Point> two(pts.begin(), pts.begin() + 2);
    EXPECT_EQ(rta_bands(two, 3), two);
}

TEST(Smooth, EdgeCases) {
    auto pts = grid();
    for (std::size_t i = 0; i < pts.size(); ++i) {
        pts[i].db = static_cast<float>(i % 7);
        pts[i].deg = static_cast<float>(i);
        pts[i].conf = (i % 3) ? 1.0f : 0.5f;
    }
    EXPECT_EQ(smooth(pts, 0), pts);
    const std::vector<Point> two(pts.begin(), pts.begin() + 2);
    EXPECT_EQ(smooth(two, 3), two);
    // N = 24: the confidence-weighted mean of the point and its neighbours;
    // phase and confidence untouched.
    const auto s = smooth(pts, 24);
    for (std::size_t j = 1; j + 1 < pts.size(); ++j) {
        float num = 0, den = 0;
        for (std::size_t k = j - 1; k <= j + 1; ++k) {
            num += pts[k].conf * pts[k].db;
            den += pts[k].conf;
        }
        EXPECT_EQ(s[j].db, num / den);
        EXPECT_EQ(s[j].deg, pts[j].deg);
        EXPECT_EQ(s[j].conf, pts[j].conf);
    }
    // A window whose confidences are all 0 keeps the point's own level.
    auto zero = grid(0.0f, 0.0f);
    zero[50].db = 7.0f;
    EXPECT_EQ(smooth(zero, 6)[50].db, 7.0f);
}

TEST(MagOffsetTo, WeightedMedianAndFallbacks) {
    std::vector<Point> c = {{100, 1, 0, 1}, {200, 2, 0, 1}, {300, 3, 0, 1}, {400, 4, 0, 1}};
    EXPECT_EQ(mag_offset_to(c, nullptr, 0.5f, 40, 16000), 2.0f);
    // Order of the list does not matter; weights do.
    std::vector<Point> w = {{100, 4, 0, 1}, {200, 1, 0, 3}, {300, 3, 0, 1}, {400, 2, 0, 1}};
    EXPECT_EQ(mag_offset_to(w, nullptr, 0.5f, 40, 16000), 1.0f);
    // The band is inclusive; points outside it and below the gate (or NaN) do not count.
    std::vector<Point> b = {{39, 100, 0, 1}, {40, 1, 0, 1}, {1000, 5, 0, NaN}, {16000, 3, 0, 1}, {16001, 100, 0, 1}};
    EXPECT_EQ(mag_offset_to(b, nullptr, 0.5f, 40, 16000), 1.0f);
    // Against a target: the difference.
    std::vector<Point> target = {{100, -1, 0, 0}, {200, -1, 0, 0}, {300, -1, 0, 0}, {400, -1, 0, 0}};
    EXPECT_EQ(mag_offset_to(c, &target, 0.5f, 40, 16000), 3.0f);
    // Nothing in the band: the weighted mean of all gated points.
    std::vector<Point> out = {{20, 2, 0, 1}, {30, 4, 0, 3}, {35, 9, 0, 0.1f}};
    EXPECT_EQ(mag_offset_to(out, nullptr, 0.5f, 40, 16000), 3.5f);
    EXPECT_EQ(mag_offset_to({}, nullptr, 0.5f, 40, 16000), 0.0f);
}

TEST(RtaPaths, LinePeakAndReadout) {
    Spectrum s{{{hz_at(0), -50, 0, 1}, {hz_at(100), 10, 0, 1}, {hz_at(200), -150, 0, 1}, {hz_at(300), -60, 0, -1}}, 0, 100};
    std::vector<Point> peak = {{hz_at(0), -42.5f, 0, 1}, {hz_at(100), -40.1f, 0, 1}};
    auto u = rta_paths(s, &peak);
    ASSERT_EQ(u.size(), 3u);
    EXPECT_EQ(u[0], (PlotUpdate{"tf-rta", ATTR_D, "M0 500L100 0L200 1000"}));
    EXPECT_EQ(u[1], (PlotUpdate{"tf-rta-peak", ATTR_D, "M0 425L100 401"}));
    EXPECT_EQ(u[2], (PlotUpdate{"tf-plot", ATTR_RTA, "-50.0,500;10.0,0;-150.0,1000;-60.0,600"}));
    Spectrum p{peak, 0, 100};
    EXPECT_EQ(rta_paths(p, nullptr)[2].value, "-42.5,425;-40.1,401");
    EXPECT_EQ(rta_paths(p, nullptr)[1].value, "");
    auto none = rta_paths(std::nullopt, &peak);
    EXPECT_EQ(none, (std::vector<PlotUpdate>{{"tf-rta", ATTR_D, ""}, {"tf-rta-peak", ATTR_D, ""}, {"tf-plot", ATTR_RTA, ""}}));
}

TEST(BuildPaths, EmissionOrder) {
    PathInputs in;
    in.live = grid(-6.0f);
    in.stored = {{grid(-3.0f), 4, 0.5f}, {grid(-9.0f), 7, 0.5f}};
    in.crossovers = {{0, grid()}, {1, grid(-3.0f)}};
    in.rta = std::pair{grid(-40.0f), 0.0f};
    in.ir = {0, -10, -20};
    const auto p = build_paths(in);
    std::vector<std::string> ids;
    for (const auto& u : p.updates) ids.push_back(u.id + "/" + std::string(u.attr));
    const std::vector<std::string> want = {
        "tf-stored-mag-4/d", "tf-stored-phase-4/d", "tf-stored-mag-7/d", "tf-stored-phase-7/d",
        "tf-mag-dim/d", "tf-mag/d", "tf-phase-dim/d", "tf-phase/d", "tf-mag-reflect/d", "tf-mag-clean/d", "tf-comb/d",
        "tf-coh/d", "tf-ir/d", "tf-sum/d", "tf-avg/d", "tf-eq-curve/d", "tf-target/d", "tf-xover-0/d", "tf-xover-1/d",
        "tf-rta/d", "tf-rta-peak/d", "tf-plot/data-rta",
        "tf-fill-0/style", "tf-fill-1/style", "tf-fill-2/style", "tf-fill-3/style", "tf-fill-4/style",
        "tf-fill-5/style", "tf-fill-6/style", "tf-fill-7/style", "tf-fill-8/style", "tf-fill-9/style",
        "tf-plot/data-pts", "tf-plot/data-ir"};
    EXPECT_EQ(ids, want);
    EXPECT_FLOAT_EQ(p.ref_db, -6.0f);
    // Measured curves relative to the reference, EQ-like curves around 0 dB.
    EXPECT_EQ(find(p.updates, "tf-mag")->value.substr(0, 7), "M0 500L");
    EXPECT_EQ(find(p.updates, "tf-xover-1")->value.substr(0, 7), "M0 575L");
    EXPECT_EQ(find(p.updates, "tf-ir")->value, "M0 1000L0 0L500 167L1000 333L1000 1000Z");
    EXPECT_EQ(find(p.updates, "tf-rta")->value.substr(0, 7), "M0 400L");
    // Same inputs, same bytes.
    EXPECT_EQ(build_paths(in).updates, p.updates);
}

TEST(BuildPaths, NoData) {
    PathInputs in;
    auto p = build_paths(in);
    EXPECT_EQ(p.ref_db, 0.0f);
    for (const auto& u : p.updates) {
        if (u.id == "tf-coh" || u.id == "tf-ir") EXPECT_EQ(u.value, "M0 1000L1000 1000Z") << u.id;
        else if (u.attr == ATTR_STYLE) EXPECT_EQ(u.value, "--fill: 0.00");
        else EXPECT_EQ(u.value, "") << u.id;
    }
    in.fixed_ref = true;
    in.fixed_ref_db = -12.5f;
    EXPECT_EQ(build_paths(in).ref_db, -12.5f);
}

TEST(BuildPaths, MainCurveAndThreshold) {
    PathInputs in;
    in.live = grid(0.0f, 0.5f);
    in.threshold = 0.6f;
    in.accumulated = std::vector<Point>{};
    // Present but empty: the live curve and the live threshold.
    EXPECT_EQ(find(build_paths(in).updates, "tf-mag")->value, "");
    EXPECT_NE(find(build_paths(in).updates, "tf-mag-dim")->value, "");
    // Present and not empty: threshold 0.01.
    in.accumulated = grid(-3.0f, 0.02f);
    auto p = build_paths(in);
    EXPECT_EQ(find(p.updates, "tf-mag")->value.substr(0, 7), "M0 500L");
    EXPECT_NEAR(p.ref_db, -3.0f, 1e-4f);
}

TEST(BuildPaths, ReferenceFallbacks) {
    PathInputs in;
    in.sum = grid(-4.0f, 0.3f);
    EXPECT_FLOAT_EQ(build_paths(in).ref_db, -4.0f);
    in.sum = grid(-4.0f, 0.29f);
    in.stored = {{grid(-8.0f, 0.4f), 0, 0.4f}};
    EXPECT_FLOAT_EQ(build_paths(in).ref_db, 0.0f);  // the sum is present: its mean (nothing reaches 0.3)
    in.sum.reset();
    EXPECT_FLOAT_EQ(build_paths(in).ref_db, -8.0f);
}

TEST(BuildPaths, SteadyLevelIsKeptWhileTheFoundOneStaysNear) {
    PathInputs in;
    in.live = grid(-6.0f, 0.9f);
    in.stored = {{grid(-9.0f, 0.9f), 0, 0.5f}};
    const auto plain = build_paths(in);
    ASSERT_NEAR(plain.ref_db, -6.0f, 1e-4f);
    struct Case {
        float steady, drawn;
    };
    for (const auto& c : {Case{-6.05f, -6.05f}, Case{-5.92f, -5.92f}, Case{-6.2f, -6.0f}, Case{-5.8f, -6.0f}}) {
        in.steady_ref = c.steady;
        EXPECT_NEAR(build_paths(in).ref_db, c.drawn, 1e-4f) << c.steady;
    }
    // A fixed level wins over the steady one.
    in.steady_ref = -6.05f;
    in.fixed_ref = true;
    in.fixed_ref_db = -1.0f;
    EXPECT_FLOAT_EQ(build_paths(in).ref_db, -1.0f);
    // The stored curve drawn at the steady level is the one drawn at that fixed level.
    in.fixed_ref_db = -6.05f;
    const auto fixed = build_paths(in);
    in.fixed_ref = false;
    EXPECT_EQ(find(build_paths(in).updates, "tf-stored-mag-0")->value, find(fixed.updates, "tf-stored-mag-0")->value);
}

TEST(BuildPaths, Readouts) {
    PathInputs in;
    in.live = {{hz_at(0), 0.0f, -45.4f, 0.974f}, {hz_at(500), -0.04f, 12.6f, 0.5f}, {hz_at(1000), NaN, 0, 1}};
    in.fixed_ref = true;
    in.ir = {0.0f, -2.5f, -3.5f};
    in.octave_conf = {0.87f, 0.125f, 1, 0, 0, 0, 0, 0, 0, 0};
    auto p = build_paths(in);
    // A level or phase that prints as zero has no minus sign.
    EXPECT_EQ(find(p.updates, "tf-plot", ATTR_PTS)->value, "0.0,-45,0.97,500,626,26;0.0,13,0.50,501,465,500;");
    PathInputs z;
    z.live = {{hz_at(0), -0.04f, -0.4f, 0.5f}, {hz_at(500), -0.06f, -0.6f, 0.5f}};
    z.fixed_ref = true;
    const std::string zero = find(build_paths(z).updates, "tf-plot", ATTR_PTS)->value;
    EXPECT_EQ(zero.substr(0, 11), "0.0,0,0.50,") << zero;
    EXPECT_EQ(zero.substr(zero.find(';') + 1, 13), "-0.1,-1,0.50,") << zero;
    std::optional<Spectrum> rta = Spectrum{{{hz_at(0), -0.02f, 0, 1}}, 0.0f, 100.0f};
    EXPECT_EQ(rta_paths(rta, nullptr)[2].value.substr(0, 4), "0.0,");
    EXPECT_EQ(find(p.updates, "tf-plot", ATTR_IR)->value, "0,-2,-4");
    EXPECT_EQ(find(p.updates, "tf-fill-0", ATTR_STYLE)->value, "--fill: 0.87");
    EXPECT_EQ(find(p.updates, "tf-fill-1", ATTR_STYLE)->value, "--fill: 0.12");
    // No display curve: the loudest stored curve that passes its gate, point by point.
    PathInputs s;
    s.stored = {{{{hz_at(0), -3, 0, 1}, {hz_at(10), -3, 0, 0.1f}}, 0, 0.5f},
                {{{hz_at(0), -6, 0, 1}, {hz_at(10), -6, 0, 0.1f}}, 1, 0.5f}};
    auto q = build_paths(s);
    EXPECT_EQ(find(q.updates, "tf-plot", ATTR_PTS)->value, "0.0,0,1.00,500,500,0;");
}

TEST(BuildPaths, HoverAndClean) {
    PathInputs in;
    in.live = grid();
    for (auto& p : in.live) p.db = 3.0f * std::cos(2.0f * 3.14159265f * p.hz * 0.004f);
    in.arrivals = {{0.0f, 0.0f}, {4.0f, -6.0f}};
    in.threshold = 0.5f;
    auto base = build_paths(in);
    EXPECT_EQ(find(base.updates, "tf-comb")->value, "");
    EXPECT_NE(find(base.updates, "tf-mag-reflect")->value, "");
    EXPECT_NE(find(base.updates, "tf-mag-clean")->value, "");
    // The loudest arrival itself, or an index past the list: no hover curve.
    for (std::size_t h : {0u, 5u}) {
        in.hovered = h;
        EXPECT_EQ(build_paths(in).updates, base.updates) << h;
    }
    in.hovered = 1;
    auto hov = build_paths(in);
    EXPECT_NE(find(hov.updates, "tf-comb")->value, "");
    EXPECT_EQ(find(hov.updates, "tf-mag-reflect")->value, "");
    EXPECT_EQ(find(hov.updates, "tf-mag-clean")->value, "");
    // No arrival later than the loudest: nothing clean to draw.
    in.hovered.reset();
    in.arrivals = {{0.0f, 0.0f}, {-1.0f, -6.0f}};
    EXPECT_EQ(find(build_paths(in).updates, "tf-mag-clean")->value, "");
}

TEST(PlotBatch, GoldenBytes) {
    const std::vector<PlotUpdate> batch{
        {"tf-mag", ATTR_D, "M0 500L10 498h2"}, {"tf-fill-0", ATTR_STYLE, "--fill: 0.50"}, {"x\"y", ATTR_PTS, "a\\b\n"}};
    const std::string want =
        R"([["tf-mag","d","M0 500L10 498h2"],["tf-fill-0","style","--fill: 0.50"],["x\"y","data-pts","a\\b\n"]])";
    EXPECT_EQ(plot_batch(batch).dump(), want);
    std::vector<PlotUpdate> given = batch;
    EXPECT_EQ(plot_batch(std::move(given)).dump(), want);
}
