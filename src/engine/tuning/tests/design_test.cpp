// The design model, crossover filter responses, traces through strips and the
// predicted sum.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/tuning/design.h"
#include "engine/core/tf.h"
#include "engine/core/trace.h"

namespace {

using namespace engine::design;
using engine::tf::Triple;
using engine::trace::Trace;

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

float mag_db(Complex h) { return 20.0f * std::log10(std::abs(h)); }

// A smooth, non-trivial measured response with full confidence.
Trace sample_trace(const std::string& name, float gate = 0.5f) {
    const auto& f = engine::tf::point_freq();
    std::vector<Triple> bins;
    for (std::size_t i = 0; i < f.size(); ++i) {
        const float mag = 1.0f + 0.3f * std::sin(0.05f * static_cast<float>(i));
        const float ph = -2.0f * 3.1415927f * f[i] * 0.0003f;
        bins.push_back({mag * std::cos(ph), mag * std::sin(ph), 0.9f});
    }
    Trace t = Trace::make(name, 48000, 0, bins, gate);
    t.position = "Seat A";
    return t;
}

TEST(Filter, CornerLevels) {
    for (const bool lowpass : {true, false}) {
        for (const std::uint8_t slope : {6, 12, 18, 24, 36, 48}) {
            const Filter bw{true, FilterKind::Butterworth, slope, 1000.0f};
            EXPECT_NEAR(mag_db(bw.response(lowpass, 1000.0f)), -3.0103f, 1e-3f) << int(slope);
        }
        const Filter lr{true, FilterKind::LinkwitzRiley, 24, 1000.0f};
        EXPECT_NEAR(std::abs(lr.response(lowpass, 1000.0f)), 0.5f, 1e-6f);
        EXPECT_NEAR(mag_db(lr.response(lowpass, 1000.0f)), -6.0206f, 1e-3f);
    }
}

TEST(Filter, FamiliesPassAndStopWhereTheyShould) {
    const Filter bw{true, FilterKind::Butterworth, 24, 1000.0f};
    EXPECT_NEAR(std::abs(bw.response(true, 20.0f)), 1.0f, 1e-5f);
    EXPECT_NEAR(mag_db(bw.response(true, 10000.0f)), -80.0f, 0.1f);
    EXPECT_NEAR(std::abs(bw.response(false, 20000.0f)), 1.0f, 1e-5f);
    EXPECT_NEAR(mag_db(bw.response(false, 100.0f)), -80.0f, 0.1f);
    // LR: the low-pass and high-pass of one corner sum to an all-pass.
    const Filter lr{true, FilterKind::LinkwitzRiley, 24, 700.0f};
    for (float f = 20.0f; f < 20000.0f; f *= 1.3f) {
        EXPECT_NEAR(std::abs(lr.response(true, f) + lr.response(false, f)), 1.0f, 1e-4f) << f;
    }
}

TEST(Filter, OddSlopesAndZeroSlope) {
    const auto same = [](Filter a, Filter b) {
        for (const float f : {50.0f, 500.0f, 1000.0f, 5000.0f}) {
            for (const bool lp : {true, false}) EXPECT_EQ(a.response(lp, f), b.response(lp, f));
        }
    };
    same({true, FilterKind::LinkwitzRiley, 18, 1000.0f}, {true, FilterKind::LinkwitzRiley, 12, 1000.0f});
    same({true, FilterKind::LinkwitzRiley, 30, 1000.0f}, {true, FilterKind::LinkwitzRiley, 24, 1000.0f});
    same({true, FilterKind::Butterworth, 0, 1000.0f}, {true, FilterKind::Butterworth, 6, 1000.0f});
    // LR slope 6 is the square of a first-order response.
    const Filter lr6{true, FilterKind::LinkwitzRiley, 6, 1000.0f};
    const Filter bw6{true, FilterKind::Butterworth, 6, 1000.0f};
    const Complex b = bw6.response(true, 800.0f);
    EXPECT_NEAR(std::abs(lr6.response(true, 800.0f) - b * b), 0.0f, 1e-6f);
}

// Far in the stop band, every slope a file can hold: finite, never NaN, and
// within 0.01 dB of the analog magnitude 1 / sqrt(1 + w^2N) while that is
// above the single-precision floor; the predicted sum stays finite too.
TEST(Filter, FarStopBandIsFiniteForEverySlope) {
    const auto analog_db = [](double w, int n) { return -10.0 * std::log10(1.0 + std::pow(w, 2.0 * n)); };
    for (int slope = 0; slope <= 255; ++slope) {
        const int n = std::max(slope / 6, 1);
        for (const FilterKind kind : {FilterKind::Butterworth, FilterKind::LinkwitzRiley}) {
            const Filter lp{true, kind, static_cast<std::uint8_t>(slope), 60.0f};
            const Filter hp{true, kind, static_cast<std::uint8_t>(slope), 20000.0f};
            for (const Complex h : {lp.response(true, 20000.0f), hp.response(false, 20.0f), lp.response(true, 3e38f),
                                    hp.response(false, 1e-30f)}) {
                ASSERT_TRUE(std::isfinite(h.real()) && std::isfinite(h.imag())) << slope << " " << int(kind);
            }
        }
        const Filter bw{true, FilterKind::Butterworth, static_cast<std::uint8_t>(slope), 60.0f};
        const double want = analog_db(20000.0 / 60.0, n);
        if (want > -700.0) EXPECT_NEAR(mag_db(bw.response(true, 20000.0f)), want, 0.01) << slope;
    }
    // 96 dB/oct low-pass at 60 Hz read at 20 kHz: about -807 dB, not 0 or NaN.
    const Complex h = Filter{true, FilterKind::Butterworth, 96, 60.0f}.response(true, 20000.0f);
    EXPECT_GT(std::abs(h), 0.0f);
    EXPECT_NEAR(mag_db(h), analog_db(20000.0 / 60.0, 16), 0.1);

    const Trace t = sample_trace("Main");
    Source s = Source::make("Main");
    s.lp = Filter{true, FilterKind::Butterworth, 255, 60.0f};
    const std::pair<const Source*, const Trace*> pairs[] = {{&s, &t}};
    const auto sum = sum_of(pairs, true);
    ASSERT_TRUE(sum);
    for (const auto& p : sum->points) EXPECT_FALSE(std::isnan(p.db));
    for (const Complex v : sum->h) EXPECT_TRUE(std::isfinite(v.real()) && std::isfinite(v.imag()));
}

TEST(Filter, InactiveFiltersAreExactlyOne) {
    for (const float hz : {0.0f, -100.0f, INF, NaN}) {
        const Filter f{true, FilterKind::Butterworth, 24, hz};
        EXPECT_EQ(f.response(true, 1000.0f), Complex(1.0f, 0.0f));
    }
    const Filter off{false, FilterKind::GalileoElliptic, 24, 1000.0f};
    EXPECT_EQ(off.response(false, 1000.0f), Complex(1.0f, 0.0f));
    const Filter on{true, FilterKind::LinkwitzRiley, 24, 1000.0f};
    EXPECT_EQ(on.response(true, 0.0f), Complex(1.0f, 0.0f));
}

TEST(Filter, GalileoKinds) {
    const Filter hp{true, FilterKind::GalileoHp, 12, 1000.0f};
    // The same filter in the lp slot still behaves as a high-pass.
    EXPECT_EQ(hp.response(true, 300.0f), hp.response(false, 300.0f));
    EXPECT_LT(mag_db(hp.response(true, 100.0f)), -35.0f);
    EXPECT_NEAR(std::abs(hp.response(true, 20000.0f)), 1.0f, 0.01f);

    const Filter ell{true, FilterKind::GalileoElliptic, 12, 1000.0f};
    EXPECT_NEAR(std::abs(ell.response(true, 1.0e7f)), 1.0f, 0.01f);
    EXPECT_NEAR(std::abs(ell.response(true, 0.01f)), 0.32038838f * 0.32038838f, 1e-4f);

    const Filter lp{true, FilterKind::GalileoLp, 12, 1000.0f};
    EXPECT_NEAR(std::abs(lp.response(false, 20.0f)), 1.0f, 0.01f);
    EXPECT_LT(mag_db(lp.response(false, 10000.0f)), -25.0f);
    EXPECT_STREQ(short_label(FilterKind::GalileoElliptic), "ell");
    EXPECT_STREQ(short_label(FilterKind::Butterworth), "BW");
}

TEST(Source, Defaults) {
    const Source s = Source::make("Main L");
    EXPECT_EQ(s.name, "Main L");
    EXPECT_EQ(s.gain_db, 0.0f);
    EXPECT_EQ(s.delay_ms, 0.0f);
    EXPECT_FALSE(s.invert);
    const Filter filt{false, FilterKind::LinkwitzRiley, 24, 100.0f};
    EXPECT_EQ(s.hp, filt);
    EXPECT_EQ(s.lp, filt);
    EXPECT_EQ(s.shaping, Shaping::defaults(ShapingModel::Galileo));
    ASSERT_EQ(s.bands.size(), 6u);
    const float hz[] = {65.901962f, 178.88544f, 485.56976f, 1318.0391f, 3577.7087f, 9711.3975f};
    for (std::size_t j = 0; j < 6; ++j) EXPECT_EQ(s.bands[j], Band::default_at(hz[j]));
    EXPECT_EQ(s.q_as, QConv::Rbj);
    EXPECT_TRUE(s.shelves);
    EXPECT_TRUE(s.peq);
    EXPECT_TRUE(s.zones.empty());
    EXPECT_TRUE(s.routes.empty());
    EXPECT_EQ(s.split_hz, 1000.0f);
    EXPECT_EQ(s.reflect_trust, 1.0f);
    EXPECT_TRUE(s.reflect_shown);
}

TEST(Design, SourceMutFindsTheFirstOrAppends) {
    Design d;
    Source& fresh = d.source_mut("Sub");
    EXPECT_EQ(fresh, Source::make("Sub"));
    ASSERT_EQ(d.sources.size(), 1u);
    d.sources.push_back(Source::make("Sub"));
    d.sources[1].gain_db = -3.0f;
    d.source_mut("Sub").gain_db = 2.0f;
    EXPECT_EQ(d.sources[0].gain_db, 2.0f);
    EXPECT_EQ(d.sources[1].gain_db, -3.0f);
    EXPECT_EQ(d.sources.size(), 2u);
}

Source zoned_source() {
    Source s = Source::make("Main");
    s.bands = {Band{100, -3, 1, true, BandKind::Peak}, Band{1000, 2, 1, false, BandKind::Peak}};
    s.shaping.on = true;
    Zone z;
    z.position = "Row 5";
    z.bands = {Band{2000, -4, 2, true, BandKind::Peak}, Band{4000, 1, 2, false, BandKind::Peak}};
    z.air.on = true;
    z.air.band = Band{8000, 3, 0.7f, true, BandKind::HighShelf};
    Zone empty_pos;
    empty_pos.position = "";
    empty_pos.bands = {Band{300, -6, 2, true, BandKind::Peak}};
    s.zones = {z, empty_pos};
    s.routes = {Route{"Row 5", Parts{}, Dest::wing("ch 5")}};
    return s;
}

TEST(Source, FlatWithoutZone) {
    const Source s = zoned_source();
    Parts parts;
    parts.delay = false;
    for (const std::string zone : {"", "Nowhere"}) {
        const auto [strip, out] = s.flat(zone, parts);
        Source expect = s;
        expect.zones.clear();
        expect.routes.clear();
        EXPECT_EQ(strip, expect) << zone;
        EXPECT_EQ(out, parts) << zone;
    }
}

TEST(Source, FlatMergesZoneBands) {
    const Source s = zoned_source();
    const auto [strip, out] = s.flat("Row 5", Parts{});
    EXPECT_EQ(strip.name, "Main / Row 5");
    ASSERT_EQ(strip.bands.size(), 4u);  // both source bands (one off), the zone's enabled band, the air band
    EXPECT_EQ(strip.bands[1].on, false);
    EXPECT_EQ(strip.bands[2].hz, 2000.0f);
    EXPECT_EQ(strip.bands[3].kind, BandKind::HighShelf);
    EXPECT_TRUE(strip.peq);
    EXPECT_TRUE(strip.shaping.on);
    EXPECT_TRUE(strip.zones.empty() && strip.routes.empty());
    EXPECT_EQ(out, Parts{});

    Parts no_eq;
    no_eq.eq = false;
    const auto [only_zone, out2] = s.flat("Row 5", no_eq);
    ASSERT_EQ(only_zone.bands.size(), 2u);
    EXPECT_EQ(only_zone.bands[0].hz, 2000.0f);
    EXPECT_FALSE(only_zone.shaping.on);
    EXPECT_TRUE(out2.eq);

    Source no_zone_peq = s;
    no_zone_peq.zones[0].peq = false;
    no_zone_peq.zones[0].air.band.on = false;
    const auto [plain, out3] = no_zone_peq.flat("Row 5", Parts{});
    EXPECT_EQ(plain.bands.size(), 2u);

    Parts nothing{false, false, false, true, true, true, true};
    const auto [bare, out4] = s.flat("Row 5", nothing);
    EXPECT_TRUE(bare.bands.empty());
    EXPECT_FALSE(out4.eq);
}

TEST(Source, EqAtCombinesShapingBandsAndZones) {
    Source s = Source::make("Main");
    s.bands = {Band{1000, 6, 2, true, BandKind::Peak}};
    EXPECT_NEAR(mag_db(s.eq_at("", 1000.0f)), 6.0f, 1e-4f);
    s.peq = false;
    EXPECT_EQ(s.eq_at("", 1000.0f), Complex(1.0f, 0.0f));
    s.peq = true;
    Zone z;
    z.position = "P";
    z.bands = {Band{1000, -2, 2, true, BandKind::Peak}};
    s.zones = {z, z};
    EXPECT_NEAR(mag_db(s.eq_at("", 1000.0f)), 6.0f, 1e-4f);
    EXPECT_NEAR(mag_db(s.eq_at("P", 1000.0f)), 2.0f, 1e-4f);  // both zones of P apply
    s.zones[0].air.on = true;
    s.zones[0].air.band = Band{1000, 1, 2, true, BandKind::Peak};
    s.zones[1].peq = false;
    EXPECT_NEAR(mag_db(s.eq_at("P", 1000.0f)), 5.0f, 1e-4f);
}

TEST(Predicted, ProcessedWithAppliesGainPolarityDelayAndFilters) {
    const Trace t = sample_trace("Main");
    Source s = Source::make("Main");
    s.gain_db = -6.0f;
    s.invert = true;
    s.delay_ms = 1.0f;
    s.hp = Filter{true, FilterKind::LinkwitzRiley, 24, 1000.0f};
    const Trace p = processed_with(t, s, true);
    const Trace q = processed_with(t, s, false);
    const auto& f = engine::tf::point_freq();
    EXPECT_EQ(p.name, t.name);
    EXPECT_EQ(p.position, t.position);
    EXPECT_EQ(p.confidence, t.confidence);
    for (std::size_t i = 0; i < 240; i += 7) {
        const float g = std::pow(10.0f, -6.0f / 20.0f);
        EXPECT_NEAR(std::abs(q.h[i]), g * std::abs(t.h[i]), 1e-5f);
        const Complex expect = -g * t.h[i] * std::polar(1.0f, -2.0f * 3.1415927f * f[i] * 0.001f);
        EXPECT_NEAR(std::abs(q.h[i] - expect), 0.0f, 2e-4f);
        EXPECT_NEAR(std::abs(p.h[i] - q.h[i] * s.hp.response(false, f[i])), 0.0f, 1e-5f);
    }
}

// The strip's filters are evaluated four grid points at a time; every kind,
// use and slope must give the same bits as the filter's own response.
TEST(Predicted, ProcessedWithFiltersAsTheirResponses) {
    const Trace t = sample_trace("Main");
    const auto& f = engine::tf::point_freq();
    const auto same = [](float x, float y) {
        return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y) || (std::isnan(x) && std::isnan(y));
    };
    const auto mul = [](Complex a, Complex b) {
        return Complex{a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
    };
    for (const FilterKind kind : {FilterKind::Butterworth, FilterKind::LinkwitzRiley, FilterKind::GalileoHp,
                                  FilterKind::GalileoLp, FilterKind::GalileoElliptic}) {
        for (const std::uint8_t slope : {0, 6, 18, 24, 48, 255}) {
            for (const float hz : {37.0f, 1000.0f, 15000.0f, 0.0f, std::numeric_limits<float>::infinity()}) {
                Source s = Source::make("Main");
                s.hp = Filter{true, kind, slope, hz};
                s.lp = Filter{true, kind, slope, hz * 1.7f};
                const Trace p = processed_with(t, s, true);
                for (std::size_t i = 0; i < 240; ++i) {
                    const Complex filt = mul(s.hp.response(false, f[i]), s.lp.response(true, f[i]));
                    const Complex want = mul(mul(t.h[i], filt), Complex{1.0f, -0.0f});
                    ASSERT_TRUE(same(p.h[i].real(), want.real()) && same(p.h[i].imag(), want.imag()))
                        << static_cast<int>(kind) << " " << static_cast<int>(slope) << " " << hz << " " << i;
                }
            }
        }
    }
}

TEST(Predicted, SumWithInvertedCopyNullsAndWithItselfDoubles) {
    const Trace t = sample_trace("A");
    const Source a = Source::make("A");
    Source inv = Source::make("A");
    inv.invert = true;
    const std::pair<const Source*, const Trace*> null_pairs[] = {{&a, &t}, {&inv, &t}};
    const auto null = sum_of(null_pairs, true);
    ASSERT_TRUE(null);
    EXPECT_EQ(null->name, "Predicted");
    EXPECT_EQ(null->position, "Seat A");
    for (const auto& p : null->points) EXPECT_LT(p.db, -120.0f);

    const std::pair<const Source*, const Trace*> double_pairs[] = {{&a, &t}, {&a, &t}};
    const auto twice = sum_of(double_pairs, true);
    ASSERT_TRUE(twice);
    for (std::size_t i = 0; i < 240; ++i) {
        EXPECT_NEAR(twice->points[i].db - t.points[i].db, 6.0206f, 1e-3f);
        EXPECT_FLOAT_EQ(twice->points[i].conf, 0.9f);
    }
}

TEST(Predicted, SumOfOnePairAndGates) {
    EXPECT_FALSE(sum_of({}, true));
    Trace t = sample_trace("A", 0.5f);
    t.confidence[10] = 0.2f;  // below the gate
    t.confidence[11] = NaN;   // not below
    t.rebuild_points();
    Source s = Source::make("A");
    s.delay_ms = 2.0f;
    s.bands = {Band{1000, 6, 2, true, BandKind::Peak}};
    const std::pair<const Source*, const Trace*> one[] = {{&s, &t}};
    const auto sum = sum_of(one, false);
    ASSERT_TRUE(sum);
    const auto& f = engine::tf::point_freq();
    EXPECT_EQ(sum->h[10], Complex(0.0f, 0.0f));
    EXPECT_EQ(sum->confidence[10], 0.0f);
    EXPECT_TRUE(std::isnan(sum->confidence[11]));
    for (std::size_t i = 20; i < 240; i += 11) {
        const Complex expect = t.h[i] * std::polar(1.0f, -2.0f * 3.1415927f * f[i] * 0.002f);
        EXPECT_NEAR(std::abs(sum->h[i] - expect), 0.0f, 2e-4f);
        EXPECT_FLOAT_EQ(sum->confidence[i], 0.9f);
    }
    const auto with_eq = sum_of(one, true);
    const std::size_t k1000 = 139;  // 20 * 1000^(139/239) is about 1.1 kHz
    EXPECT_GT(std::abs(with_eq->h[k1000]), std::abs(sum->h[k1000]) * 1.5f);
}

TEST(Predicted, SumPutsTracesOnTheFirstTimeBaseAndTakesTheSmallestGate) {
    Trace a = sample_trace("A", 0.6f);
    Trace b = sample_trace("B", NaN);
    b.delay_samples = 48;  // 1 ms later than a
    Trace c = sample_trace("C", 0.4f);
    const Source s = Source::make("S");
    const std::pair<const Source*, const Trace*> pairs[] = {{&s, &a}, {&s, &b}, {&s, &c}};
    const auto sum = sum_of(pairs, true);
    ASSERT_TRUE(sum);
    EXPECT_EQ(sum->gate, 0.4f);
    EXPECT_EQ(sum->fs, 48000u);
    EXPECT_EQ(sum->delay_samples, 0u);
    const auto& f = engine::tf::point_freq();
    for (std::size_t i = 0; i < 240; i += 13) {
        const Complex expect = a.h[i] * 2.0f + b.h[i] * std::polar(1.0f, -2.0f * 3.1415927f * f[i] * 0.001f);
        EXPECT_NEAR(std::abs(sum->h[i] - expect), 0.0f, 5e-4f);
    }
}

}  // namespace
